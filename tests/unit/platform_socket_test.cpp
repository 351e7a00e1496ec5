// Contract of the platform's sockets: connect, event selection and
// enumeration, bounded sends and receives, name lookup and addresses, against
// real loopback connections.

#include <gtest/gtest.h>
#include <transport/Platform.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <future>
#include <string>
#include <thread>

#include "platform/posix/ErrorMap.h"
#include "support/LoopbackPeer.h"

namespace transport {
namespace {

using test::LoopbackListener;
using test::LoopbackPeer;
using Clock = std::chrono::steady_clock;

constexpr long kSelectAll = kFdRead | kFdConnect | kFdClose;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// CPU time of the process in milliseconds: a wait that spins shows up here.
double CpuMs() { return 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        event_ = platform_.CreateEvent();
        ASSERT_NE(event_, nullptr);
        ASSERT_NE(listener_.port(), 0);
    }
    void TearDown() override {
        if (socket_ != kInvalidSocket) platform_.CloseSocket(socket_);
        platform_.CloseHandle(event_);
    }

    // Starts a connect and selects all events on event_.
    void StartConnect(const SockAddrIn& address) {
        socket_ = platform_.CreateSocket();
        ASSERT_NE(socket_, kInvalidSocket);
        if (platform_.Connect(socket_, address) == kSocketError) {
            ASSERT_EQ(platform_.GetLastSocketError(), kErrWouldBlock);
        }
        ASSERT_EQ(platform_.EventSelect(socket_, event_, kSelectAll), 0);
    }

    // The next enumeration after the event fires; nothing when it does not.
    NetworkEvents Next(std::uint32_t timeoutMs = 5000) {
        NetworkEvents events{};
        if (platform_.WaitOne(event_, timeoutMs) != kWaitObject0) return events;
        EXPECT_EQ(platform_.EnumNetworkEvents(socket_, event_, &events), 0);
        return events;
    }

    // Connects to the listener and takes the FD_CONNECT.
    std::unique_ptr<LoopbackPeer> Connected() {
        StartConnect(listener_.Address());
        NetworkEvents events = Next();
        EXPECT_EQ(events.lNetworkEvents, kFdConnect);
        EXPECT_EQ(events.iErrorConnect, 0);
        std::unique_ptr<LoopbackPeer> peer = listener_.Accept(5000);
        EXPECT_NE(peer, nullptr);
        return peer;
    }

    Platform& platform_ = DefaultPlatform();
    LoopbackListener listener_;
    Handle event_ = nullptr;
    SocketHandle socket_ = kInvalidSocket;
};

// ---- Connect ----

TEST_F(SocketTest, ConnectCompletesAsOneFdConnectAndNothingElse) {
    std::unique_ptr<LoopbackPeer> peer = Connected();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(platform_.WaitOne(event_, 150), kWaitTimeout);
}

TEST_F(SocketTest, ConnectIsReportedBeforeDataThatCameWithIt) {
    StartConnect(listener_.Address());
    std::unique_ptr<LoopbackPeer> peer = listener_.Accept(5000);
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(peer->SendAll("hello"));

    NetworkEvents first = Next();
    EXPECT_EQ(first.lNetworkEvents, kFdConnect);
    NetworkEvents second = Next();
    EXPECT_EQ(second.lNetworkEvents, kFdRead);
    char buffer[16] = {};
    std::uint32_t received = 0;
    ASSERT_EQ(platform_.Receive(socket_, buffer, sizeof(buffer), 2000, &received), 0);
    EXPECT_EQ(std::string(buffer, received), "hello");
}

TEST_F(SocketTest, RefusedConnectIsOneFdConnectWithItsCodeAndThenSilence) {
    StartConnect(test::RefusingAddress());
    NetworkEvents events = Next();
    EXPECT_EQ(events.lNetworkEvents, kFdConnect);
    EXPECT_EQ(events.iErrorConnect, kErrConnRefused);

    const double cpu = CpuMs();
    EXPECT_EQ(platform_.WaitOne(event_, 300), kWaitTimeout);
    EXPECT_LT(CpuMs() - cpu, 150.0);
}

TEST_F(SocketTest, SelectionMadeWhileAnotherThreadWaitsReachesThatThread) {
    Handle kill = platform_.CreateEvent();
    Handle waiting = platform_.CreateEvent();
    auto waiter = std::async(std::launch::async, [&] {
        Handle events[2] = {event_, kill};
        platform_.SetEvent(waiting);
        return platform_.Wait(events, 2, 10000);
    });
    ASSERT_EQ(platform_.WaitOne(waiting, 5000), kWaitObject0);
    // The order the client uses: the waiting thread first, then connect, then select.
    StartConnect(listener_.Address());
    EXPECT_EQ(waiter.get(), kWaitObject0);
    NetworkEvents events{};
    ASSERT_EQ(platform_.EnumNetworkEvents(socket_, event_, &events), 0);
    EXPECT_EQ(events.lNetworkEvents, kFdConnect);
    platform_.CloseHandle(waiting);
    platform_.CloseHandle(kill);
}

TEST_F(SocketTest, SelectedSocketWithoutConnectIsNotPolled) {
    socket_ = platform_.CreateSocket();
    ASSERT_EQ(platform_.EventSelect(socket_, event_, kSelectAll), 0);
    const double cpu = CpuMs();
    EXPECT_EQ(platform_.WaitOne(event_, 300), kWaitTimeout);
    EXPECT_LT(CpuMs() - cpu, 150.0);
    // Connecting afterwards is still reported.
    if (platform_.Connect(socket_, listener_.Address()) == kSocketError) {
        ASSERT_EQ(platform_.GetLastSocketError(), kErrWouldBlock);
    }
    EXPECT_EQ(Next().lNetworkEvents, kFdConnect);
}

TEST_F(SocketTest, ConnectRejectsAnotherAddressFamily) {
    socket_ = platform_.CreateSocket();
    SockAddrIn address = listener_.Address();
    address.sin_family = 23;
    EXPECT_EQ(platform_.Connect(socket_, address), kSocketError);
    EXPECT_EQ(platform_.GetLastSocketError(), kErrAfNoSupport);
}

// ---- Data and close ----

TEST_F(SocketTest, DataIsReadBeforeTheCloseWhichIsReportedOnce) {
    std::unique_ptr<LoopbackPeer> peer = Connected();
    ASSERT_NE(peer, nullptr);
    const std::string sent(6000, 'd');
    ASSERT_TRUE(peer->SendAll(sent));
    peer->Close();

    std::string received;
    int closes = 0;
    int readsAfterClose = 0;
    for (int round = 0; round < 100 && closes == 0; ++round) {
        NetworkEvents events = Next();
        ASSERT_NE(events.lNetworkEvents, 0) << "no event after " << received.size() << " bytes";
        if ((events.lNetworkEvents & kFdRead) != 0) {
            if (closes > 0) ++readsAfterClose;
            char buffer[2500];
            std::uint32_t count = 0;
            ASSERT_EQ(platform_.Receive(socket_, buffer, sizeof(buffer), 2000, &count), 0);
            received.append(buffer, count);
        }
        if ((events.lNetworkEvents & kFdClose) != 0) {
            ++closes;
            EXPECT_EQ(events.iErrorClose, 0);
            EXPECT_EQ(received.size(), sent.size()) << "the close came before the data";
        }
    }
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(readsAfterClose, 0);
    EXPECT_EQ(received, sent);

    // The closed socket no longer wakes the event, and the wait does not spin.
    const double cpu = CpuMs();
    EXPECT_EQ(platform_.WaitOne(event_, 300), kWaitTimeout);
    EXPECT_LT(CpuMs() - cpu, 150.0);
    NetworkEvents none{};
    ASSERT_EQ(platform_.EnumNetworkEvents(socket_, event_, &none), 0);
    EXPECT_EQ(none.lNetworkEvents, 0);
}

TEST_F(SocketTest, ResetByThePeerIsACloseWithTheResetCode) {
    std::unique_ptr<LoopbackPeer> peer = Connected();
    ASSERT_NE(peer, nullptr);
    peer->Reset();
    NetworkEvents events = Next();
    EXPECT_EQ(events.lNetworkEvents, kFdClose);
    EXPECT_EQ(events.iErrorClose, kErrConnReset);
    EXPECT_EQ(platform_.WaitOne(event_, 200), kWaitTimeout);
}

TEST_F(SocketTest, SendToAClosedPeerFailsWithoutKillingTheProcess) {
    std::unique_ptr<LoopbackPeer> peer = Connected();
    ASSERT_NE(peer, nullptr);
    peer->Close();
    const std::string chunk(1000, 's');
    int code = 0;
    // The first sends may still be accepted; the peer's reset fails a later one.
    for (int i = 0; i < 200 && code == 0; ++i) {
        std::uint32_t sent = 0;
        code = platform_.Send(socket_, chunk.data(), chunk.size(), 2000, &sent);
        if (code == 0) {
            EXPECT_EQ(sent, chunk.size());
            platform_.Sleep(5);
        }
    }
    EXPECT_TRUE(code == kErrConnReset || code == kErrConnAborted || code == kErrShutdown) << code;
    EXPECT_EQ(platform_.GetLastSocketError(), code);
}

TEST_F(SocketTest, SendThatCannotFinishInTimeReportsIoIncomplete) {
    std::unique_ptr<LoopbackPeer> peer = Connected();
    ASSERT_NE(peer, nullptr);
    peer->SetReceiveBuffer(4096);
    const std::string payload(64u << 20, 'x');  // far more than the buffers hold
    std::uint32_t sent = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(platform_.Send(socket_, payload.data(), payload.size(), 200, &sent),
              kErrIoIncomplete);
    EXPECT_GE(MsSince(start), 190);
    EXPECT_LT(MsSince(start), 5000);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, payload.size());
    EXPECT_EQ(platform_.GetLastSocketError(), kErrIoIncomplete);
}

TEST_F(SocketTest, ReceiveTakesAtMostItsCapacityAndWaitsAtMostItsTime) {
    std::unique_ptr<LoopbackPeer> peer = Connected();
    ASSERT_NE(peer, nullptr);

    char buffer[64] = {};
    std::uint32_t received = 7;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(platform_.Receive(socket_, buffer, 10, 150, &received), kErrIoIncomplete);
    EXPECT_EQ(received, 0u);
    EXPECT_GE(MsSince(start), 140);
    EXPECT_LT(MsSince(start), 2000);

    ASSERT_TRUE(peer->SendAll("0123456789abcdefghijklmno"));
    ASSERT_EQ(platform_.Receive(socket_, buffer, 10, 2000, &received), 0);
    EXPECT_EQ(std::string(buffer, received), "0123456789");
    ASSERT_EQ(platform_.Receive(socket_, buffer, sizeof(buffer), 2000, &received), 0);
    EXPECT_EQ(std::string(buffer, received), "abcdefghijklmno");

    EXPECT_EQ(platform_.Receive(socket_, buffer, 0, 100, &received), kErrInvalid);

    // A receive that is waiting when the data comes returns it at once.
    auto late = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return peer->SendAll("late");
    });
    start = Clock::now();
    ASSERT_EQ(platform_.Receive(socket_, buffer, sizeof(buffer), 5000, &received), 0);
    EXPECT_EQ(std::string(buffer, received), "late");
    EXPECT_LT(MsSince(start), 4000);
    EXPECT_TRUE(late.get());

    peer->Close();
    ASSERT_EQ(platform_.Receive(socket_, buffer, sizeof(buffer), 2000, &received), 0);
    EXPECT_EQ(received, 0u);  // the peer closed
}

// ---- Closing ----

TEST_F(SocketTest, ClosedSocketIsNoLongerPolledByAThreadWaitingOnItsEvent) {
    std::unique_ptr<LoopbackPeer> peer = Connected();
    ASSERT_NE(peer, nullptr);
    Handle kill = platform_.CreateEvent();
    Handle waiting = platform_.CreateEvent();
    auto waiter = std::async(std::launch::async, [&] {
        Handle events[2] = {event_, kill};
        platform_.SetEvent(waiting);
        return platform_.Wait(events, 2, 10000);
    });
    ASSERT_EQ(platform_.WaitOne(waiting, 5000), kWaitObject0);
    platform_.CloseSocket(socket_);
    socket_ = kInvalidSocket;
    // The peer's close of a socket we closed is nobody's event now.
    peer->Close();
    const double cpu = CpuMs();
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    EXPECT_LT(CpuMs() - cpu, 150.0);
    platform_.SetEvent(kill);
    EXPECT_EQ(waiter.get(), kWaitObject0 + 1);
    platform_.CloseHandle(waiting);
    platform_.CloseHandle(kill);
}

TEST_F(SocketTest, HandleOfAClosedSocketNeverReachesALaterOne) {
    SocketHandle old = platform_.CreateSocket();
    platform_.CloseSocket(old);
    socket_ = platform_.CreateSocket();  // most likely the same descriptor
    ASSERT_NE(socket_, old);

    std::uint32_t sent = 0;
    EXPECT_EQ(platform_.Send(old, "x", 1, 100, &sent), kErrNotSocket);
    EXPECT_EQ(platform_.EventSelect(old, event_, kSelectAll), kSocketError);
    EXPECT_EQ(platform_.GetLastSocketError(), kErrNotSocket);
    platform_.CloseSocket(old);  // does not close the new socket

    if (platform_.Connect(socket_, listener_.Address()) == kSocketError) {
        ASSERT_EQ(platform_.GetLastSocketError(), kErrWouldBlock);
    }
    ASSERT_EQ(platform_.EventSelect(socket_, event_, kSelectAll), 0);
    EXPECT_EQ(Next().lNetworkEvents, kFdConnect);
}

TEST_F(SocketTest, CloseEndsAReceiveUnderWayOnAnotherThread) {
    std::unique_ptr<LoopbackPeer> peer = Connected();
    ASSERT_NE(peer, nullptr);
    Handle started = platform_.CreateEvent();
    auto receiver = std::async(std::launch::async, [&] {
        char buffer[16];
        std::uint32_t received = 0;
        platform_.SetEvent(started);
        const Clock::time_point start = Clock::now();
        const int code = platform_.Receive(socket_, buffer, sizeof(buffer), 10000, &received);
        return std::make_pair(code == 0 ? static_cast<int>(received) : code, MsSince(start));
    });
    ASSERT_EQ(platform_.WaitOne(started, 5000), kWaitObject0);
    platform_.CloseSocket(socket_);
    // Either ended by the close (no bytes) or refused after it; never the full wait.
    const std::pair<int, long long> result = receiver.get();
    EXPECT_TRUE(result.first == 0 || result.first == kErrNotSocket) << result.first;
    EXPECT_LT(result.second, 5000);
    socket_ = kInvalidSocket;
    platform_.CloseHandle(started);
}

TEST_F(SocketTest, SocketsMadeElsewhereCanBeSelectedEvenWhenTheirNumberComesBack) {
    for (int round = 0; round < 2; ++round) {
        std::unique_ptr<LoopbackPeer> peer = Connected();
        ASSERT_NE(peer, nullptr);
        const SocketHandle foreign = peer->fd();
        Handle event = platform_.CreateEvent();
        ASSERT_EQ(platform_.EventSelect(foreign, event, kSelectAll), 0);
        std::uint32_t sent = 0;
        ASSERT_EQ(platform_.Send(socket_, "ping", 4, 2000, &sent), 0);
        ASSERT_EQ(platform_.WaitOne(event, 5000), kWaitObject0) << "round " << round;
        NetworkEvents events{};
        ASSERT_EQ(platform_.EnumNetworkEvents(foreign, event, &events), 0);
        EXPECT_EQ(events.lNetworkEvents, kFdRead);
        char buffer[8];
        ASSERT_EQ(platform_.Receive(foreign, buffer, sizeof(buffer), 2000, &sent), 0);
        EXPECT_EQ(sent, 4u);
        platform_.CloseSocket(socket_);
        socket_ = kInvalidSocket;
        ASSERT_EQ(platform_.WaitOne(event, 5000), kWaitObject0);
        ASSERT_EQ(platform_.EnumNetworkEvents(foreign, event, &events), 0);
        EXPECT_EQ(events.lNetworkEvents, kFdClose);
        // Closed by its owner, not through the platform: the next accepted
        // socket may get the same number and must not inherit its closed state.
        platform_.EventSelect(foreign, nullptr, 0);
        peer.reset();
        platform_.CloseHandle(event);
    }
}

TEST_F(SocketTest, OperationsOnSomethingThatIsNoSocketFail) {
    NetworkEvents events{};
    EXPECT_EQ(platform_.EnumNetworkEvents(kInvalidSocket, nullptr, &events), kSocketError);
    EXPECT_EQ(platform_.GetLastSocketError(), kErrNotSocket);
    EXPECT_EQ(platform_.EventSelect(kInvalidSocket, event_, kSelectAll), kSocketError);
    EXPECT_EQ(platform_.GetLastSocketError(), kErrNotSocket);

    socket_ = platform_.CreateSocket();
    EXPECT_EQ(platform_.EventSelect(socket_, nullptr, kSelectAll), kSocketError);
    EXPECT_EQ(platform_.GetLastSocketError(), kErrInvalid);
    EXPECT_EQ(platform_.SetSocketOption(socket_, kSoReuseAddr, 0), 0);
    EXPECT_EQ(platform_.SetSocketOption(socket_, kSoKeepAlive, 1), 0);
    EXPECT_EQ(platform_.SetSocketOption(socket_, 0x7777, 1), kSocketError);
}

// ---- Names, addresses and errors ----

TEST(SocketNames, DottedAddressesOnly) {
    Platform& platform = DefaultPlatform();
    const std::uint32_t loopback = platform.InetAddr("127.0.0.1");
    const auto* bytes = reinterpret_cast<const unsigned char*>(&loopback);
    EXPECT_EQ(bytes[0], 127);
    EXPECT_EQ(bytes[1], 0);
    EXPECT_EQ(bytes[2], 0);
    EXPECT_EQ(bytes[3], 1);
    EXPECT_NE(platform.InetAddr("10.0.0.1"), kInaddrNone);
    for (const char* text : {"", "localhost", "1.2.3", "256.1.1.1", "1.2.3.4.5", " 1.2.3.4",
                             "1.2.3.4 ", "0x7f.0.0.1", "255.255.255.255"}) {
        EXPECT_EQ(platform.InetAddr(text), kInaddrNone) << text;
    }
    EXPECT_EQ(platform.InetAddr(nullptr), kInaddrNone);
}

TEST(SocketNames, LookupGivesTheAddressOrAHostError) {
    Platform& platform = DefaultPlatform();
    HostEntry entry;
    ASSERT_TRUE(platform.GetHostByName("localhost", &entry));
    EXPECT_EQ(entry.address, platform.InetAddr("127.0.0.1"));
    EXPECT_FALSE(entry.officialName.empty());

    EXPECT_FALSE(platform.GetHostByName("no-such-host.invalid", &entry));
    const int error = platform.GetLastSocketError();
    EXPECT_GE(error, kErrHostNotFound);
    EXPECT_LE(error, kErrNoData);
}

TEST(SocketNames, LastErrorBelongsToTheCallingThread) {
    Platform& platform = DefaultPlatform();
    platform.SetLastSocketError(kErrTimedOut);
    std::thread other([&] {
        EXPECT_EQ(platform.GetLastSocketError(), 0);
        platform.SetLastSocketError(kErrConnReset);
    });
    other.join();
    EXPECT_EQ(platform.GetLastSocketError(), kErrTimedOut);
    EXPECT_EQ(platform.SocketStartup(), 0);
    platform.SocketCleanup();
}

TEST(SocketErrors, HostErrorsMapToTheSocketNumbering) {
    const int rows[][2] = {{ECONNREFUSED, kErrConnRefused}, {ETIMEDOUT, kErrTimedOut},
                           {ECONNRESET, kErrConnReset},     {EPIPE, kErrConnReset},
                           {ENETUNREACH, kErrNetUnreach},   {EHOSTUNREACH, kErrHostUnreach},
                           {EAGAIN, kErrWouldBlock},        {EMFILE, kErrTooManyFiles}};
    for (const auto& row : rows) EXPECT_EQ(posix::SocketErrorFromErrno(row[0]), row[1]) << row[0];
    // Unknown host errors stay outside every code the error texts know.
    EXPECT_GT(posix::SocketErrorFromErrno(ENOENT), kErrNoData);
}

}  // namespace
}  // namespace transport
