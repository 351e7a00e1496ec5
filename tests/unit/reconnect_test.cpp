// The reconnection policy end to end on the main loop: the walk over host
// entries and connection types, the cycle count, the limit and its single
// error package, and the bearer reconnect.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/BearerDouble.h"
#include "support/FastClockPlatform.h"
#include "support/PortMapPlatform.h"
#include "support/TraceRecorder.h"
#include "unit/ScriptedPlatform.h"

namespace {

using conntest::HandlerLog;
using conntest::ScriptedPlatform;
using conntest::TestClient;

class ReconnectTest : public ::testing::Test {
protected:
    void SetUp() override {
        HandlerLog::Calls().clear();
        client.SetNetHandler(&HandlerLog::Record);
    }

    // Runs the main loop from a connect request; every connect it issues fails
    // with `error` (as the network-event thread would report it) until
    // `maxConnects` were made or nothing is left to do.
    void RunWalk(int error, std::size_t maxConnects) {
        std::size_t failed = 0;
        int idle = 0;
        platform.onMainWait = [&](int) {
            if (platform.connects.size() > failed) {
                failed = platform.connects.size();
                if (failed < maxConnects) client.GetSockError(true, error);
            }
            if (platform.connects.size() >= maxConnects || ++idle > 40) {
                platform.SetEvent(client.m_hMainEvents[3]);
            }
        };
        platform.SetEvent(client.m_hMainEvents[0]);
        TestClient::MainThread(&client);
    }

    std::vector<std::string> ConnectTraces() const {
        std::vector<std::string> lines;
        for (const std::string& line : platform.traces) {
            if (line.rfind("Connecting to HOST:", 0) == 0) lines.push_back(line);
        }
        return lines;
    }

    int Count(std::uint32_t sleep) const {
        return static_cast<int>(std::count(platform.sleeps.begin(), platform.sleeps.end(), sleep));
    }

    ScriptedPlatform platform;
    TestClient client{platform};
};

TEST_F(ReconnectTest, WalksTypesThenHostsSkippingEmptyEntriesAndCountsTheWrap) {
    client.Prepare("10.0.0.1", "", "10.0.0.3", "", 5, 700);
    RunWalk(transport::kErrConnRefused, 7);

    const std::vector<std::string> expected = {
        "Connecting to HOST: 10.0.0.1 PORT: 800 conntype=0....",
        "Connecting to HOST: 10.0.0.1 PORT: 80 conntype=1....",
        "Connecting to HOST: 10.0.0.1 PORT: 800 conntype=2....",
        "Connecting to HOST: 10.0.0.3 PORT: 800 conntype=0....",
        "Connecting to HOST: 10.0.0.3 PORT: 80 conntype=1....",
        "Connecting to HOST: 10.0.0.3 PORT: 800 conntype=2....",
        "Connecting to HOST: 10.0.0.1 PORT: 800 conntype=0....",
    };
    EXPECT_EQ(ConnectTraces(), expected);
    EXPECT_EQ(platform.connects[1].port, 80);
    EXPECT_EQ(platform.connects[3].address, platform.InetAddr("10.0.0.3"));
    // Entries 2 and 4 are passed over, one loop pass each.
    EXPECT_EQ(platform.TraceCount("GetNextHostName() return NULL"), 2);
    // One wrap: one cycle and one pause of the configured length.
    EXPECT_EQ(client.GetReconCount(), 1);
    EXPECT_EQ(Count(700), 1);
    EXPECT_EQ(Count(500), 6);
    // Every failed attempt's socket was closed by the next one.
    EXPECT_EQ(platform.openSockets.size(), 1u);
    EXPECT_TRUE(HandlerLog::Calls().empty());
}

TEST_F(ReconnectTest, TimeOutSkipsTheRemainingTypesOfAHost) {
    client.Prepare("10.0.0.1", "10.0.0.2", "", "", 5, 700);
    RunWalk(transport::kErrTimedOut, 3);

    const std::vector<std::string> expected = {
        "Connecting to HOST: 10.0.0.1 PORT: 800 conntype=0....",
        "Connecting to HOST: 10.0.0.2 PORT: 800 conntype=0....",
        "Connecting to HOST: 10.0.0.1 PORT: 800 conntype=0....",
    };
    EXPECT_EQ(ConnectTraces(), expected);
    EXPECT_EQ(platform.TraceCount("WSAETIMEDOUT: Connection timed out."), 2);
    EXPECT_EQ(platform.TraceCount("GetNextHostName() return NULL"), 2);
}

TEST_F(ReconnectTest, LearnedTypeKeepsHostAndReportsTheLimitOnce) {
    client.Prepare("10.0.0.1", "10.0.0.2", "", "", 2, 700);
    client.m_nLastConnType = 1;
    client.m_nConnType = 1;
    RunWalk(transport::kErrConnReset, 100);

    // The first attempt and two cycles, all on the type that worked.
    ASSERT_EQ(platform.connects.size(), 3u);
    for (const auto& connect : platform.connects) {
        EXPECT_EQ(connect.address, platform.InetAddr("10.0.0.1"));
        EXPECT_EQ(connect.port, 80);
    }
    EXPECT_EQ(
        platform.TraceCount("ReconCount=MAXRECONCOUNT Set to Application Connection Refused ..."),
        1);
    ASSERT_EQ(HandlerLog::Calls().size(), 1u);
    EXPECT_EQ(HandlerLog::Calls()[0],
              std::make_pair(static_cast<int>(NetPackage::KIND_ERROR), 11u));
    EXPECT_EQ(client.GetReconCount(), 2);
    EXPECT_EQ(client.State(), CNetClient::CONN_NOT_CONNECTED);
}

TEST_F(ReconnectTest, LimitOfZeroRefusesAtOnceOnEitherKind) {
    client.Prepare("10.0.0.1", "", "", "", 0);
    client.ReConnect(500, true);
    client.ReConnect(500, false);

    EXPECT_EQ(HandlerLog::Calls().size(), 2u);
    EXPECT_TRUE(platform.sleeps.empty());
    EXPECT_TRUE(platform.released.empty());
    for (int slot : {0, 2, 5}) EXPECT_FALSE(platform.Signalled(client.m_hMainEvents[slot]));
    EXPECT_TRUE(platform.Traced("Reconnecting... Reconnect Count=0, Attempt Count=0"));
}

TEST_F(ReconnectTest, BearerReconnectReleasesAndAsksForANewBearer) {
    client.Prepare("10.0.0.1", "", "", "", 5, 700);
    ASSERT_TRUE(client.AutoConnect());
    transport::Handle connection = client.m_hConnection;

    client.ReConnect(1234, false);

    EXPECT_EQ(platform.released, std::vector<transport::Handle>{connection});
    EXPECT_EQ(client.m_hConnection, nullptr);
    // Slot 4 holds a handle that stays valid: the connect event.
    EXPECT_EQ(client.m_hMainEvents[4], client.m_hMainEvents[0]);
    EXPECT_EQ(platform.sleeps, std::vector<std::uint32_t>{1234});
    EXPECT_EQ(client.GetReconCount(), 1);
    EXPECT_TRUE(platform.Signalled(client.m_hMainEvents[5]));
}

TEST_F(ReconnectTest, DoesNothingWhenClosedOrAlreadyConnecting) {
    client.Prepare("10.0.0.1", "10.0.0.2", "", "");
    client.SetState(CNetClient::CONN_CLOSED);
    client.ReConnect(500, true);
    client.ReConnect(500, false);
    EXPECT_EQ(platform.traces.size(), 1u);  // the constructor's version line

    client.SetState(CNetClient::CONN_NOT_CONNECTED);
    client.m_bConnecting = true;
    client.ReConnect(500, true);
    EXPECT_EQ(client.m_nAttemptCount, 0);
    EXPECT_FALSE(platform.Signalled(client.m_hMainEvents[0]));
}

TEST_F(ReconnectTest, SocketLevelReconnectShutsALiveSocketDown) {
    client.Prepare("10.0.0.1", "", "", "");
    client.m_socket = platform.CreateSocket();
    client.m_bSocketConnected = true;
    client.m_bTunnelOpen = true;
    client.SetState(CNetClient::CONN_CONNECTED);

    client.ReConnect(500, true);

    EXPECT_TRUE(platform.openSockets.empty());
    EXPECT_EQ(client.m_socket, transport::kInvalidSocket);
    EXPECT_FALSE(client.m_bTunnelOpen);
    EXPECT_TRUE(platform.Traced("Socket shutdown"));
    EXPECT_EQ(client.State(), CNetClient::CONN_NOT_CONNECTED);
    EXPECT_EQ(client.m_nConnType, CNetClient::CONNTYPE_TUNNEL);
    EXPECT_TRUE(platform.Signalled(client.m_hMainEvents[0]));
}

TEST_F(ReconnectTest, ShutDownNeverReopensAClosedClient) {
    client.SetState(CNetClient::CONN_CLOSED);
    client.ShutDown();
    EXPECT_EQ(client.State(), CNetClient::CONN_CLOSED);
}

TEST_F(ReconnectTest, HostWalkWrapsAfterTheFourthEntry) {
    client.Prepare("a.example", "", "c.example", "10.0.0.4", 5, 900);
    std::vector<std::string> seen;
    for (int i = 0; i < 5; ++i) {
        char* host = client.GetNextHostName();
        seen.push_back(host ? host : "(null)");
    }
    EXPECT_EQ(seen,
              (std::vector<std::string>{"(null)", "c.example", "10.0.0.4", "a.example", "(null)"}));
    EXPECT_EQ(client.GetReconCount(), 1);
    EXPECT_EQ(platform.sleeps, std::vector<std::uint32_t>{900});
}

// The same walk on the client's real threads and sockets: a server that
// refuses every connection ends in exactly one refusal for the application.
TEST(ReconnectLiveTest, RefusingServerEndsInOneErrorAfterOneCycle) {
    using namespace transport::test;
    HandlerLog::Calls().clear();
    FastClockPlatform clock(transport::DefaultPlatform(), 100);
    PortMapPlatform ports(clock);
    ports.MapPort(800, 1);  // nothing listens on port 1 of the loopback
    ports.MapPort(80, 1);
    BearerDouble bearer(ports);
    TraceRecorder traces(bearer);
    CNetClient client(traces);
    client.SetNetHandler(&HandlerLog::Record);

    NetClientParams params{};
    std::snprintf(params.szHost1, sizeof(params.szHost1), "127.0.0.1");
    params.nMaxReconCount = 1;
    params.dwReconDelay = 1000;
    ASSERT_TRUE(client.Open(params));
    ASSERT_TRUE(client.Login("user", "secret", "", 0, "", ""));
    EXPECT_TRUE(traces.WaitFor("ReconCount=MAXRECONCOUNT", 20000));
    client.Close(true);

    // Types 0, 1, 2 on the only host, three empty entries, then the wrap.
    std::vector<std::uint16_t> asked;
    for (const auto& attempt : ports.Attempts()) asked.push_back(attempt.port);
    EXPECT_EQ(asked, (std::vector<std::uint16_t>{800, 80, 800, 800}));
    EXPECT_EQ(traces.Count("GetNextHostName() return NULL"), 3u);
    EXPECT_EQ(traces.Count("WSAECONNREFUSED: Connection refused."), 4u);
    ASSERT_EQ(HandlerLog::Calls().size(), 1u);
    EXPECT_EQ(HandlerLog::Calls()[0].second, 11u);
    EXPECT_EQ(bearer.EstablishCount(), 1);
}

}  // namespace
