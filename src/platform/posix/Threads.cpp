// Threads that can start suspended and be suspended and resumed. Suspension
// is cooperative: the thread parks at its next Wait or Sleep, which is where
// the client's worker threads spend their idle time. That is enough for the
// client, whose owner suspends the network-event thread only to take its
// socket away, and it never stops a thread while it holds a lock.

#include <system_error>

#include "platform/posix/KernelObjects.h"
#include "platform/posix/PosixPlatform.h"

namespace transport {
namespace posix {

void ParkIfSuspended(Waiter& waiter) {
    ThreadObject* self = waiter.thread;
    if (self == nullptr) return;
    std::unique_lock<std::mutex> lock(self->mutex);
    if (!self->suspendRequested) return;
    self->parked = true;
    self->changed.notify_all();
    self->changed.wait(lock, [self] { return !self->suspendRequested; });
    self->parked = false;
}

bool SuspensionRequested(Waiter& waiter) {
    ThreadObject* self = waiter.thread;
    if (self == nullptr) return false;
    std::lock_guard<std::mutex> lock(self->mutex);
    return self->suspendRequested;
}

void ThreadObject::Run() {
    SetCurrentWaiter(waiter);
    ParkIfSuspended(*waiter);  // created suspended: proc has not run before ResumeThread
    proc(arg);

    bool releaseSelf = false;
    WakeList wake;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ended = true;
        CollectWaitersLocked(&wake);
        changed.notify_all();
        releaseSelf = closed;
    }
    // Pooled waiters: poking them is safe even once a joiner has freed this object.
    wake.PokeAll();
    if (releaseSelf) {
        // Nobody holds the handle any more; the thread is about to return.
        thread.detach();
        delete this;
    }
}

Handle PosixPlatform::CreateThread(ThreadProc proc, void* arg, bool suspended) {
    if (proc == nullptr) return nullptr;
    auto* object = new ThreadObject(proc, arg, suspended);
    object->waiter->thread = object;
    try {
        object->thread = std::thread(&ThreadObject::Run, object);
    } catch (const std::system_error&) {
        delete object;
        return nullptr;
    }
    return object;
}

void PosixPlatform::SuspendThread(Handle handle) {
    ThreadObject* target = AsThread(handle);
    if (target == nullptr) return;
    std::unique_lock<std::mutex> lock(target->mutex);
    if (target->ended) return;
    target->suspendRequested = true;
    // A thread suspending itself parks at its next wait; it cannot wait here
    // for itself.
    if (&CurrentWaiter() == target->waiter) return;
    target->waiter->Poke();
    target->changed.wait(lock, [target] { return target->parked || target->ended; });
}

void PosixPlatform::ResumeThread(Handle handle) {
    ThreadObject* target = AsThread(handle);
    if (target == nullptr) return;
    std::lock_guard<std::mutex> lock(target->mutex);
    target->suspendRequested = false;
    target->changed.notify_all();
}

}  // namespace posix
}  // namespace transport
