// Bearer bring-up: the request record, the handle handed to the main loop,
// a second request, and the status words' texts and results.

#include <gtest/gtest.h>

#include <cstring>

#include "unit/ScriptedPlatform.h"

namespace {

using conntest::ScriptedPlatform;
using conntest::TestClient;

class ConnManagerTest : public ::testing::Test {
protected:
    ScriptedPlatform platform;
    TestClient client{platform};
};

TEST_F(ConnManagerTest, EveryStatusWordHasItsTextAndResult) {
    struct Row {
        unsigned long status;
        const char* text;
        bool result;
    };
    const Row rows[] = {
        {0x10, "Successfully connected with Connection Manager.", true},
        {0x20, "The connection has been disconnected.", false},
        {0x21, "The connection failed and cannot be reestablished.", false},
        {0x22, "The user aborted the connection.", false},
        {0x23, "The connection can be made, but the connection itself is disabled.", false},
        {0x24, "No path to the destination could be found.", false},
        {0x25, "A path to the destination exists but is not presently available.", false},
        {0x26, "A voice call is in progress and is using resources that this connection requires.",
         false},
        {0x40, "The device is attempting to connect.", false},
        {0x41, "Another client is using resources that this connection requires.", false},
        {0x42,
         "The device is waiting for a task with a higher priority to connect to the network "
         "before connecting to the same network.",
         false},
        {0x80, "The connection is being brought down.", false},
        {0x81, "The device is aborting the connection attempt.", true},
        {0x11, "The status is unknown.", false},
        {0, "The status is unknown.", false},
        {0xFFFFFFFF, "The status is unknown.", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.status);
        platform.traces.clear();
        EXPECT_EQ(client.CheckConnManagerStatus(row.status, false), row.result);
        EXPECT_TRUE(platform.traces.empty());
        EXPECT_EQ(client.CheckConnManagerStatus(row.status, true), row.result);
        ASSERT_EQ(platform.traces.size(), 1u);
        EXPECT_EQ(platform.traces[0], std::string("ConnMngrStatus: ") + row.text);
    }
}

TEST_F(ConnManagerTest, RequestsTheBearerAndHandsItsHandleToTheMainLoop) {
    EXPECT_TRUE(client.AutoConnect());

    EXPECT_EQ(platform.mappedUrls, std::vector<std::string>{"http://www.example.com/"});
    EXPECT_TRUE(platform.Closed(platform.readyEvent));
    ASSERT_EQ(platform.requests.size(), 1u);
    const transport::ConnectionInfo& info = platform.requests[0];
    EXPECT_EQ(info.cbSize, 64u);
    EXPECT_EQ(info.dwParams, 1u);
    EXPECT_EQ(info.dwFlags, 0u);
    EXPECT_EQ(info.dwPriority, 0x8000u);
    EXPECT_EQ(info.bExclusive | info.bDisabled | info.hWnd | info.uMsg | info.lParam |
                  info.ulMaxCost | info.ulMinRcvBw | info.ulMaxConnLatency,
              0u);
    EXPECT_EQ(std::memcmp(&info.guidDestNet, &platform.guid, sizeof(transport::Guid)), 0);

    EXPECT_EQ(client.m_hConnection, platform.bearers.at(0));
    EXPECT_EQ(client.m_hMainEvents[4], client.m_hConnection);
    EXPECT_TRUE(client.m_bConnecting);
    EXPECT_EQ(platform.traces.back(), "Connecting to - {01234567-89AB-CDEF-0123-456789ABCDEF}");
}

TEST_F(ConnManagerTest, RefusedRequestKeepsSlotFourValid) {
    transport::Handle standby = client.m_hMainEvents[4];
    platform.failEstablish = true;

    EXPECT_FALSE(client.AutoConnect());

    EXPECT_EQ(platform.traces.back(), "Could not configure connection with ConnectionManager");
    EXPECT_EQ(client.m_hConnection, nullptr);
    EXPECT_EQ(client.m_hMainEvents[4], standby);
    EXPECT_TRUE(client.m_bConnecting);

    // A refusal after a held connection leaves the connect event in slot 4,
    // never the released handle.
    platform.failEstablish = false;
    ASSERT_TRUE(client.AutoConnect());
    platform.failEstablish = true;
    EXPECT_FALSE(client.AutoConnect());
    EXPECT_EQ(client.m_hMainEvents[4], client.m_hMainEvents[0]);
    EXPECT_EQ(platform.released.size(), 1u);
}

}  // namespace
