// The fast clock the client's timing tests stand on. The bearer double and the
// trace recorder are exercised by every end-to-end test that uses them.

#include <gtest/gtest.h>
#include <transport/Platform.h>

#include <mutex>
#include <vector>

#include "support/FastClockPlatform.h"

namespace transport {
namespace {

using test::FastClockPlatform;

// Records the time-outs that reach the real platform; sleeps and socket
// calls go no further.
class TimeoutSpy : public PlatformWrapper {
public:
    TimeoutSpy() : PlatformWrapper(DefaultPlatform()) {}
    std::uint32_t Wait(const Handle* h, std::uint32_t n, std::uint32_t t) override {
        Record(t);
        return PlatformWrapper::Wait(h, n, 0);
    }
    void Sleep(std::uint32_t ms) override { Record(ms); }
    int Send(SocketHandle, const char*, std::uint32_t, std::uint32_t t, std::uint32_t*) override {
        Record(t);
        return 0;
    }
    int Receive(SocketHandle, char*, std::uint32_t, std::uint32_t t, std::uint32_t*) override {
        Record(t);
        return 0;
    }
    std::uint32_t Last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return timeouts_.back();
    }

private:
    void Record(std::uint32_t t) {
        std::lock_guard<std::mutex> lock(mutex_);
        timeouts_.push_back(t);
    }
    std::mutex mutex_;
    std::vector<std::uint32_t> timeouts_;
};

TEST(FastClock, ScalesEveryTimeoutButKeepsInfiniteAndZero) {
    TimeoutSpy spy;
    FastClockPlatform fast(spy, 100);
    Handle event = fast.CreateEvent();
    fast.WaitOne(event, 30000);
    EXPECT_EQ(spy.Last(), 300u);
    fast.WaitOne(event, 0);
    EXPECT_EQ(spy.Last(), 0u);
    fast.WaitOne(event, kInfinite);
    EXPECT_EQ(spy.Last(), kInfinite);
    fast.WaitOne(event, 50);
    EXPECT_EQ(spy.Last(), 1u);  // never turned into a poll
    fast.Sleep(60000);
    EXPECT_EQ(spy.Last(), 600u);
    fast.Sleep(0);
    EXPECT_EQ(spy.Last(), 0u);
    std::uint32_t count = 0;
    fast.Send(kInvalidSocket, "x", 1, 2000, &count);
    EXPECT_EQ(spy.Last(), 20u);
    char byte;
    fast.Receive(kInvalidSocket, &byte, 1, 2000, &count);
    EXPECT_EQ(spy.Last(), 20u);
    fast.CloseHandle(event);
}

TEST(FastClock, StartTickLetsATestCrossTheCounterWrap) {
    FastClockPlatform fast(DefaultPlatform(), 100);
    fast.SetStartTick(0xFFFFFFFFu - 1000);
    const std::uint32_t before = fast.GetTickCount();
    EXPECT_GE(before, 0xFFFFFFFFu - 1000);
    fast.Sleep(3000);
    const std::uint32_t after = fast.GetTickCount();
    EXPECT_LT(after, before);  // wrapped
    EXPECT_GE(static_cast<std::uint32_t>(after - before), 2900u);
}

}  // namespace
}  // namespace transport
