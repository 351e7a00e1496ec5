// Wait on up to eight objects, and Sleep. One poll() covers the objects'
// descriptors, the sockets selected on the events among them, and the
// calling thread's own wake-up descriptor (suspension requests and changes
// of a selection).

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

// The calling thread is listed on each distinct object while it waits, so
// that a new or cancelled selection can make it poll again.
class WaitRegistration {
public:
    WaitRegistration(const Handle* handles, std::uint32_t count, Waiter& waiter) : waiter_(waiter) {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (std::find(objects_.begin(), objects_.end(), handles[i]) != objects_.end()) continue;
            objects_.push_back(handles[i]);
            std::lock_guard<std::mutex> lock(handles[i]->mutex);
            handles[i]->waiters.push_back(&waiter_);
        }
    }
    ~WaitRegistration() {
        for (Handle object : objects_) {
            std::lock_guard<std::mutex> lock(object->mutex);
            auto found = std::find(object->waiters.begin(), object->waiters.end(), &waiter_);
            if (found != object->waiters.end()) object->waiters.erase(found);
        }
    }
    WaitRegistration(const WaitRegistration&) = delete;
    WaitRegistration& operator=(const WaitRegistration&) = delete;

private:
    Waiter& waiter_;
    std::vector<Handle> objects_;
};

struct PolledSocket {
    std::shared_ptr<SocketState> state;
    EventObject* event;
};

// Adds the sockets selected on event to the poll set. True when one of them
// already holds a report, in which case the event has been set.
bool AddSelectedSockets(EventObject* event, std::vector<pollfd>* fds,
                        std::vector<PolledSocket>* polled) {
    std::vector<std::shared_ptr<SocketState>> sockets;
    {
        std::lock_guard<std::mutex> lock(event->mutex);
        sockets = event->sockets;
    }
    bool reportWaiting = false;
    for (const std::shared_ptr<SocketState>& socket : sockets) {
        std::lock_guard<std::mutex> lock(socket->mutex);
        if (socket->event != event) continue;
        if ((socket->PendingLocked() & socket->mask) != 0) {
            reportWaiting = true;
            continue;
        }
        short events = socket->PollEventsLocked();
        if (events == 0) continue;
        fds->push_back(pollfd{socket->fd, events, 0});
        polled->push_back(PolledSocket{socket, event});
    }
    if (reportWaiting) event->Set();
    return reportWaiting;
}

// Waits until one of count objects is signalled (count 0: until the time is
// up, as Sleep does).
std::uint32_t WaitObjects(const Handle* handles, std::uint32_t count, std::uint32_t timeoutMs) {
    Waiter& waiter = CurrentWaiter();
    const bool infinite = timeoutMs == kInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    WaitRegistration registration(handles, count, waiter);

    std::vector<pollfd> fds;
    std::vector<PolledSocket> polled;
    bool polledOnce = false;
    for (;;) {
        ParkIfSuspended(waiter);

        // Lowest index first; a semaphore after the first signalled slot
        // keeps its count.
        for (std::uint32_t i = 0; i < count; ++i) {
            std::lock_guard<std::mutex> lock(handles[i]->mutex);
            if (handles[i]->TryTakeLocked()) return kWaitObject0 + i;
        }

        int pollTimeout = -1;
        if (!infinite) {
            const auto remaining =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (remaining <= 0 && polledOnce) return kWaitTimeout;
            pollTimeout = static_cast<int>(std::clamp<long long>(remaining, 0, INT_MAX));
        }

        fds.clear();
        polled.clear();
        fds.push_back(pollfd{waiter.wakeFd, POLLIN, 0});
        for (std::uint32_t i = 0; i < count; ++i) fds.push_back(pollfd{handles[i]->fd, POLLIN, 0});
        bool reportWaiting = false;
        for (std::uint32_t i = 0; i < count; ++i) {
            if (EventObject* event = AsEvent(handles[i])) {
                reportWaiting = AddSelectedSockets(event, &fds, &polled) || reportWaiting;
            }
        }
        if (reportWaiting) continue;

        const int ready = poll(fds.data(), fds.size(), pollTimeout);
        polledOnce = true;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return kWaitFailed;
        }
        if (fds[0].revents != 0) waiter.Drain();
        const std::size_t firstSocket = 1 + count;
        for (std::size_t j = 0; j < polled.size(); ++j) {
            const short revents = fds[firstSocket + j].revents;
            if (revents == 0) continue;
            SocketState& socket = *polled[j].state;
            long reportable = 0;
            {
                std::lock_guard<std::mutex> lock(socket.mutex);
                if ((revents & POLLNVAL) != 0) {
                    // Closed behind the platform's back: never poll it again.
                    socket.phase = SocketState::Phase::kClosed;
                } else if (socket.event == polled[j].event) {
                    reportable = socket.ProbeLocked() & socket.mask;
                }
            }
            if (reportable != 0) polled[j].event->Set();
        }
    }
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
