#ifndef TRANSPORT_PLATFORM_POSIX_KERNEL_OBJECTS_H
#define TRANSPORT_PLATFORM_POSIX_KERNEL_OBJECTS_H

// The waitable objects of the POSIX platform. An object is its state under
// its mutex and the list of threads waiting on it; it holds no descriptor.
// Whoever signals it pokes the waiters (see Waiter.h), so that one Wait can
// cover events, semaphores, thread ends and sockets together.

#include <transport/Platform.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/Waiter.h"

namespace transport {
namespace posix {

struct SocketState;
struct ThreadObject;

// Blocks the calling thread while its suspension is requested. A park point:
// called at the start of a platform thread and inside every Wait and Sleep.
void ParkIfSuspended(Waiter& waiter);
// Whether the waiter's thread has been asked to suspend (a blocking step that
// is not a Wait, such as a TLS handshake, gives up on it).
bool SuspensionRequested(Waiter& waiter);

}  // namespace posix

struct KernelObject {
    enum class Kind { kEvent, kSemaphore, kThread };

    explicit KernelObject(Kind objectKind) : kind(objectKind) {}
    virtual ~KernelObject();
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    // With mutex held: takes the signal if the object is signalled (for a
    // semaphore, exactly one count).
    virtual bool TryTakeLocked() = 0;

    // With mutex held: the object became signalled; wake collects its
    // waiters, to be poked once the mutex is released.
    void CollectWaitersLocked(posix::WakeList* wake) const { wake->Add(waiters); }
    // With mutex held: make every thread waiting on this object rebuild what
    // it polls (a socket selected or closed).
    void PokeWaitersLocked();

    const Kind kind;
    std::mutex mutex;
    std::vector<posix::Waiter*> waiters;  // threads inside a Wait on this object
};

namespace posix {

// A manual-reset event; also the connection object of the bearer.
struct EventObject : KernelObject {
    EventObject() : KernelObject(Kind::kEvent) {}
    bool TryTakeLocked() override { return signalled; }
    bool Set();
    bool Reset();

    bool signalled = false;
    // Sockets whose network events this event stands for (event selection).
    std::vector<std::shared_ptr<SocketState>> sockets;
};

// A bearer connection request: an event signalled on every status change.
struct ConnectionObject : EventObject {
    std::uint32_t status = 0;
};

struct SemaphoreObject : KernelObject {
    SemaphoreObject(long initialCount, long maximumCount)
        : KernelObject(Kind::kSemaphore), count(initialCount), maximum(maximumCount) {}
    bool TryTakeLocked() override;

    long count;
    const long maximum;
};

// A thread made by CreateThread. Suspension is cooperative: the thread parks
// at its next Wait or Sleep (or before its procedure when created suspended).
struct ThreadObject : KernelObject {
    ThreadObject(ThreadProc procedure, void* argument, bool suspended)
        : KernelObject(Kind::kThread),
          proc(procedure),
          arg(argument),
          suspendRequested(suspended) {}
    ~ThreadObject() override { ReleaseWaiter(waiter); }
    bool TryTakeLocked() override { return ended; }
    void Run();

    const ThreadProc proc;
    void* const arg;
    Waiter* const waiter = AcquireWaiter();  // returned when the object goes
    std::thread thread;
    std::condition_variable changed;  // parked, ended and resumption
    bool suspendRequested;
    bool parked = false;
    bool ended = false;
    bool closed = false;  // the handle was closed while the thread ran: it frees itself
};

// Checked conversions; null when the handle is of another kind.
EventObject* AsEvent(Handle handle);
SemaphoreObject* AsSemaphore(Handle handle);
ThreadObject* AsThread(Handle handle);

}  // namespace posix
}  // namespace transport

#endif
