// Wait on up to eight objects, and Sleep. The waiting thread registers on
// each object, so that a signal, a suspension request or a change of a
// selection pokes it; it sleeps on its futex word, or in one poll() when
// sockets are selected on the events it waits for.

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "platform/posix/KernelObjects.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/SocketState.h"

namespace transport {
namespace posix {
namespace {

using Clock = std::chrono::steady_clock;

// The calling thread is listed on each distinct object while it waits.
class WaitRegistration {
public:
    WaitRegistration(const Handle* handles, std::uint32_t count, Waiter& waiter) : waiter_(waiter) {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (std::find(objects_, objects_ + count_, handles[i]) != objects_ + count_) continue;
            objects_[count_++] = handles[i];
            std::lock_guard<std::mutex> lock(handles[i]->mutex);
            handles[i]->waiters.push_back(&waiter_);
        }
    }
    ~WaitRegistration() {
        for (std::uint32_t i = 0; i < count_; ++i) {
            std::lock_guard<std::mutex> lock(objects_[i]->mutex);
            auto& waiters = objects_[i]->waiters;
            auto found = std::find(waiters.begin(), waiters.end(), &waiter_);
            if (found != waiters.end()) {
                *found = waiters.back();
                waiters.pop_back();
            }
        }
    }
    WaitRegistration(const WaitRegistration&) = delete;
    WaitRegistration& operator=(const WaitRegistration&) = delete;

private:
    Waiter& waiter_;
    Handle objects_[kMaxWaitObjects] = {};
    std::uint32_t count_ = 0;
};

struct PolledSocket {
    std::shared_ptr<SocketState> state;
    EventObject* event;
    std::uint64_t receives;  // the socket's receive count when its poll entry was made
};

// Per-thread buffers of the poll set, kept between waits so that a wait
// allocates nothing once the thread has waited before.
struct PollSet {
    std::vector<pollfd> fds;
    std::vector<PolledSocket> polled;
    std::vector<std::shared_ptr<SocketState>> scratch;

    void Clear() {
        fds.clear();
        polled.clear();
        scratch.clear();
    }
};

PollSet& ThreadPollSet() {
    thread_local PollSet set;
    return set;
}

// Adds the sockets selected on event to the poll set. True when one of them
// already holds a report, in which case the event has been set.
bool AddSelectedSockets(EventObject* event, PollSet* set) {
    set->scratch.clear();
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        if (event->sockets.empty()) return false;
        set->scratch = event->sockets;
    }
    bool reportWaiting = false;
    for (const std::shared_ptr<SocketState>& socket : set->scratch) {
        std::lock_guard<std::mutex> lock(socket->mutex);
        if (socket->event != event) continue;
        if ((socket->PendingLocked() & socket->mask) != 0) {
            reportWaiting = true;
            continue;
        }
        short events = socket->PollEventsLocked();
        if (events == 0) continue;
        set->fds.push_back(pollfd{socket->fd, events, 0});
        set->polled.push_back(PolledSocket{socket, event, socket->receives});
    }
    set->scratch.clear();
    if (reportWaiting) event->Set();
    return reportWaiting;
}

// Marks the network events a poll found on a socket; the event is set when
// one of them is selected.
void TakePollResult(const PolledSocket& entry, short revents) {
    SocketState& socket = *entry.state;
    long reportable = 0;
    {
        std::lock_guard<std::mutex> lock(socket.mutex);
        if ((revents & POLLNVAL) != 0) {
            // Closed behind the platform's back: never poll it again.
            socket.phase = SocketState::Phase::kClosed;
        } else if (socket.event == entry.event) {
            // Plain readability of an open socket is data (a close or an
            // error shows other bits as well): no need to look at it again,
            // unless a receive may have taken the data since the poll.
            if (revents == POLLIN && socket.phase == SocketState::Phase::kOpen &&
                socket.receives == entry.receives) {
                socket.dataWaiting = true;
            }
            reportable = socket.ProbeLocked() & socket.mask;
        }
    }
    if (reportable != 0) entry.event->Set();
}

// Looks at the objects, lowest index first; a semaphore after the first
// signalled slot keeps its count.
bool TakeSignalled(const Handle* handles, std::uint32_t count, std::uint32_t* result) {
    for (std::uint32_t i = 0; i < count; ++i) {
        std::lock_guard<std::mutex> lock(handles[i]->mutex);
        if (handles[i]->TryTakeLocked()) {
            *result = kWaitObject0 + i;
            return true;
        }
    }
    return false;
}

// Waits until one of count objects is signalled (count 0: until the time is
// up, as Sleep does).
std::uint32_t WaitObjects(const Handle* handles, std::uint32_t count, std::uint32_t timeoutMs) {
    Waiter& waiter = CurrentWaiter();
    ParkIfSuspended(waiter);
    // Something already signalled needs no registration.
    std::uint32_t result = kWaitTimeout;
    if (TakeSignalled(handles, count, &result)) return result;

    const bool infinite = timeoutMs == kInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    WaitRegistration registration(handles, count, waiter);
    PollSet& set = ThreadPollSet();
    bool sleptOnce = false;
    for (;;) {
        // Every poke before this point was for a change the looks below see.
        waiter.BeginRound();
        ParkIfSuspended(waiter);
        if (TakeSignalled(handles, count, &result)) break;

        int sleepMs = -1;
        if (!infinite) {
            const auto remaining =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (remaining <= 0 && sleptOnce) {
                result = kWaitTimeout;
                break;
            }
            sleepMs = static_cast<int>(std::clamp<long long>(remaining, 0, INT_MAX));
        }

        set.Clear();
        set.fds.push_back(pollfd{-1, 0, 0});  // the wake descriptor's place
        bool reportWaiting = false;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (EventObject* event = AsEvent(handles[i])) {
                reportWaiting = AddSelectedSockets(event, &set) || reportWaiting;
            }
        }
        if (reportWaiting) continue;

        sleptOnce = true;
        if (set.polled.empty()) {
            waiter.Sleep(sleepMs);
            continue;
        }
        const int ready = waiter.Poll(set.fds.data(), set.fds.size(), sleepMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            result = kWaitFailed;
            break;
        }
        for (std::size_t j = 0; ready > 0 && j < set.polled.size(); ++j) {
            const short revents = set.fds[1 + j].revents;
            if (revents != 0) TakePollResult(set.polled[j], revents);
        }
    }
    set.Clear();  // holds no socket past the wait
    return result;
}

}  // namespace

std::uint32_t PosixPlatform::Wait(const Handle* handles, std::uint32_t count,
                                  std::uint32_t timeoutMs) {
    if (handles == nullptr || count == 0 || count > kMaxWaitObjects) return kWaitFailed;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (handles[i] == nullptr) return kWaitFailed;
    }
    return WaitObjects(handles, count, timeoutMs);
}

void PosixPlatform::Sleep(std::uint32_t ms) {
    if (ms == 0) {
        ParkIfSuspended(CurrentWaiter());
        std::this_thread::yield();
        return;
    }
    WaitObjects(nullptr, 0, ms);
}

}  // namespace posix
}  // namespace transport
