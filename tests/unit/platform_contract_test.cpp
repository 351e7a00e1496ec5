// The contract every Platform implementation passes: kernel objects, waits,
// threads, sockets on loopback, names. Another implementation adds its
// factory to INSTANTIATE_TEST_SUITE_P below. Socket peers are host sockets.

#include <gtest/gtest.h>
#include <transport/Platform.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
#include "platform/HostPlatform.h"
#else
#include "platform/posix/ErrorMap.h"
#include "platform/posix/PosixPlatform.h"
#include "support/TlsParts.h"
#endif
#include "support/HostSockets.h"

namespace transport {
namespace {

using test::kNoPeer;

constexpr long kAll = kFdRead | kFdConnect | kFdClose;

// The far end of a connection.
struct Peer {
    ~Peer() { Close(); }
    bool Send(const std::string& s) {
        return send(fd, s.data(), static_cast<int>(s.size()), MSG_NOSIGNAL) > 0;
    }
    void Close() { close(std::exchange(fd, kNoPeer)); }
    void Reset() {  // closes with a reset
        const linger abort{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
        Close();
    }
    test::PeerSocket fd = kNoPeer;
};

class PlatformContract : public ::testing::TestWithParam<std::unique_ptr<Platform> (*)()> {
protected:
    // The listener listens on an ephemeral port of 127.0.0.1.
    void SetUp() override {
        std::uint16_t port = 0;
        listener_.fd = test::BindLoopback("127.0.0.1", &port);
        ASSERT_NE(listener_.fd, kNoPeer);
        listen(listener_.fd, 8);
        address_ = SockAddrIn{kAfInet, htons(port), htonl(INADDR_LOOPBACK), {}};
    }
    ~PlatformContract() override {
        for (SocketHandle s : sockets_) p.CloseSocket(s);
        for (Handle h : owned_) p.CloseHandle(h);
    }
    Handle Own(Handle h) { return owned_.push_back(h), h; }
    Handle Event() { return Own(p.CreateEvent()); }
    std::uint32_t Since(std::uint32_t tick) { return p.GetTickCount() - tick; }
    // A socket whose connect has started, selected on event (when there is one).
    SocketHandle Start(Handle event) {
        sockets_.push_back(p.CreateSocket());
        EXPECT_TRUE(p.Connect(sockets_.back(), address_) == 0 ||
                    p.GetLastSocketError() == kErrWouldBlock);
        EXPECT_TRUE(event == nullptr || p.EventSelect(sockets_.back(), event, kAll) == 0);
        return sockets_.back();
    }
    // The next report once event fires; none when it does not.
    NetworkEvents Next(SocketHandle s, Handle event) {
        NetworkEvents e{};
        const bool fired = p.WaitOne(event, 5000) == kWaitObject0;
        EXPECT_TRUE(fired && p.EnumNetworkEvents(s, event, &e) == 0);
        return e;
    }
    void Accept(Peer* peer) {
        pollfd entry{listener_.fd, POLLIN, 0};
        if (poll(&entry, 1, 5000) == 1) peer->fd = accept(listener_.fd, nullptr, nullptr);
    }
    // A connected socket, its connect report taken.
    SocketHandle Connected(Handle event, Peer* peer) {
        const SocketHandle s = Start(event);
        EXPECT_EQ(Next(s, event).lNetworkEvents, kFdConnect);
        Accept(peer);
        return s;
    }
    // What a receive took; its result in code_.
    std::string Receive(SocketHandle s, std::uint32_t capacity, std::uint32_t ms = 2000) {
        char buffer[4096];
        std::uint32_t n = 99;
        code_ = p.Receive(s, buffer, capacity, ms, &n);
        return std::string(buffer, code_ == 0 ? n : 0);
    }

    // A receive waits at most its time, returns with data that comes while it
    // waits, and takes at most its capacity.
    void ExpectReceiveWaits(SocketHandle s, Peer& peer) {
        const std::uint32_t start = p.GetTickCount();
        EXPECT_EQ(Receive(s, 10, 150), "");
        EXPECT_EQ(code_, kErrIoIncomplete);
        EXPECT_GE(Since(start) + 16, 150u);
        auto late = std::async(std::launch::async,
                               [&] { return p.Sleep(50), peer.Send("0123456789abcdef"); });
        EXPECT_EQ(Receive(s, 10), "0123456789");
        EXPECT_EQ(Receive(s, 64), "abcdef");
    }

    std::unique_ptr<Platform> owner_ = GetParam()();
    Platform& p = *owner_;
    Peer listener_;
    SockAddrIn address_{};
    std::vector<Handle> owned_;
    std::vector<SocketHandle> sockets_;
    int code_ = -1;
};

// ---- Kernel objects and waits ----

TEST_P(PlatformContract, TimedWaitsReturnOnTimeAndASignalBeforeTheWaitIsNotLost) {
    const Handle event = Event();
    const std::pair<Handle, std::uint32_t> rows[] = {
        {event, 0}, {event, 120}, {Own(p.CreateSemaphore(0, 1)), 120}, {nullptr, 120}};
    for (const auto& [object, ms] : rows) {
        const std::uint32_t start = p.GetTickCount();
        EXPECT_EQ(object != nullptr ? p.WaitOne(object, ms) : (p.Sleep(ms), kWaitTimeout),
                  kWaitTimeout);
        EXPECT_GE(Since(start) + 16, ms);  // a coarse tick may lag by one step
        EXPECT_LT(Since(start), ms + 1000);
    }
    // Before the wait (set twice: still a success), and it stays until reset.
    ASSERT_TRUE(p.SetEvent(event) && p.SetEvent(event));
    EXPECT_EQ(p.WaitOne(event, 0), kWaitObject0);
    EXPECT_EQ(p.WaitOne(event, kInfinite), kWaitObject0);
    ASSERT_TRUE(p.ResetEvent(event));
    EXPECT_EQ(p.WaitOne(event, 0), kWaitTimeout);
}

TEST_P(PlatformContract, SemaphoreCountsReportsItsPreviousCountAndKeepsItsMaximum) {
    const Handle s = Own(p.CreateSemaphore(2, 6));
    // Release, accepted, the count before it (a refused release changes nothing).
    const long rows[][3] = {{0, false, -1}, {-1, false, -1}, {5, false, -1},
                            {1, true, 2},   {3, true, 3},    {1, false, -1}};
    for (const auto& [release, ok, before] : rows) {
        long previous = -1;
        EXPECT_EQ(p.ReleaseSemaphore(s, release, &previous), ok != 0) << release;
        EXPECT_EQ(previous, before) << release;
    }
    for (int i = 0; i < 6; ++i) EXPECT_EQ(p.WaitOne(s, 0), kWaitObject0);
    EXPECT_EQ(p.WaitOne(s, 0), kWaitTimeout);
    EXPECT_FALSE(p.ReleaseSemaphore(Event(), 1, nullptr));
    EXPECT_EQ(p.CreateSemaphore(2, 1), nullptr);
}

TEST_P(PlatformContract, WaitReportsTheLowestSignalledSlotAndTakesOnlyItsCount) {
    const Handle sem = Own(p.CreateSemaphore(1, 10));
    Handle slots[10] = {Event(), Event(), Event(), Event(), sem, Event(), sem, sem, sem, nullptr};
    p.SetEvent(slots[5]);
    p.SetEvent(slots[3]);
    EXPECT_EQ(p.Wait(slots, 6, 0), kWaitObject0 + 3);
    p.SetEvent(slots[1]);
    EXPECT_EQ(p.Wait(slots, 6, kInfinite), kWaitObject0 + 1);
    p.ResetEvent(slots[1]);
    p.ResetEvent(slots[3]);
    EXPECT_EQ(p.Wait(slots, 6, 0), kWaitObject0 + 4);  // the count was kept until now
    EXPECT_EQ(p.Wait(slots, 6, 0), kWaitObject0 + 5);
    p.ReleaseSemaphore(sem, 1, nullptr);
    EXPECT_EQ(p.Wait(slots + 6, 2, 0), kWaitObject0);  // listed twice, taken once
    EXPECT_EQ(p.Wait(slots + 6, 2, 0), kWaitTimeout);
    for (const auto& [handles, count] :
         {std::pair<Handle*, std::uint32_t>{nullptr, 1}, {slots, 0}, {slots, 9}, {slots + 8, 2}})
        EXPECT_EQ(p.Wait(handles, count, 0), kWaitFailed) << count;
    EXPECT_FALSE(p.SetEvent(sem));
}

// ---- Threads ----

struct Worker {
    Platform* p;
    Handle stop, work, done;
    std::atomic<bool> busy{true};
};

// Says it runs, spins while busy, then answers each work signal on done
// until stop.
unsigned long WorkLoop(void* arg) {
    auto* w = static_cast<Worker*>(arg);
    w->p->SetEvent(w->done);  // running
    while (w->busy.load()) std::this_thread::yield();
    const Handle events[2] = {w->stop, w->work};
    while (w->p->Wait(events, 2, kInfinite) == kWaitObject0 + 1 && w->p->ResetEvent(w->work)) {
        w->p->SetEvent(w->done);
    }
    return 0;
}

TEST_P(PlatformContract, SuspendParksAThreadAtItsWaitAndResumeLetsItGoOn) {
    Worker w{&p, Event(), Event(), Event()};
    const Handle thread = Own(p.CreateThread(&WorkLoop, &w, true));
    p.SetEvent(w.work);
    EXPECT_EQ(p.WaitOne(w.done, 150), kWaitTimeout);  // created suspended
    p.ResumeThread(thread);
    ASSERT_EQ(p.WaitOne(w.done, 10000), kWaitObject0);
    p.ResetEvent(w.done);
    // Busy, the thread is not at its wait yet: SuspendThread returns once it is.
    auto suspended = std::async(std::launch::async, [&] { p.SuspendThread(thread); });
    EXPECT_EQ(suspended.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
    w.busy = false;
    ASSERT_EQ(suspended.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(p.WaitOne(w.done, 150), kWaitTimeout);  // parked: the work waits
        p.ResumeThread(thread);
        ASSERT_EQ(p.WaitOne(w.done, 10000), kWaitObject0);
        p.ResetEvent(w.done);
        p.SuspendThread(thread);  // asleep in its wait this time
        p.SetEvent(w.work);
    }
    p.SetEvent(w.stop);
    p.ResumeThread(thread);
    EXPECT_EQ(p.WaitOne(thread, 10000), kWaitObject0);
}

// ---- Sockets ----

// The client's order: the waiting thread first, then connect and select.
// Connect is reported alone, before the data that came with it.
TEST_P(PlatformContract, ConnectDataAndCloseAreEachReportedOnceInOrder) {
    const Handle event = Event(), waiting = Event();
    auto waiter = std::async(std::launch::async,
                             [&] { return p.SetEvent(waiting), p.WaitOne(event, 10000); });
    ASSERT_EQ(p.WaitOne(waiting, 5000), kWaitObject0);
    p.Sleep(50);  // most likely inside its wait by now; the test holds either way
    const SocketHandle s = Start(event);
    EXPECT_EQ(waiter.get(), kWaitObject0);
    Peer peer;
    Accept(&peer);
    ASSERT_TRUE(peer.Send("hello"));
    NetworkEvents e = Next(s, event);
    EXPECT_EQ(e.lNetworkEvents, kFdConnect);
    // Data that a wait saw and a receive took is not reported again.
    ASSERT_EQ(p.WaitOne(event, 5000), kWaitObject0);
    EXPECT_EQ(Receive(s, 64), "hello");
    ASSERT_EQ(p.EnumNetworkEvents(s, event, &e), 0);
    EXPECT_EQ(e.lNetworkEvents, 0);
    p.ShutdownSend(s);  // the peer reads the end; this side still receives
    char byte = 0;
    EXPECT_EQ(recv(peer.fd, &byte, 1, 0), 0);

    // Data is read before the close, which is reported once.
    const std::string sent(6000, 'd');
    ASSERT_TRUE(peer.Send(sent));
    peer.Close();
    std::string received;
    for (int round = 0; round < 100 && (e.lNetworkEvents & kFdClose) == 0; ++round) {
        e = Next(s, event);
        ASSERT_NE(e.lNetworkEvents, 0) << "nothing after " << received.size() << " bytes";
        if ((e.lNetworkEvents & kFdRead) != 0) received += Receive(s, 2500);
        EXPECT_TRUE((e.lNetworkEvents & kFdClose) == 0 || received == sent) << "close first";
    }
    EXPECT_EQ(e.iErrorClose, 0);
    EXPECT_EQ(p.WaitOne(event, 300), kWaitTimeout);
}

// The network-event thread may enumerate the new socket before the selection
// (woken by the last one's event): the connect is still reported once selected.
TEST_P(PlatformContract, AnEnumerationBeforeTheSelectionTakesNothing) {
    const Handle event = Event();
    const SocketHandle s = Start(nullptr);
    Peer peer;
    Accept(&peer);
    ASSERT_TRUE(peer.Send("x"));
    NetworkEvents e{};
    p.Sleep(50);
    ASSERT_EQ(p.EnumNetworkEvents(s, event, &e), 0);
    EXPECT_EQ(e.lNetworkEvents, 0);
    ASSERT_EQ(p.EventSelect(s, event, kAll), 0);
    EXPECT_EQ(Next(s, event).lNetworkEvents, kFdConnect);
    EXPECT_EQ(Next(s, event).lNetworkEvents, kFdRead);
}

TEST_P(PlatformContract, RefusedConnectIsOneReportWithItsCodeThenSilence) {
    listener_.Close();  // its port now refuses
    const Handle event = Event();
    const SocketHandle s = Start(event);
    const NetworkEvents e = Next(s, event);
    EXPECT_EQ(e.lNetworkEvents, kFdConnect);
    EXPECT_EQ(e.iErrorConnect, kErrConnRefused);
    EXPECT_EQ(p.EventSelect(s, event, kAll), 0);  // selected again: still nothing
    EXPECT_EQ(p.WaitOne(event, 300), kWaitTimeout);
}

TEST_P(PlatformContract, SelectedForTheCloseAloneUnreadDataDoesNotHideIt) {
    // Wine signals no close while data waits unread (the client always selects reads too).
    if (test::UnderWine()) GTEST_SKIP() << "Wine reports a close only once the data before it is read";
    Peer peer;
    const Handle event = Event();
    const SocketHandle s = Connected(event, &peer);
    ASSERT_EQ(p.EventSelect(s, event, kFdClose), 0);
    ASSERT_TRUE(peer.Send("unread"));
    EXPECT_EQ(p.WaitOne(event, 200), kWaitTimeout);  // data is not what it waits for
    peer.Close();
    EXPECT_EQ(Next(s, event).lNetworkEvents, kFdClose);
}

TEST_P(PlatformContract, ResetByThePeerIsReportedAsAResetNotAsATimeOut) {
    Peer peer, other;
    const Handle event = Event();
    const SocketHandle s = Connected(event, &peer);
    const SocketHandle r = Connected(Event(), &other);
    peer.Reset();
    const NetworkEvents e = Next(s, event);
    EXPECT_EQ(e.lNetworkEvents, kFdClose);
    EXPECT_EQ(e.iErrorClose, kErrConnReset);

    other.Reset();  // met by a receive, then by a send that must not kill the process
    Receive(r, 64);
    EXPECT_EQ(code_, kErrConnReset);
    std::uint32_t sent = 0;
    EXPECT_EQ(p.Send(r, "x", 1, 2000, &sent), kErrConnReset);
}

TEST_P(PlatformContract, SendAndReceiveWaitAtMostTheirTimeAndReceiveAtMostItsCapacity) {
    Peer peer;
    const SocketHandle s = Connected(Event(), &peer);
    const std::string payload(32u << 20, 'x');  // far more than the buffers hold
    std::uint32_t sent = 0;
    std::uint32_t start = p.GetTickCount();
    EXPECT_EQ(p.Send(s, payload.data(), payload.size(), 200, &sent), kErrIoIncomplete);
    EXPECT_GE(Since(start) + 16, 200u);
    EXPECT_TRUE(sent > 0 && sent < payload.size()) << sent;
    ExpectReceiveWaits(s, peer);
    shutdown(peer.fd, SHUT_WR);
    EXPECT_EQ(Receive(s, 64), "");
    EXPECT_EQ(code_, 0);  // the peer closed
}

#ifndef _WIN32
// The same over TLS (stunnel4 in front of the listener): a send that must
// wait for room goes on once the reader reads.
TEST_P(PlatformContract, OverTlsSendAndReceiveWaitAsInClearText) {
    test::TlsTerminator tls(ntohs(address_.sin_port), "server");
    ASSERT_TRUE(tls.Ready());
    address_.sin_port = htons(tls.Port());
    const Handle event = Event();
    const SocketHandle s = Start(event);
    ASSERT_EQ(Next(s, event).lNetworkEvents, kFdConnect);
    TlsSettings settings;
    settings.serverName = "127.0.0.1";
    settings.caFile = test::Certificate("ca");
    std::string reason;
    ASSERT_EQ(p.StartTls(s, settings, &reason), 0) << reason;
    Peer peer;
    Accept(&peer);
    const std::string payload(32u << 20, 'x');
    auto reader = std::async(std::launch::async, [&] {
        p.Sleep(200);  // by then the writer waits
        std::size_t total = 0;
        std::vector<char> chunk(1 << 16);
        for (ssize_t n = 1; total < payload.size() && n > 0; total += n > 0 ? n : 0)
            n = recv(peer.fd, chunk.data(), chunk.size(), 0);
        return total;
    });
    std::uint32_t sent = 0;
    EXPECT_EQ(p.Send(s, payload.data(), payload.size(), 20000, &sent), 0);
    EXPECT_EQ(sent, payload.size());
    EXPECT_EQ(reader.get(), payload.size());
    Receive(s, 64, 0);  // takes the session tickets, records without data
    ExpectReceiveWaits(s, peer);
}
#endif

TEST_P(PlatformContract, CloseEndsAReceiveUnderWayOnAnotherThread) {
    Peer peer;
    const Handle started = Event();
    const SocketHandle s = Connected(Event(), &peer);
    // Ends with no bytes (the close), or refused once the close has begun.
    auto receiver = std::async(std::launch::async, [&] {
        return p.SetEvent(started), Receive(s, 16, 10000), code_ == 0 || code_ == kErrNotSocket;
    });
    ASSERT_EQ(p.WaitOne(started, 5000), kWaitObject0);
    p.Sleep(50);  // most likely inside the receive by now; the test holds either way
    p.CloseSocket(s);
    ASSERT_EQ(receiver.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(receiver.get());
}

TEST_P(PlatformContract, HandleUsedAfterCloseFailsWithNotSocketAndNeverReachesALaterSocket) {
    const Handle event = Event();
    const SocketHandle old = p.CreateSocket();
    p.CloseSocket(old);
    const SocketHandle s = Start(event);  // most likely the same descriptor
    std::uint32_t n = 0;
    char byte = 0;
    NetworkEvents e{};
    const int results[] = {p.Send(old, "x", 1, 100, &n), p.Receive(old, &byte, 1, 100, &n),
                           p.EventSelect(old, event, kAll), p.EnumNetworkEvents(old, event, &e),
                           p.Connect(old, address_)};
    for (const int result : results) EXPECT_TRUE(result == kErrNotSocket || result == kSocketError);
    EXPECT_EQ(p.GetLastSocketError(), kErrNotSocket);
    p.SetLastSocketError(0);
    p.CloseSocket(old);  // leaves the later socket alone
    EXPECT_EQ(p.GetLastSocketError(), kErrNotSocket);
    EXPECT_EQ(Next(s, event).lNetworkEvents, kFdConnect);
}

TEST_P(PlatformContract, ASocketSelectedOnAnotherEventReportsThereOnly) {
    Peer peer;
    const Handle first = Event(), second = Event();
    const SocketHandle s = Connected(first, &peer);
    ASSERT_EQ(p.EventSelect(s, second, kAll), 0);
    ASSERT_TRUE(peer.Send("x"));
    EXPECT_EQ(Next(s, second).lNetworkEvents, kFdRead);
    EXPECT_EQ(p.WaitOne(first, 100), kWaitTimeout);
    EXPECT_EQ(p.EventSelect(s, first, 0), 0);  // selected on nothing
    peer.Close();
    EXPECT_EQ(p.Wait(std::vector<Handle>{first, second}.data(), 2, 100), kWaitTimeout);
    EXPECT_EQ(p.SetSocketOption(s, kSoKeepAlive, 1), 0);
    EXPECT_EQ(p.SetSocketOption(s, 12345, 1), kSocketError);
}

// ---- The bearer ----

TEST_P(PlatformContract, BearerMapsEachUrlToItsOwnNetworkAndGrantsEachRequestOnce) {
    Guid a{}, b{}, again{};
    ASSERT_EQ(p.CmMapUrl("http://a/", &a), 0);
    p.CmMapUrl("http://b/", &b);
    p.CmMapUrl("http://a/", &again);
    EXPECT_EQ(std::memcmp(&a, &again, sizeof a), 0);
    EXPECT_NE(std::memcmp(&a, &b, sizeof a), 0);
    EXPECT_EQ(p.WaitOne(Own(p.CmApiReadyEvent()), 0), kWaitObject0);
    ConnectionInfo info{};
    Handle connection = nullptr;
    EXPECT_NE(p.CmEstablishConnection(info, &connection), 0);  // its size not set
    info.cbSize = sizeof info;
    ASSERT_EQ(p.CmEstablishConnection(info, &connection), 0);
    EXPECT_EQ(p.WaitOne(connection, 5000), kWaitObject0);  // the status is known
    std::uint32_t status = 0;
    EXPECT_EQ(p.CmConnectionStatus(connection, &status), 0);
    EXPECT_EQ(status, kCmStatusConnected);  // loopback is up
    EXPECT_EQ(p.CmReleaseConnection(connection, 0), 0);
    EXPECT_NE(p.CmReleaseConnection(connection, 0), 0);
    EXPECT_NE(p.CmConnectionStatus(connection, &status), 0);
}

// ---- Names and errors ----

TEST_P(PlatformContract, NamesResolveAndOnlyDottedAddressesParse) {
    HostEntry entry;
    ASSERT_TRUE(p.GetHostByName("localhost", &entry));
    EXPECT_EQ(entry.address, htonl(INADDR_LOOPBACK));
    EXPECT_FALSE(p.GetHostByName("", &entry));  // fails without asking a name server
    const int error = p.GetLastSocketError();
    EXPECT_TRUE(error >= kErrHostNotFound && error <= kErrNoData) << error;
    EXPECT_EQ(p.InetAddr("127.0.0.1"), entry.address);
    EXPECT_FALSE(entry.ipv6);  // IPv4 first, when a name has both
    HostEntry v6;
    ASSERT_TRUE(p.GetHostByName("::1", &v6));
    EXPECT_TRUE(v6.ipv6);
    EXPECT_EQ(std::vector<int>(v6.address6, v6.address6 + 16),
              std::vector<int>({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
    for (const char* text : {"localhost", "1.2.3", "256.1.1.1", "0x7f.0.0.1"})
        EXPECT_EQ(p.InetAddr(text), kInaddrNone);
}

// Connects complete on the listener's backlog, and nobody ever answers.
TEST_P(PlatformContract, AProbeReadsItsAnswerUpToTheLimitOrEndsAtItsTimeOut) {
    HttpProbeRequest request;
    request.host = "127.0.0.1";
    request.port = ntohs(address_.sin_port);
    request.sendTimeoutMs = 100;
    std::string body, step;
    int error = 0;
    const std::string answer((1u << 20) + 100, 'a');  // past the 1 MiB the probe keeps
    auto server = std::async(std::launch::async, [&] {
        Peer peer;
        Accept(&peer);
        std::string head;
        char chunk[512];
        for (int n = 1; n > 0 && head.find("\r\n\r\n") == std::string::npos;)
            if ((n = recv(peer.fd, chunk, sizeof(chunk), 0)) > 0) head.append(chunk, n);
        peer.Send("HTTP/1.0 200 OK\r\n\r\n" + answer);
    });
    EXPECT_TRUE(p.HttpGet(request, &body, &error, &step)) << step << " " << error;
    server.get();
    EXPECT_EQ(body, answer.substr(0, 1u << 20));

    const std::uint32_t start = p.GetTickCount();  // nobody accepts this one
    EXPECT_FALSE(p.HttpGet(request, &body, &error, &step));
    EXPECT_LT(Since(start), 5000u);
    EXPECT_EQ(error, 12002);  // timed out
}

#ifdef _WIN32
std::unique_ptr<Platform> MakeWin32() { return std::unique_ptr<Platform>(NewHostPlatform()); }
INSTANTIATE_TEST_SUITE_P(Win32, PlatformContract, ::testing::Values(&MakeWin32));
#else
std::unique_ptr<Platform> MakePosix() { return std::make_unique<posix::PosixPlatform>(); }
INSTANTIATE_TEST_SUITE_P(Posix, PlatformContract, ::testing::Values(&MakePosix));

// The error texts the client shows depend on these codes.
TEST(PosixErrorMap, HostErrorsMapToTheSocketNumbering) {
    const int rows[][2] = {{ECONNREFUSED, kErrConnRefused}, {ETIMEDOUT, kErrTimedOut},
                           {ECONNRESET, kErrConnReset},     {EPIPE, kErrConnReset},
                           {ENETUNREACH, kErrNetUnreach},   {EHOSTUNREACH, kErrHostUnreach}};
    for (const auto& row : rows) EXPECT_EQ(posix::SocketErrorFromErrno(row[0]), row[1]) << row[0];
    EXPECT_GT(posix::SocketErrorFromErrno(ENOENT), kErrNoData);  // outside every known text
}
#endif

}  // namespace
}  // namespace transport
