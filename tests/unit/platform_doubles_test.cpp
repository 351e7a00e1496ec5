// The platform doubles the client's tests stand on: the fast clock, the
// driven bearer and the trace recorder, alone and stacked.

#include <gtest/gtest.h>
#include <transport/Platform.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <vector>

#include "support/BearerDouble.h"
#include "support/FastClockPlatform.h"
#include "support/TraceRecorder.h"

namespace transport {
namespace {

using test::BearerDouble;
using test::FastClockPlatform;
using test::TraceRecorder;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

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
    void Trace(const char*, bool) override { ++traces; }
    std::uint32_t Last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return timeouts_.back();
    }
    std::atomic<int> traces{0};

private:
    void Record(std::uint32_t t) {
        std::lock_guard<std::mutex> lock(mutex_);
        timeouts_.push_back(t);
    }
    std::mutex mutex_;
    std::vector<std::uint32_t> timeouts_;
};

// ---- Fast clock ----

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

TEST(FastClock, AWaitOfThirtySecondsTakesMilliseconds) {
    FastClockPlatform fast(DefaultPlatform(), 1000);
    Handle event = fast.CreateEvent();
    const std::uint32_t ticksBefore = fast.GetTickCount();
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(fast.WaitOne(event, 30000), kWaitTimeout);
    EXPECT_LT(MsSince(start), 2000);
    // The clock saw the whole 30 seconds go by.
    EXPECT_GE(fast.GetTickCount() - ticksBefore, 29000u);
    fast.CloseHandle(event);
}

TEST(FastClock, TicksRunFactorTimesFaster) {
    FastClockPlatform fast(DefaultPlatform(), 200);
    const Clock::time_point start = Clock::now();
    const std::uint32_t before = fast.GetTickCount();
    fast.Sleep(10000);  // 50 ms of real time
    const std::uint32_t elapsed = fast.GetTickCount() - before;
    const long long realMs = MsSince(start);
    EXPECT_GE(elapsed, 9500u);
    EXPECT_LE(elapsed, static_cast<std::uint32_t>((realMs + 2) * 200));
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

// ---- Bearer double ----

class BearerDoubleTest : public ::testing::Test {
protected:
    ConnectionInfo Request() {
        ConnectionInfo info{};
        info.cbSize = sizeof(ConnectionInfo);
        info.dwParams = 1;
        info.dwPriority = 0x8000;
        return info;
    }
    BearerDouble bearer_{DefaultPlatform()};
};

TEST_F(BearerDoubleTest, EstablishedConnectionIsSignalledWithItsStatus) {
    Guid guid{};
    EXPECT_EQ(bearer_.CmMapUrl("http://www.example.com/", &guid), 0);
    EXPECT_EQ(bearer_.LastUrl(), "http://www.example.com/");
    Handle ready = bearer_.CmApiReadyEvent();
    EXPECT_EQ(bearer_.WaitOne(ready, 0), kWaitObject0);
    bearer_.CloseHandle(ready);

    ConnectionInfo info = Request();
    info.guidDestNet = guid;
    Handle connection = nullptr;
    ASSERT_EQ(bearer_.CmEstablishConnection(info, &connection), 0);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(bearer_.EstablishCount(), 1);
    EXPECT_EQ(bearer_.LastInfo().dwPriority, 0x8000u);
    EXPECT_EQ(bearer_.LastInfo().guidDestNet.Data1, guid.Data1);
    EXPECT_EQ(bearer_.WaitOne(connection, 0), kWaitObject0);
    std::uint32_t status = 0;
    EXPECT_EQ(bearer_.CmConnectionStatus(connection, &status), 0);
    EXPECT_EQ(status, kCmStatusConnected);

    // Each status the test sets wakes the waiter again.
    bearer_.ResetEvent(connection);
    bearer_.SetStatus(kCmStatusDisconnected);
    EXPECT_EQ(bearer_.WaitOne(connection, 0), kWaitObject0);
    EXPECT_EQ(bearer_.CmConnectionStatus(connection, &status), 0);
    EXPECT_EQ(status, kCmStatusDisconnected);

    EXPECT_EQ(bearer_.CmReleaseConnection(connection, 0), 0);
    EXPECT_EQ(bearer_.ReleaseCount(), 1);
    EXPECT_EQ(bearer_.LiveConnections(), 0u);
    status = 77;
    EXPECT_NE(bearer_.CmConnectionStatus(connection, &status), 0);
    EXPECT_EQ(status, 0u);
    EXPECT_NE(bearer_.CmReleaseConnection(connection, 0), 0);
    EXPECT_EQ(bearer_.ReleaseCount(), 1);
}

TEST_F(BearerDoubleTest, ConnectionWithoutStatusWaitsUntilTheTestSetsOne) {
    bearer_.SetEstablishStatus(std::nullopt);
    Handle connection = nullptr;
    ASSERT_EQ(bearer_.CmEstablishConnection(Request(), &connection), 0);
    EXPECT_EQ(bearer_.WaitOne(connection, 0), kWaitTimeout);
    std::uint32_t status = 0;
    bearer_.CmConnectionStatus(connection, &status);
    EXPECT_EQ(status, BearerDouble::kStatusAttempting);

    auto waiter =
        std::async(std::launch::async, [&] { return bearer_.WaitOne(connection, 10000); });
    bearer_.SetStatus(kCmStatusConnected);
    EXPECT_EQ(waiter.get(), kWaitObject0);
    bearer_.CmConnectionStatus(connection, &status);
    EXPECT_EQ(status, kCmStatusConnected);
    EXPECT_EQ(bearer_.CurrentConnection(), connection);
    bearer_.CmReleaseConnection(connection, 0);
}

TEST_F(BearerDoubleTest, EstablishCanBeMadeToFail) {
    bearer_.SetEstablishFails(true);
    Handle connection = reinterpret_cast<Handle>(&bearer_);
    EXPECT_NE(bearer_.CmEstablishConnection(Request(), &connection), 0);
    EXPECT_EQ(connection, nullptr);
    EXPECT_EQ(bearer_.EstablishCount(), 1);
    EXPECT_TRUE(bearer_.WaitForEstablishCount(1, 0));
    EXPECT_FALSE(bearer_.WaitForEstablishCount(2, 20));
    std::uint32_t status = 5;
    EXPECT_NE(bearer_.CmConnectionStatus(nullptr, &status), 0);
    EXPECT_EQ(status, 0u);
}

// ---- Trace recorder ----

unsigned long TraceLater(void* arg) {
    auto* recorder = static_cast<TraceRecorder*>(arg);
    recorder->Sleep(30);
    recorder->Trace("NetEvent Thread exited !", false);
    return 0;
}

TEST(TraceRecorderTest, RecordsEveryLineInOrderAndForwardsIt) {
    TimeoutSpy spy;
    TraceRecorder recorder(spy);
    recorder.Trace("VERSION CVS 1.74", true);
    recorder.Trace("WSAEnumNetworkEvents: FD_READ", false);
    recorder.Trace("WSAEnumNetworkEvents: FD_CLOSE", false);
    EXPECT_EQ(spy.traces.load(), 3);
    ASSERT_EQ(recorder.Lines().size(), 3u);
    EXPECT_EQ(recorder.Lines()[1], "WSAEnumNetworkEvents: FD_READ");
    EXPECT_TRUE(recorder.Entries()[0].flag);
    EXPECT_FALSE(recorder.Entries()[2].flag);
    EXPECT_TRUE(recorder.Contains("FD_CLOSE"));
    EXPECT_FALSE(recorder.Contains("FD_CONNECT"));
    EXPECT_EQ(recorder.Count("WSAEnumNetworkEvents"), 2u);
    EXPECT_EQ(recorder.IndexOf("WSAEnumNetworkEvents"), 1);
    EXPECT_EQ(recorder.IndexOf("WSAEnumNetworkEvents", 2), 2);
    EXPECT_EQ(recorder.IndexOf("missing"), -1);
    recorder.Clear();
    EXPECT_TRUE(recorder.Lines().empty());
}

TEST(TraceRecorderTest, WaitForReturnsWhenAnotherThreadWritesTheLine) {
    TraceRecorder recorder(DefaultPlatform());
    Handle thread = recorder.CreateThread(&TraceLater, &recorder, false);
    EXPECT_TRUE(recorder.WaitFor("Thread exited", 10000));
    EXPECT_FALSE(recorder.WaitFor("never written", 30));
    EXPECT_FALSE(recorder.WaitForCount("Thread exited", 2, 30));
    recorder.WaitOne(thread, kInfinite);
    recorder.CloseHandle(thread);
}

TEST(PlatformStack, DoublesComposeAroundTheFastClock) {
    FastClockPlatform fast(DefaultPlatform(), 1000);
    BearerDouble bearer(fast);
    TraceRecorder top(bearer);
    Handle event = top.CreateEvent();
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(top.WaitOne(event, 60000), kWaitTimeout);  // one minute, fast
    EXPECT_LT(MsSince(start), 2000);
    top.Trace("Connecting to - {X}", false);
    EXPECT_TRUE(top.Contains("Connecting to"));

    ConnectionInfo info{};
    info.cbSize = sizeof(info);
    Handle connection = nullptr;
    ASSERT_EQ(top.CmEstablishConnection(info, &connection), 0);
    EXPECT_EQ(bearer.EstablishCount(), 1);
    EXPECT_EQ(top.WaitOne(connection, 0), kWaitObject0);
    top.CmReleaseConnection(connection, 0);
    top.CloseHandle(event);
}

}  // namespace
}  // namespace transport
