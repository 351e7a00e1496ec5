// The main loop on a scripted clock: command events, bearer status changes,
// the 30-second checks (response time-out, keep-alive, tick wrap) and the
// two control frames on the wire.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "client/MessageQueue.h"
#include "unit/ScriptedPlatform.h"

namespace {

using conntest::ScriptedPlatform;
using conntest::TestClient;

constexpr char kKeepAliveFrame[] = "<g44>12<p>Keep-Alive</p></g44>";

class MainThreadTest : public ::testing::Test {
protected:
    void SetUp() override { client.Prepare("10.0.0.1", "", "", "", 5, 700); }

    // Runs the loop; before its wait n the step for n runs, and once the
    // steps are done the exit event is set.
    void Run(std::map<int, std::function<void()>> steps) {
        int last = steps.empty() ? 0 : steps.rbegin()->first;
        int first = platform.mainWaits;
        platform.onMainWait = [&, first, last](int n) {
            auto it = steps.find(n - first);
            if (it != steps.end()) it->second();
            if (n - first >= last) platform.SetEvent(client.m_hMainEvents[3]);
            if (n - first > last + 20) {  // a loop that no longer serves its events
                ADD_FAILURE() << "main loop spins";
                client.m_bMainThreadExit = true;
            }
        };
        client.m_bMainThreadExit = false;
        TestClient::MainThread(&client);
    }

    // A live, logged-in connection.
    void Connected() {
        client.m_socket = platform.CreateSocket();
        client.m_bSocketConnected = true;
        client.SetState(CNetClient::CONN_CONNECTED);
        client.m_dwLastRecvTick = platform.clock;
        client.m_dwLastSendTick = platform.clock;
    }

    std::vector<std::string> Wire() const { return platform.wire; }

    ScriptedPlatform platform;
    TestClient client{platform};
};

TEST_F(MainThreadTest, CommandEventsAreResetAndServed) {
    Run({{0, [&] { platform.SetEvent(client.m_hMainEvents[1]); }},
         {1, [&] { platform.SetEvent(client.m_hMainEvents[0]); }},
         {2, [&] { platform.SetEvent(client.m_hMainEvents[5]); }},
         {3, [] {}}});

    for (int slot : {0, 1, 5}) EXPECT_FALSE(platform.Signalled(client.m_hMainEvents[slot]));
    EXPECT_EQ(platform.connects.size(), 1u);
    EXPECT_EQ(platform.requests.size(), 1u);
    // The close request cost one pass, not a spinning loop.
    EXPECT_EQ(platform.mainWaits, 4);
    EXPECT_EQ(platform.traces.back(), "Main Thread exited !");
}

TEST_F(MainThreadTest, FailedWaitsPauseInsteadOfSpinning) {
    platform.failNextWaits = 3;
    Run({{3, [] {}}});
    EXPECT_EQ(platform.sleeps, (std::vector<std::uint32_t>{100, 100, 100}));
}

TEST_F(MainThreadTest, DisconnectedBearerLeadsToANewBearer) {
    ASSERT_TRUE(client.AutoConnect());
    Connected();
    Run({{0, [&] { platform.SetBearerStatus(0x20); }}, {2, [] {}}});

    EXPECT_TRUE(platform.Traced("ConnMngrStatus: The connection has been disconnected."));
    EXPECT_TRUE(platform.Traced("Connection status changed: No connection!!! (Disconnected)"));
    EXPECT_EQ(client.State(), CNetClient::CONN_NOT_CONNECTED);
    EXPECT_EQ(platform.released.size(), 1u);
    EXPECT_EQ(platform.sleeps.at(0), 700u);  // the configured pause
    // The auto-connect event brought a second bearer request.
    EXPECT_EQ(platform.requests.size(), 2u);
    EXPECT_EQ(client.m_hMainEvents[4], client.m_hConnection);
}

TEST_F(MainThreadTest, BearerStatusFamilies) {
    ASSERT_TRUE(client.AutoConnect());
    Run({{0, [&] { platform.SetBearerStatus(0x41); }},
         {1, [&] { platform.SetBearerStatus(0x80); }},
         {2, [&] { platform.SetBearerStatus(0x24); }},
         {3, [] {}}});

    EXPECT_TRUE(platform.Traced("Connection status changed: Waiting for Connection"));
    EXPECT_TRUE(platform.Traced("ConnMngrStatus: The connection is being brought down."));
    EXPECT_TRUE(platform.Traced("Connection status changed: No connection!!!(Connection lost)"));
    EXPECT_EQ(platform.released.size(), 1u);  // only the lost connection reconnects
}

TEST_F(MainThreadTest, ClosedClientIgnoresBearerChanges) {
    ASSERT_TRUE(client.AutoConnect());
    client.m_bSocketConnected = true;
    client.SetState(CNetClient::CONN_CLOSED);
    Run({{0, [&] { platform.SetBearerStatus(0x10); }},
         {1, [&] { platform.SetBearerStatus(0x20); }},
         {2, [] {}}});

    EXPECT_EQ(client.State(), CNetClient::CONN_CLOSED);
    EXPECT_TRUE(platform.released.empty());
    EXPECT_TRUE(platform.connects.empty());
    EXPECT_TRUE(platform.wire.empty());
}

TEST_F(MainThreadTest, ConnectedBearerProbesCellularAndConnects) {
    ASSERT_TRUE(client.AutoConnect());
    platform.remote = {{"Cellular Line", transport::kRasConnected}};
    std::snprintf(client.m_clientParams.szBrowseUrl, 16, "10.9.9.9");
    Run({{0, [&] { platform.SetBearerStatus(0x10); }}, {1, [] {}}});

    EXPECT_TRUE(platform.Traced("Connection status changed: Connected!!!"));
    EXPECT_EQ(platform.probes.size(), 1u);
    EXPECT_EQ(platform.connects.size(), 1u);
    EXPECT_TRUE(client.m_bConnecting);  // set again by Connect

    platform.remote.clear();  // Wi-Fi: no probe
    Run({{0, [&] { platform.SetBearerStatus(0x10); }}, {1, [] {}}});
    EXPECT_EQ(platform.probes.size(), 1u);
    EXPECT_EQ(platform.connects.size(), 2u);
}

TEST_F(MainThreadTest, ReconfirmedBearerWakesTheSenderOncePerUnannouncedMessage) {
    ASSERT_TRUE(client.AutoConnect());
    Connected();
    client.SetState(CNetClient::CONN_SOCKET_CONNECTED);
    client.m_nConnType = CNetClient::CONNTYPE_HTTP;
    client.m_nReconCount = 3;
    // One wake-up is still unused; the count is read from the semaphore.
    client.m_hSendSemaphore = platform.CreateSemaphore(1, 65536);
    for (int i = 0; i < 3; ++i) {
        auto* message = new NetMessage;
        message->SetPriority(2);
        client.m_pOutputQueue->PushByPriority(message);
    }
    client.m_lPrevSendCount = 1;
    Run({{0, [&] { platform.SetBearerStatus(0x10); }}, {1, [] {}}});

    EXPECT_TRUE(platform.Traced("Message in Send queue =2"));
    EXPECT_EQ(platform.semaphoreReleases, 2);
    EXPECT_EQ(client.State(), CNetClient::CONN_CONNECTED);
    EXPECT_EQ(client.m_nConnType, CNetClient::CONNTYPE_HTTP);  // the line keeps its type
    EXPECT_EQ(client.GetReconCount(), 0);
    EXPECT_TRUE(Wire().empty());

    // Nothing waiting: a keep-alive re-confirms the connection instead.
    client.m_pOutputQueue->ClearPriorityLists();
    Run({{0, [&] { platform.SetBearerStatus(0x10); }}, {1, [] {}}});
    EXPECT_EQ(Wire(), std::vector<std::string>{kKeepAliveFrame});
}

TEST_F(MainThreadTest, IdleConnectionKeepAliveThenResponseTimeOutReconnects) {
    Connected();
    // Waits 0..3 time out, 30 s each: the keep-alive goes at 60 s of silence,
    // the unanswered keep-alive is noticed 60 s after it was sent.
    Run({{0, [] {}},
         {1, [&] { EXPECT_TRUE(Wire().empty()); }},
         {2, [&] { EXPECT_EQ(Wire().size(), 1u); }},
         {4, [] {}}});

    EXPECT_EQ(Wire(), std::vector<std::string>{kKeepAliveFrame});
    EXPECT_TRUE(client.m_bKeepAlivePending);
    EXPECT_EQ(platform.TraceCount("Response Time Out..."), 1);
    EXPECT_TRUE(platform.Traced("Socket shutdown"));
    EXPECT_EQ(client.State(), CNetClient::CONN_NOT_CONNECTED);
    // The socket-level reconnect asked for the next connect.
    EXPECT_EQ(platform.connects.size(), 1u);
}

TEST_F(MainThreadTest, AnsweredKeepAlivesFollowTheResponseTimeOut) {
    Connected();
    // An answer clears only the keep-alive flag; the send flag stays.
    auto answer = [&] {
        client.m_bKeepAlivePending = false;
        client.m_dwLastRecvTick = platform.clock;
    };
    Run({{2, answer}, {4, answer}, {5, [] {}}});

    EXPECT_EQ(Wire().size(), 2u);  // at 60 s, and at 120 s by the time-out check
    EXPECT_EQ(platform.TraceCount("Response Time Out..."), 1);
    EXPECT_EQ(client.State(), CNetClient::CONN_CONNECTED);
}

TEST_F(MainThreadTest, ResponseTimeOutAcrossTheTickWrap) {
    Connected();
    platform.clock = 0xFFFFFFFFu - 20000;
    client.m_dwLastSendTick = platform.clock;
    client.m_dwLastRecvTick = platform.clock;
    client.m_bSendPending = true;
    Run({{1, [&] { EXPECT_TRUE(Wire().empty()); }}, {2, [] {}}});
    EXPECT_LT(platform.clock, 60000u);  // wrapped
    EXPECT_EQ(platform.TraceCount("Response Time Out..."), 1);
    EXPECT_EQ(Wire(), std::vector<std::string>{kKeepAliveFrame});
}

TEST_F(MainThreadTest, ChecksPauseWhileConnectingAndPollTheBearer) {
    ASSERT_TRUE(client.AutoConnect());  // leaves the connecting flag set
    Run({{2, [] {}}});
    EXPECT_EQ(platform.statusQueries, 0);

    client.m_bConnecting = false;
    platform.bearerStatus = 0x22;  // lost, with no signal on the handle
    Run({{1, [] {}}});
    EXPECT_FALSE(platform.Traced("ConnMngrStatus: The user aborted the connection."));
    EXPECT_TRUE(platform.Traced("Connection status changed: No connection!!!(Connection lost)"));
    EXPECT_EQ(platform.released.size(), 1u);
    EXPECT_EQ(platform.sleeps.at(0), 500u);
}

TEST_F(MainThreadTest, ControlFramesOnTheWire) {
    Connected();
    platform.sendError = transport::kErrConnReset;
    client.SendKeepAlive();
    EXPECT_TRUE(client.m_bKeepAlivePending);  // even though the send failed
    EXPECT_TRUE(platform.Signalled(client.m_hMainEvents[2]));

    client.SendDisconnect();  // a failed disconnect waits the full 3 s
    EXPECT_EQ(platform.waitTimeouts.back(), 3000u);

    platform.sendError = 0;
    client.SendKeepAlive();
    client.SendDisconnect();
    EXPECT_EQ(Wire(), (std::vector<std::string>{kKeepAliveFrame, "<g44>0<p>0</p></g44>"}));
    EXPECT_TRUE(platform.Signalled(client.m_hDisconnectSentEvent));
}

TEST_F(MainThreadTest, AnswerArrivingDuringTheKeepAliveSendCounts) {
    Connected();
    // The receive path clears the flag as soon as the answer arrives, which
    // may be before the send call has returned.
    platform.onSend = [&] { client.m_bKeepAlivePending = false; };
    client.SendKeepAlive();
    EXPECT_FALSE(client.m_bKeepAlivePending);
}

}  // namespace
