// ReConnect on its own: the bearer reconnect, the socket-level reconnect, and
// the states in which it must do nothing. The walk over hosts and types, the
// cycle count and the limit are covered end to end by the walk tests.

#include <gtest/gtest.h>

#include <vector>

#include "unit/ScriptedPlatform.h"

namespace {

using conntest::TestClient;

class ReconnectTest : public ::testing::Test {
protected:
    conntest::ScriptedPlatform platform;
    TestClient client{platform};
};

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

}  // namespace
