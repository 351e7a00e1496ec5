#ifndef TRANSPORT_PLATFORM_POSIX_KERNEL_OBJECTS_H
#define TRANSPORT_PLATFORM_POSIX_KERNEL_OBJECTS_H

// The waitable objects of the POSIX platform. Each one carries an eventfd that
// is readable exactly while the object is signalled, so that one poll() waits
// on events, semaphores, thread ends and sockets together. The signalled
// state itself lives under the object's mutex; the descriptor only wakes
// poll(), it is never the truth.

#include <transport/Platform.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace transport {
namespace posix {

struct SocketState;
struct ThreadObject;

// A thread's private wake-up descriptor. Every Wait the thread makes polls it,
// so that a suspension request, or a change of what an event stands for (a
// socket associated or closed), reaches a thread blocked in poll().
struct Waiter {
    Waiter();
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    void Poke();
    void Drain();

    int wakeFd;
    ThreadObject* thread = nullptr;  // null for threads the platform did not create
};

// The calling thread's waiter (created on first use for foreign threads).
Waiter& CurrentWaiter();
// Makes waiter the calling thread's own; used by platform threads at start.
void SetCurrentWaiter(Waiter* waiter);
// Blocks the calling thread while its suspension is requested. A park point:
// called at the start of a platform thread and inside every Wait and Sleep.
void ParkIfSuspended(Waiter& waiter);

}  // namespace posix

struct KernelObject {
    enum class Kind { kEvent, kSemaphore, kThread };

    explicit KernelObject(Kind objectKind);
    virtual ~KernelObject();
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    bool Valid() const { return fd >= 0; }

    // With mutex held: takes the signal if the object is signalled (for a
    // semaphore, exactly one count).
    virtual bool TryTakeLocked() = 0;

    // With mutex held: keep the descriptor's readability equal to the state.
    void MarkSignalledLocked();
    void MarkUnsignalledLocked();
    // With mutex held: make every thread waiting on this object rebuild what
    // it polls.
    void PokeWaitersLocked();

    const Kind kind;
    const int fd;
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
    bool TryTakeLocked() override { return ended; }
    void Run();

    const ThreadProc proc;
    void* const arg;
    Waiter waiter;
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
