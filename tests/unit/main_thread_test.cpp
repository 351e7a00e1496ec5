// The main loop on a scripted clock: command events, bearer status changes,
// the 30-second checks (response time-out, keep-alive, tick wrap) and the
// two control frames on the wire.

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "message/MessageQueue.h"
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

}  // namespace
