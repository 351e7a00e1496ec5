#ifndef TRANSPORT_PLATFORM_POSIX_WAITER_H
#define TRANSPORT_PLATFORM_POSIX_WAITER_H

// How a thread inside Wait or Sleep is woken. Kernel objects hold no
// descriptor: the state of an object lives under its mutex, and whoever
// changes it pokes the threads registered as waiting on it. A waiting thread
// sleeps on a futex word when it waits for objects alone, and in poll() when
// sockets are among what it waits for; only then does it need a descriptor
// (an eventfd, made on first use) that a poke can make readable.
//
// Waiters come from a pool and are never freed, so a poke that reaches a
// waiter after its thread has left the wait (or ended) costs at most one
// spurious wake-up of whichever thread uses it next, never a write to freed
// memory. That lets the signalling side poke after releasing the object's
// mutex, so the woken thread does not run into it. The wake descriptor is
// closed when the waiter goes back to the pool (a closed client leaves no
// descriptor behind), under a lock that a poke writing to it also holds.

#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace transport {
namespace posix {

struct ThreadObject;

class Waiter {
public:
    Waiter() = default;
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Wakes the thread from its current sleep, or makes its next sleep of
    // this round return at once. Any thread; no lock needed.
    void Poke();

    // Called by the owning thread at the start of each round of a wait loop,
    // before it looks at the state it waits for: pokes from before were for
    // changes that this look will see.
    void BeginRound() { word_.store(kIdle); }

    // Sleeps until poked or timeoutMs (-1: no limit) has passed.
    void Sleep(int timeoutMs);

    // poll() on fds[1..count-1] until one is ready, a poke arrives or
    // timeoutMs (-1: no limit) has passed; fds[0] is filled in here with the
    // wake descriptor. Returns poll's result (0 on time-out or a poke).
    int Poll(pollfd* fds, std::size_t count, int timeoutMs);

    ThreadObject* thread = nullptr;  // null for threads the platform did not create

private:
    enum : std::uint32_t { kIdle = 0, kPoked = 1, kSleeping = 2, kPolling = 3 };

    friend void ReleaseWaiter(Waiter* waiter);
    bool EnsureWakeFd();
    void CloseWakeFd();

    std::atomic<std::uint32_t> word_{kIdle};
    // Written by Poke only while the owner polls. Made by the owner, closed
    // on return to the pool; both under fdMutex_, as is a poke's write.
    int wakeFd_ = -1;
    std::mutex fdMutex_;
};

// A waiter from the pool, and its return.
Waiter* AcquireWaiter();
void ReleaseWaiter(Waiter* waiter);

// The calling thread's waiter (taken from the pool on first use by a thread
// the platform did not create, and returned when it ends).
Waiter& CurrentWaiter();
// Makes waiter the calling thread's own; used by platform threads at start.
void SetCurrentWaiter(Waiter* waiter);

// Waiters collected under an object's mutex, poked once it is released.
class WakeList {
public:
    WakeList() = default;
    WakeList(const WakeList&) = delete;
    WakeList& operator=(const WakeList&) = delete;

    void Add(const std::vector<Waiter*>& waiters);
    void PokeAll();

private:
    static constexpr std::size_t kInline = 8;
    Waiter* inline_[kInline] = {};
    std::size_t count_ = 0;
    std::vector<Waiter*> more_;
};

}  // namespace posix
}  // namespace transport

#endif
