// Events, semaphores, handle release and the per-thread wake-up descriptor.

#include "platform/posix/KernelObjects.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/posix/PosixPlatform.h"

namespace transport {
namespace {

int NewEventFd() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

void WriteOne(int fd) {
    const std::uint64_t one = 1;
    // EAGAIN would mean a counter near overflow: still readable, so harmless.
    while (write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void DrainFd(int fd) {
    std::uint64_t value = 0;
    while (read(fd, &value, sizeof(value)) < 0 && errno == EINTR) {
    }
}

}  // namespace

KernelObject::KernelObject(Kind objectKind) : kind(objectKind), fd(NewEventFd()) {}

KernelObject::~KernelObject() {
    if (fd >= 0) close(fd);
}

void KernelObject::MarkSignalledLocked() { WriteOne(fd); }

void KernelObject::MarkUnsignalledLocked() { DrainFd(fd); }

void KernelObject::PokeWaitersLocked() {
    for (posix::Waiter* waiter : waiters) waiter->Poke();
}

namespace posix {

Waiter::Waiter() : wakeFd(NewEventFd()) {}

Waiter::~Waiter() {
    if (wakeFd >= 0) close(wakeFd);
}

void Waiter::Poke() { WriteOne(wakeFd); }

void Waiter::Drain() { DrainFd(wakeFd); }

namespace {
thread_local Waiter* tlsWaiter = nullptr;
}  // namespace

void SetCurrentWaiter(Waiter* waiter) { tlsWaiter = waiter; }

Waiter& CurrentWaiter() {
    if (tlsWaiter == nullptr) {
        // A thread the platform did not create: its waiter lives as long as it.
        thread_local Waiter foreign;
        tlsWaiter = &foreign;
    }
    return *tlsWaiter;
}

bool EventObject::Set() {
    std::lock_guard<std::mutex> lock(mutex);
    if (!signalled) {
        signalled = true;
        MarkSignalledLocked();
    }
    return true;
}

bool EventObject::Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    if (signalled) {
        signalled = false;
        MarkUnsignalledLocked();
    }
    return true;
}

bool SemaphoreObject::TryTakeLocked() {
    if (count <= 0) return false;
    if (--count == 0) MarkUnsignalledLocked();
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
    auto* event = new EventObject;
    if (!event->Valid()) {
        delete event;
        return nullptr;
    }
    return event;
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
    auto* semaphore = new SemaphoreObject(initial, maximum);
    if (!semaphore->Valid()) {
        delete semaphore;
        return nullptr;
    }
    if (initial > 0) semaphore->MarkSignalledLocked();  // not shared yet
    return semaphore;
}

bool PosixPlatform::ReleaseSemaphore(Handle handle, long count, long* previous) {
    SemaphoreObject* semaphore = AsSemaphore(handle);
    if (semaphore == nullptr || count <= 0) return false;
    std::lock_guard<std::mutex> lock(semaphore->mutex);
    if (count > semaphore->maximum - semaphore->count) return false;  // changes nothing
    if (previous != nullptr) *previous = semaphore->count;
    if (semaphore->count == 0) semaphore->MarkSignalledLocked();
    semaphore->count += count;
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
