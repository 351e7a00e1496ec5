// Events, semaphores and handle release.

#include "platform/posix/KernelObjects.h"

#include <algorithm>

#include "platform/posix/PosixPlatform.h"

namespace transport {

KernelObject::~KernelObject() = default;

void KernelObject::PokeWaitersLocked() {
    for (posix::Waiter* waiter : waiters) waiter->Poke();
}

namespace posix {

bool EventObject::Set() {
    WakeList wake;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (signalled) return true;
        signalled = true;
        CollectWaitersLocked(&wake);
    }
    wake.PokeAll();
    return true;
}

bool EventObject::Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    signalled = false;
    return true;
}

bool SemaphoreObject::TryTakeLocked() {
    if (count <= 0) return false;
    --count;
    return true;
}

EventObject* AsEvent(Handle handle) {
    return handle != nullptr && handle->kind == KernelObject::Kind::kEvent
               ? static_cast<EventObject*>(handle)
               : nullptr;
}

SemaphoreObject* AsSemaphore(Handle handle) {
    return handle != nullptr && handle->kind == KernelObject::Kind::kSemaphore
               ? static_cast<SemaphoreObject*>(handle)
               : nullptr;
}

ThreadObject* AsThread(Handle handle) {
    return handle != nullptr && handle->kind == KernelObject::Kind::kThread
               ? static_cast<ThreadObject*>(handle)
               : nullptr;
}

Handle PosixPlatform::CreateEvent() {
    return new EventObject;
}

bool PosixPlatform::SetEvent(Handle handle) {
    EventObject* event = AsEvent(handle);
    return event != nullptr && event->Set();
}

bool PosixPlatform::ResetEvent(Handle handle) {
    EventObject* event = AsEvent(handle);
    return event != nullptr && event->Reset();
}

Handle PosixPlatform::CreateSemaphore(long initial, long maximum) {
    if (maximum <= 0 || initial < 0 || initial > maximum) return nullptr;
    return new SemaphoreObject(initial, maximum);
}

bool PosixPlatform::ReleaseSemaphore(Handle handle, long count, long* previous) {
    SemaphoreObject* semaphore = AsSemaphore(handle);
    if (semaphore == nullptr || count <= 0) return false;
    WakeList wake;
    {
        std::lock_guard<std::mutex> lock(semaphore->mutex);
        if (count > semaphore->maximum - semaphore->count) return false;  // changes nothing
        if (previous != nullptr) *previous = semaphore->count;
        // Waiters can only be asleep while the count is 0.
        if (semaphore->count == 0) semaphore->CollectWaitersLocked(&wake);
        semaphore->count += count;
    }
    wake.PokeAll();
    return true;
}

void PosixPlatform::CloseHandle(Handle handle) {
    if (handle == nullptr) return;
    if (ThreadObject* thread = AsThread(handle)) {
        std::unique_lock<std::mutex> lock(thread->mutex);
        if (!thread->ended) {
            // Still running: it releases itself when its procedure returns.
            thread->closed = true;
            return;
        }
        lock.unlock();
        if (thread->thread.joinable()) thread->thread.join();
        delete thread;
        return;
    }
    if (EventObject* event = AsEvent(handle)) {
        ForgetConnection(handle);
        // Sockets still selected on the event stop standing for it.
        std::vector<std::shared_ptr<SocketState>> sockets;
        {
            std::lock_guard<std::mutex> lock(event->mutex);
            sockets.swap(event->sockets);
        }
        for (const std::shared_ptr<SocketState>& socket : sockets) {
            std::lock_guard<std::mutex> lock(socket->mutex);
            if (socket->event == event) {
                socket->event = nullptr;
                socket->mask = 0;
            }
        }
    }
    delete handle;
}

}  // namespace posix
}  // namespace transport
