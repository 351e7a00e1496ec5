// Waking waiting threads: a futex word per thread, and an eventfd for the
// threads that poll sockets.

#include "platform/posix/Waiter.h"

#include <linux/futex.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace transport {
namespace posix {
namespace {

// A poll without a wake descriptor (none could be made: the process is out
// of descriptors) looks for pokes this often instead.
constexpr int kPollSliceMs = 20;

long Futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t),
                  "the futex word is the atomic itself");
    return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr,
                   0);
}

void DrainFd(int fd) {
    std::uint64_t value = 0;
    while (read(fd, &value, sizeof(value)) < 0 && errno == EINTR) {
    }
}

struct Pool {
    std::mutex mutex;
    std::vector<Waiter*> free;
};

Pool& WaiterPool() {
    // Never destroyed: threads may return their waiters during exit.
    static Pool* pool = new Pool;
    return *pool;
}

thread_local Waiter* tlsWaiter = nullptr;

// The waiter of a thread the platform did not create, returned at its end.
struct ForeignWaiter {
    Waiter* waiter = AcquireWaiter();
    ~ForeignWaiter() {
        if (tlsWaiter == waiter) tlsWaiter = nullptr;
        ReleaseWaiter(waiter);
    }
};

}  // namespace

void Waiter::Poke() {
    const std::uint32_t previous = word_.exchange(kPoked);
    if (previous == kSleeping) {
        Futex(&word_, FUTEX_WAKE_PRIVATE, 1, nullptr);
    } else if (previous == kPolling) {
        // The owner may leave its wait and give the waiter back meanwhile:
        // the lock keeps the descriptor from being closed (and its number
        // handed out again) under this write.
        std::lock_guard<std::mutex> lock(fdMutex_);
        if (wakeFd_ < 0) return;
        const std::uint64_t one = 1;
        // EAGAIN would mean a counter near overflow: still readable, so harmless.
        while (write(wakeFd_, &one, sizeof(one)) < 0 && errno == EINTR) {
        }
    }
}

void Waiter::Sleep(int timeoutMs) {
    std::uint32_t expected = kIdle;
    if (!word_.compare_exchange_strong(expected, kSleeping)) return;  // poked already
    if (timeoutMs < 0) {
        Futex(&word_, FUTEX_WAIT_PRIVATE, kSleeping, nullptr);
        return;
    }
    timespec timeout{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1000000L};
    // Returns on a wake, a time-out, a signal or a word already changed: the
    // caller's loop looks at the state and the time again in every case.
    Futex(&word_, FUTEX_WAIT_PRIVATE, kSleeping, &timeout);
}

bool Waiter::EnsureWakeFd() {
    if (wakeFd_ >= 0) return true;  // only the owner changes it while it runs
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    std::lock_guard<std::mutex> lock(fdMutex_);
    wakeFd_ = fd;
    return wakeFd_ >= 0;
}

void Waiter::CloseWakeFd() {
    std::lock_guard<std::mutex> lock(fdMutex_);
    if (wakeFd_ >= 0) close(wakeFd_);
    wakeFd_ = -1;
}

int Waiter::Poll(pollfd* fds, std::size_t count, int timeoutMs) {
    const bool canWake = EnsureWakeFd();
    fds[0] = pollfd{canWake ? wakeFd_ : -1, POLLIN, 0};  // poll() skips a negative descriptor
    if (!canWake) timeoutMs = timeoutMs < 0 ? kPollSliceMs : std::min(timeoutMs, kPollSliceMs);

    std::uint32_t expected = kIdle;
    if (!word_.compare_exchange_strong(expected, kPolling)) return 0;  // poked already
    const int ready = poll(fds, count, timeoutMs);
    // Pokes from now on only mark the word (the caller is about to look at
    // the state anyway). One that came while polling wrote the descriptor:
    // take it back. One that lands after this read leaves it readable for one
    // spurious round.
    expected = kPolling;
    word_.compare_exchange_strong(expected, kIdle);
    if (ready > 0 && fds[0].revents != 0) DrainFd(wakeFd_);
    return ready;
}

Waiter* AcquireWaiter() {
    Pool& pool = WaiterPool();
    {
        std::lock_guard<std::mutex> lock(pool.mutex);
        if (!pool.free.empty()) {
            Waiter* waiter = pool.free.back();
            pool.free.pop_back();
            return waiter;
        }
    }
    return new Waiter;
}

void ReleaseWaiter(Waiter* waiter) {
    if (waiter == nullptr) return;
    waiter->thread = nullptr;
    waiter->CloseWakeFd();
    Pool& pool = WaiterPool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.free.push_back(waiter);
}

void SetCurrentWaiter(Waiter* waiter) { tlsWaiter = waiter; }

Waiter& CurrentWaiter() {
    if (tlsWaiter == nullptr) {
        thread_local ForeignWaiter foreign;
        tlsWaiter = foreign.waiter;
    }
    return *tlsWaiter;
}

void WakeList::Add(const std::vector<Waiter*>& waiters) {
    for (Waiter* waiter : waiters) {
        if (count_ < kInline) {
            inline_[count_++] = waiter;
        } else {
            more_.push_back(waiter);
        }
    }
}

void WakeList::PokeAll() {
    for (std::size_t i = 0; i < count_; ++i) inline_[i]->Poke();
    for (Waiter* waiter : more_) waiter->Poke();
    count_ = 0;
    more_.clear();
}

}  // namespace posix
}  // namespace transport
