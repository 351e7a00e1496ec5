// One connection attempt: what reaches the socket layer, how failures are
// reported, and that failed attempts leak neither sockets nor a dead
// network-event thread.

#include <gtest/gtest.h>

#include "unit/ScriptedPlatform.h"

namespace {

using conntest::ScriptedPlatform;
using conntest::TestClient;

class ConnectTest : public ::testing::Test {
protected:
    ScriptedPlatform platform;
    TestClient client{platform};
};

TEST_F(ConnectTest, DottedHostConnectsWithoutLookupAndRegistersEvents) {
    client.Prepare("10.0.0.1", "", "", "");
    ASSERT_EQ(client.m_nConnType, CNetClient::CONNTYPE_NONE);

    EXPECT_TRUE(client.Connect());

    EXPECT_EQ(client.m_nConnType, CNetClient::CONNTYPE_DIRECT);
    EXPECT_TRUE(platform.lookups.empty());
    ASSERT_EQ(platform.connects.size(), 1u);
    EXPECT_EQ(platform.connects[0].address, platform.InetAddr("10.0.0.1"));
    EXPECT_EQ(platform.connects[0].port, 800);
    EXPECT_EQ(platform.options, (std::vector<std::pair<int, int>>{{transport::kSoReuseAddr, 0},
                                                                  {transport::kSoKeepAlive, 1}}));
    ASSERT_EQ(platform.selections.size(), 1u);
    EXPECT_EQ(platform.selections[0].first, client.m_hNetEvents[0]);
    EXPECT_EQ(platform.selections[0].second, 0x31);
    EXPECT_TRUE(client.m_bConnecting);
    EXPECT_TRUE(platform.Traced("Connecting to HOST: 10.0.0.1 PORT: 800 conntype=0...."));
    EXPECT_TRUE(platform.Traced("WSAConnect complete successfully."));
}

TEST_F(ConnectTest, EarlyFailuresScheduleNothing) {
    client.Prepare("10.0.0.1", "", "", "");
    platform.startupError = transport::kErrNotInitialised;
    EXPECT_FALSE(client.Connect());
    platform.startupError = 0;
    platform.failSocketCreation = true;
    EXPECT_FALSE(client.Connect());

    EXPECT_TRUE(platform.Traced("WSAEMFILE: Too many open files."));
    EXPECT_TRUE(platform.connects.empty());
    EXPECT_FALSE(platform.Signalled(client.m_hMainEvents[2]));

    // Closed: no trace and no socket call at all.
    std::size_t traces = platform.traces.size();
    platform.failSocketCreation = false;
    client.SetState(CNetClient::CONN_CLOSED);
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(platform.traces.size(), traces);
    EXPECT_TRUE(platform.openSockets.empty());
}

TEST_F(ConnectTest, EndedNetworkEventThreadIsStartedAgain) {
    client.Prepare("10.0.0.1", "", "", "");
    transport::Handle running = platform.CreateThread(nullptr, nullptr, false);
    client.m_hNetEventThread = running;
    client.m_bNetThreadRunning = true;
    EXPECT_TRUE(client.Connect());
    EXPECT_EQ(client.m_hNetEventThread, running);  // alive: kept

    // It ended after a failed wait: its handle is signalled.
    platform.objects[running].signalled = true;
    EXPECT_TRUE(client.Connect());
    transport::Handle restarted = client.m_hNetEventThread;
    EXPECT_NE(restarted, running);
    EXPECT_TRUE(platform.Closed(running));
    EXPECT_FALSE(platform.objects[restarted].suspended);
    EXPECT_TRUE(client.m_bNetThreadRunning);

    // It ended through its kill sequence.
    client.m_bNetThreadExited = true;
    platform.objects[restarted].signalled = true;
    EXPECT_TRUE(client.Connect());
    EXPECT_FALSE(client.m_bNetThreadExited);
    EXPECT_EQ(platform.threadsCreated.size(), 3u);

    // No thread can be made: the attempt fails before any socket exists.
    platform.objects[client.m_hNetEventThread].signalled = true;
    platform.failThreadCreation = true;
    std::size_t connects = platform.connects.size();
    EXPECT_FALSE(client.Connect());
    EXPECT_EQ(platform.connects.size(), connects);
}

}  // namespace
