// Events, semaphores and handle release.

#include "platform/win32/KernelObjects.h"

#include "platform/win32/SocketTable.h"
#include "platform/win32/Win32Platform.h"

namespace transport {
namespace win32 {

Handle Win32Platform::CreateEvent() {
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);  // manual reset
    return event != nullptr ? new KernelObject(KernelObject::Kind::kEvent, event) : nullptr;
}

bool Win32Platform::SetEvent(Handle handle) {
    const HANDLE event = SystemHandle(handle, KernelObject::Kind::kEvent);
    return event != nullptr && ::SetEvent(event) != FALSE;
}

bool Win32Platform::ResetEvent(Handle handle) {
    const HANDLE event = SystemHandle(handle, KernelObject::Kind::kEvent);
    return event != nullptr && ::ResetEvent(event) != FALSE;
}

Handle Win32Platform::CreateSemaphore(long initial, long maximum) {
    if (maximum <= 0 || initial < 0 || initial > maximum) return nullptr;
    const HANDLE semaphore = ::CreateSemaphoreW(nullptr, initial, maximum, nullptr);
    return semaphore != nullptr ? new KernelObject(KernelObject::Kind::kSemaphore, semaphore)
                                : nullptr;
}

bool Win32Platform::ReleaseSemaphore(Handle handle, long count, long* previous) {
    const HANDLE semaphore = SystemHandle(handle, KernelObject::Kind::kSemaphore);
    if (semaphore == nullptr || count <= 0) return false;
    // The system refuses a release past the maximum and changes nothing; the
    // previous count is reported only for a release that happened.
    LONG before = 0;
    if (::ReleaseSemaphore(semaphore, count, &before) == FALSE) return false;
    if (previous != nullptr) *previous = before;
    return true;
}

void Win32Platform::CloseHandle(Handle handle) {
    if (handle == nullptr) return;
    if (handle->kind == KernelObject::Kind::kEvent) {
        ForgetConnection(handle);
        // Sockets still selected on the event stop standing for it, so that
        // the system never signals a handle value that may be reused.
        sockets_->Unselect(handle);
    }
    // A thread's record lives on with the thread while it runs.
    delete handle;
}

}  // namespace win32
}  // namespace transport
