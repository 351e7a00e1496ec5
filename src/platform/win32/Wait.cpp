// Wait on up to eight objects, and Sleep. On a platform thread the thread's
// wake event is waited on as well, as the last object: when it fires, the
// thread parks if its suspension was asked for, then waits on with the time
// that remains.

#include <algorithm>

#include "platform/win32/KernelObjects.h"
#include "platform/win32/Win32Platform.h"

namespace transport {
namespace win32 {
namespace {

// Waits until one of count system handles is signalled (count 0: until the
// time is up). list has room for one more handle, the wake event. The result
// is the index in list, kWaitTimeout or kWaitFailed.
std::uint32_t WaitHandles(HANDLE* list, DWORD count, std::uint32_t timeoutMs) {
    ThreadRecord* self = CurrentThreadRecord();
    if (self == nullptr) {
        if (count == 0) {
            ::Sleep(timeoutMs);
            return kWaitTimeout;
        }
        const DWORD result = ::WaitForMultipleObjects(count, list, FALSE, timeoutMs);
        if (result < WAIT_OBJECT_0 + count) return result - WAIT_OBJECT_0;
        return result == WAIT_TIMEOUT ? kWaitTimeout : kWaitFailed;
    }

    list[count] = self->wake;
    const bool infinite = timeoutMs == kInfinite;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        ParkIfSuspended(self);
        DWORD remaining = INFINITE;
        if (!infinite) {
            const ULONGLONG now = ::GetTickCount64();
            remaining = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        // Not all: the lowest signalled index, and only its semaphore count is taken.
        const DWORD result = ::WaitForMultipleObjects(count + 1, list, FALSE, remaining);
        if (result < WAIT_OBJECT_0 + count) return result - WAIT_OBJECT_0;
        if (result == WAIT_OBJECT_0 + count) continue;  // woken: park if asked, then wait on
        return result == WAIT_TIMEOUT ? kWaitTimeout : kWaitFailed;
    }
}

}  // namespace

std::uint32_t Win32Platform::Wait(const Handle* handles, std::uint32_t count,
                                  std::uint32_t timeoutMs) {
    if (handles == nullptr || count == 0 || count > kMaxWaitObjects) return kWaitFailed;
    // An object listed twice is waited on once (the system may refuse
    // copies): each system handle remembers the first slot that named it,
    // which is the lowest slot it is signalled in.
    HANDLE list[kMaxWaitObjects + 1] = {};
    std::uint32_t slotOf[kMaxWaitObjects] = {};
    DWORD distinct = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (handles[i] == nullptr) return kWaitFailed;
        const HANDLE system = handles[i]->handle;
        if (std::find(list, list + distinct, system) != list + distinct) continue;
        list[distinct] = system;
        slotOf[distinct] = i;
        ++distinct;
    }
    const std::uint32_t result = WaitHandles(list, distinct, timeoutMs);
    if (result == kWaitTimeout || result == kWaitFailed) return result;
    return kWaitObject0 + slotOf[result];
}

void Win32Platform::Sleep(std::uint32_t ms) {
    if (ms == 0) {
        ParkIfSuspended(CurrentThreadRecord());
        ::Sleep(0);
        return;
    }
    HANDLE list[1] = {};
    WaitHandles(list, 0, ms);
}

}  // namespace win32
}  // namespace transport
