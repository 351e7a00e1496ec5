// Contract of the platform's kernel objects: what the client's threads rely
// on from events, the semaphore, waits, threads and their suspension.

#include <gtest/gtest.h>
#include <transport/Platform.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

namespace transport {
namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class KernelTest : public ::testing::Test {
protected:
    ~KernelTest() override {
        for (Handle handle : owned_) platform_.CloseHandle(handle);
    }
    Handle Own(Handle handle) {
        EXPECT_NE(handle, nullptr);
        owned_.push_back(handle);
        return handle;
    }
    Handle Event() { return Own(platform_.CreateEvent()); }
    Handle Semaphore(long initial, long maximum) {
        return Own(platform_.CreateSemaphore(initial, maximum));
    }

    Platform& platform_ = DefaultPlatform();
    std::vector<Handle> owned_;
};

// ---- Events and waits ----

TEST_F(KernelTest, TimedWaitReturnsAfterItsTime) {
    Handle event = Event();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(platform_.WaitOne(event, 150), kWaitTimeout);
    EXPECT_GE(MsSince(start), 140);
    EXPECT_LT(MsSince(start), 2000);

    start = Clock::now();
    EXPECT_EQ(platform_.WaitOne(event, 0), kWaitTimeout);
    EXPECT_LT(MsSince(start), 100);
}

TEST_F(KernelTest, SignalSetBeforeTheWaitIsNotLostAndStaysUntilReset) {
    Handle event = Event();
    ASSERT_TRUE(platform_.SetEvent(event));
    ASSERT_TRUE(platform_.SetEvent(event));  // no counting: one reset clears it
    EXPECT_EQ(platform_.WaitOne(event, 0), kWaitObject0);
    EXPECT_EQ(platform_.WaitOne(event, kInfinite), kWaitObject0);  // manual reset
    ASSERT_TRUE(platform_.ResetEvent(event));
    EXPECT_EQ(platform_.WaitOne(event, 0), kWaitTimeout);
}

TEST_F(KernelTest, BadArgumentsFailTheWait) {
    Handle event = Event();
    Handle semaphore = Semaphore(1, 1);
    Handle nine[9] = {event, event, event, event, event, event, event, event, event};
    Handle withNull[2] = {event, nullptr};
    EXPECT_EQ(platform_.Wait(nullptr, 1, 0), kWaitFailed);
    EXPECT_EQ(platform_.Wait(nine, 0, 0), kWaitFailed);
    EXPECT_EQ(platform_.Wait(nine, 9, 0), kWaitFailed);
    EXPECT_EQ(platform_.Wait(withNull, 2, 0), kWaitFailed);
    EXPECT_FALSE(platform_.SetEvent(nullptr));
    EXPECT_FALSE(platform_.SetEvent(semaphore));
    EXPECT_FALSE(platform_.ReleaseSemaphore(event, 1, nullptr));
    EXPECT_EQ(platform_.CreateSemaphore(2, 1), nullptr);
    EXPECT_EQ(platform_.CreateSemaphore(0, 0), nullptr);
    // The semaphore was not touched by the failed calls.
    EXPECT_EQ(platform_.WaitOne(semaphore, 0), kWaitObject0);
}

TEST_F(KernelTest, SixWayWaitReportsTheLowestSignalledSlot) {
    Handle slots[6] = {Event(), Event(), Event(), Event(), Semaphore(1, 10), Event()};
    platform_.SetEvent(slots[5]);
    platform_.SetEvent(slots[3]);
    EXPECT_EQ(platform_.Wait(slots, 6, 0), kWaitObject0 + 3);
    EXPECT_EQ(platform_.Wait(slots, 6, kInfinite), kWaitObject0 + 3);
    platform_.SetEvent(slots[1]);
    EXPECT_EQ(platform_.Wait(slots, 6, 0), kWaitObject0 + 1);

    // The semaphore behind a lower signalled slot kept its count.
    platform_.ResetEvent(slots[1]);
    platform_.ResetEvent(slots[3]);
    EXPECT_EQ(platform_.Wait(slots, 6, 0), kWaitObject0 + 4);
    EXPECT_EQ(platform_.Wait(slots, 6, 0), kWaitObject0 + 5);
}

// ---- The semaphore ----

TEST_F(KernelTest, SemaphoreCountsAndReportsThePreviousCount) {
    Handle semaphore = Semaphore(2, 65536);
    EXPECT_EQ(platform_.WaitOne(semaphore, 0), kWaitObject0);
    EXPECT_EQ(platform_.WaitOne(semaphore, 0), kWaitObject0);
    EXPECT_EQ(platform_.WaitOne(semaphore, 0), kWaitTimeout);

    long previous = -1;
    ASSERT_TRUE(platform_.ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 0);
    ASSERT_TRUE(platform_.ReleaseSemaphore(semaphore, 3, &previous));
    EXPECT_EQ(previous, 1);
    ASSERT_TRUE(platform_.ReleaseSemaphore(semaphore, 1, nullptr));
    ASSERT_TRUE(platform_.ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 5);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(platform_.WaitOne(semaphore, 0), kWaitObject0);
    EXPECT_EQ(platform_.WaitOne(semaphore, 0), kWaitTimeout);
}

TEST_F(KernelTest, SemaphoreRefusesAReleasePastItsMaximumAndChangesNothing) {
    Handle semaphore = Semaphore(65535, 65536);
    long previous = -1;
    ASSERT_TRUE(platform_.ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 65535);
    previous = -7;
    EXPECT_FALSE(platform_.ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, -7);
    EXPECT_FALSE(platform_.ReleaseSemaphore(semaphore, 0, &previous));
    EXPECT_FALSE(platform_.ReleaseSemaphore(semaphore, -1, &previous));

    EXPECT_EQ(platform_.WaitOne(semaphore, 0), kWaitObject0);
    ASSERT_TRUE(platform_.ReleaseSemaphore(semaphore, 1, &previous));
    EXPECT_EQ(previous, 65535);
}

TEST_F(KernelTest, AWaitTakesExactlyOneCountEvenWhenTheSemaphoreIsListedTwice) {
    Handle semaphore = Semaphore(1, 5);
    Handle twice[2] = {semaphore, semaphore};
    EXPECT_EQ(platform_.Wait(twice, 2, 0), kWaitObject0);
    EXPECT_EQ(platform_.Wait(twice, 2, 0), kWaitTimeout);
}

struct ReleaserArgs {
    Platform* platform;
    Handle semaphore;
    int releases;
    std::atomic<int> failures{0};
};

unsigned long ReleaseMany(void* arg) {
    auto* args = static_cast<ReleaserArgs*>(arg);
    for (int i = 0; i < args->releases; ++i) {
        if (!args->platform->ReleaseSemaphore(args->semaphore, 1, nullptr)) ++args->failures;
        if (i % 64 == 0) std::this_thread::yield();
    }
    return 0;
}

TEST_F(KernelTest, CompetingWaitersNeverTakeTheSameCountTwice) {
    constexpr int kReleases = 20000;
    Handle semaphore = Semaphore(0, 65536);
    Handle stop = Event();
    Handle allTaken = Event();
    std::atomic<int> taken{0};
    std::vector<std::thread> consumers;
    for (int i = 0; i < 4; ++i) {
        consumers.emplace_back([&] {
            Handle both[2] = {stop, semaphore};
            while (platform_.Wait(both, 2, kInfinite) == kWaitObject0 + 1) {
                if (++taken == kReleases) platform_.SetEvent(allTaken);
            }
        });
    }
    ReleaserArgs args{&platform_, semaphore, kReleases};
    Handle producer = Own(platform_.CreateThread(&ReleaseMany, &args, false));
    EXPECT_EQ(platform_.WaitOne(producer, 10000), kWaitObject0);
    // A lost count never reaches the total; a count taken twice leaves one behind.
    EXPECT_EQ(platform_.WaitOne(allTaken, 10000), kWaitObject0);
    EXPECT_EQ(platform_.WaitOne(semaphore, 0), kWaitTimeout);
    platform_.SetEvent(stop);
    for (std::thread& consumer : consumers) consumer.join();
    EXPECT_EQ(taken.load(), kReleases);
}

// ---- Threads and suspension ----

unsigned long MarkRan(void* arg) {
    static_cast<std::atomic<bool>*>(arg)->store(true);
    return 0;
}

TEST_F(KernelTest, ThreadCreatedSuspendedDoesNotRunUntilResumed) {
    std::atomic<bool> ran{false};
    Handle thread = Own(platform_.CreateThread(&MarkRan, &ran, true));
    EXPECT_EQ(platform_.WaitOne(thread, 150), kWaitTimeout);
    EXPECT_FALSE(ran.load());
    platform_.ResumeThread(thread);
    EXPECT_EQ(platform_.WaitOne(thread, 10000), kWaitObject0);
    EXPECT_TRUE(ran.load());
}

// Waits on {stop, work}; each work signal is counted and acknowledged on done.
struct Worker {
    Platform* platform;
    Handle stop;
    Handle work;
    Handle done;
    std::atomic<int> handled{0};
};

unsigned long WorkLoop(void* arg) {
    auto* worker = static_cast<Worker*>(arg);
    Handle events[2] = {worker->stop, worker->work};
    while (worker->platform->Wait(events, 2, kInfinite) == kWaitObject0 + 1) {
        worker->platform->ResetEvent(worker->work);
        ++worker->handled;
        worker->platform->SetEvent(worker->done);
    }
    return 0;
}

TEST_F(KernelTest, SuspendParksAThreadInsideItsWaitAndResumeContinuesIt) {
    Worker worker{&platform_, Event(), Event(), Event()};
    Handle thread = Own(platform_.CreateThread(&WorkLoop, &worker, false));
    platform_.SetEvent(worker.work);
    ASSERT_EQ(platform_.WaitOne(worker.done, 10000), kWaitObject0);
    platform_.ResetEvent(worker.done);

    platform_.SuspendThread(thread);
    platform_.SetEvent(worker.work);
    EXPECT_EQ(platform_.WaitOne(worker.done, 200), kWaitTimeout);
    EXPECT_EQ(worker.handled.load(), 1);

    platform_.ResumeThread(thread);
    EXPECT_EQ(platform_.WaitOne(worker.done, 10000), kWaitObject0);
    EXPECT_EQ(worker.handled.load(), 2);

    // Resuming a running thread changes nothing.
    platform_.ResumeThread(thread);
    platform_.SetEvent(worker.stop);
    EXPECT_EQ(platform_.WaitOne(thread, 10000), kWaitObject0);
    platform_.SuspendThread(thread);  // ended: returns at once
}

struct BusyArgs {
    Platform* platform;
    Handle busy;
    Handle stop;
    std::atomic<bool> release{false};
};

unsigned long BusyThenWait(void* arg) {
    auto* args = static_cast<BusyArgs*>(arg);
    args->platform->SetEvent(args->busy);
    while (!args->release.load()) std::this_thread::yield();
    args->platform->WaitOne(args->stop, kInfinite);
    return 0;
}

TEST_F(KernelTest, SuspendReturnsOnlyOnceTheThreadHasReachedItsWait) {
    BusyArgs args{&platform_, Event(), Event()};
    Handle thread = Own(platform_.CreateThread(&BusyThenWait, &args, false));
    ASSERT_EQ(platform_.WaitOne(args.busy, 10000), kWaitObject0);

    auto suspended = std::async(std::launch::async, [&] { platform_.SuspendThread(thread); });
    EXPECT_EQ(suspended.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
    args.release = true;
    ASSERT_EQ(suspended.wait_for(std::chrono::seconds(10)), std::future_status::ready);

    // Parked: the stop signal is not acted on until the thread is resumed.
    platform_.SetEvent(args.stop);
    EXPECT_EQ(platform_.WaitOne(thread, 150), kWaitTimeout);
    platform_.ResumeThread(thread);
    EXPECT_EQ(platform_.WaitOne(thread, 10000), kWaitObject0);
}

struct SleeperArgs {
    Platform* platform;
    std::uint32_t ms;
};

unsigned long SleepFor(void* arg) {
    auto* args = static_cast<SleeperArgs*>(arg);
    args->platform->Sleep(args->ms);
    return 0;
}

TEST_F(KernelTest, ASleepingThreadParksPromptlyWhenSuspended) {
    SleeperArgs args{&platform_, 1500};
    Handle thread = Own(platform_.CreateThread(&SleepFor, &args, false));
    const Clock::time_point start = Clock::now();
    platform_.SuspendThread(thread);
    EXPECT_LT(MsSince(start), 1000);
    platform_.ResumeThread(thread);
    EXPECT_EQ(platform_.WaitOne(thread, 10000), kWaitObject0);
}

struct CloseArgs {
    Platform* platform;
    Handle go;
    Handle done;
};

unsigned long WaitGoThenSignal(void* arg) {
    auto* args = static_cast<CloseArgs*>(arg);
    args->platform->WaitOne(args->go, kInfinite);
    args->platform->SetEvent(args->done);
    return 0;
}

TEST_F(KernelTest, ThreadHandleClosedWhileRunningLetsTheThreadFinish) {
    CloseArgs args{&platform_, Event(), Event()};
    Handle thread = platform_.CreateThread(&WaitGoThenSignal, &args, false);
    ASSERT_NE(thread, nullptr);
    platform_.CloseHandle(thread);  // the thread releases itself when it returns
    platform_.SetEvent(args.go);
    EXPECT_EQ(platform_.WaitOne(args.done, 10000), kWaitObject0);
}

// ---- The clock ----

}  // namespace
}  // namespace transport
