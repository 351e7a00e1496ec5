// Network type from the remote-access listing, and the Internet probe: the
// request it makes from the configured target, its trace lines and failures.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "unit/ScriptedPlatform.h"

namespace {

using conntest::ScriptedPlatform;
using conntest::TestClient;
using transport::kRasConnected;

class NetworkTypeTest : public ::testing::Test {
protected:
    // The traces written after the constructor's.
    std::vector<std::string> NewTraces() const {
        return {platform.traces.begin() + 1, platform.traces.end()};
    }

    void Target(const char* text) {
        std::snprintf(client.m_clientParams.szBrowseUrl, sizeof(client.m_clientParams.szBrowseUrl),
                      "%s", text);
    }

    ScriptedPlatform platform;
    TestClient client{platform};
};

TEST_F(NetworkTypeTest, NoConnectionOrFailedListingIsWifi) {
    EXPECT_EQ(client.GetNetworkType(), NETTYPE_WIFI);
    EXPECT_EQ(NewTraces(), std::vector<std::string>{"Connection type: WiFi"});

    platform.traces.resize(1);
    platform.failEnumeration = true;
    platform.remote = {{"Cellular Line", kRasConnected}};
    EXPECT_EQ(client.GetNetworkType(), NETTYPE_WIFI);
    EXPECT_TRUE(NewTraces().empty());
}

TEST_F(NetworkTypeTest, ConnectedCellularLine) {
    platform.remote = {{"Cellular Line", kRasConnected}};
    EXPECT_EQ(client.GetNetworkType(), NETTYPE_CELLULAR);
    EXPECT_EQ(NewTraces(), std::vector<std::string>{"Connection type: Cellular Line - Connected"});
}

TEST_F(NetworkTypeTest, CableLinkWinsOverACellularLineListedBeforeIt) {
    platform.remote = {{"Cellular Line", kRasConnected},
                       {"Serial on USB", kRasConnected},
                       {"Other Modem", kRasConnected}};
    EXPECT_EQ(client.GetNetworkType(), NETTYPE_ACTIVESYNC);
    EXPECT_EQ(NewTraces(), (std::vector<std::string>{"Connection type: Cellular Line - Connected",
                                                     "Connection type: ActivSync"}));
}

TEST_F(NetworkTypeTest, OnlyConnectedEntriesCount) {
    platform.remote = {{"Cellular Line", 0}, {"Serial on USB", 0x2001}};
    EXPECT_EQ(client.GetNetworkType(), NETTYPE_WIFI);
    EXPECT_TRUE(NewTraces().empty());

    platform.remote = {{"Cellular Line ", kRasConnected}};  // not the exact name
    EXPECT_EQ(client.GetNetworkType(), NETTYPE_WIFI);
}

TEST_F(NetworkTypeTest, ProbeRequestFromTheTarget) {
    struct Case {
        const char* target;
        const char* host;
        const char* path;
    };
    const Case cases[] = {
        {"10.1.2.3", "10.1.2.3", "/"},
        {"http://probe.example:8080/a/b?x=1#part", "probe.example", "/a/b?x=1"},
        {"probe.example/page", "probe.example", "/page"},
        {"HTTP://user:pw@probe.example", "probe.example", "/"},
        {"http://probe.example?q", "probe.example", "/?q"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        Target(c.target);
        platform.probes.clear();
        EXPECT_TRUE(client.BrowseInet());
        ASSERT_EQ(platform.probes.size(), 1u);
        const transport::HttpProbeRequest& request = platform.probes[0];
        EXPECT_EQ(request.host, c.host);
        EXPECT_EQ(request.path, c.path);
        EXPECT_EQ(request.port, 80);
        EXPECT_EQ(request.agent, "Mozila/1.0");
        EXPECT_EQ(request.extraHeaders, "Content-Type: text/*\r\n");
        EXPECT_EQ(request.sendTimeoutMs, 5000u);
    }
}

TEST_F(NetworkTypeTest, ProbeTracesTheBodyInChunks) {
    Target("10.1.2.3");
    platform.probeBody = std::string(3200, 'a') + std::string(3200, 'b') + "tail";
    EXPECT_TRUE(client.BrowseInet());
    EXPECT_EQ(NewTraces(),
              (std::vector<std::string>{"***Browse Internet Start: Requesting 10.1.2.3***",
                                        "InternetConnect success", "HttpSendRequest successfully",
                                        "InternetQueryDataAvailable dwSize=6404",
                                        std::string(3200, 'a'), std::string(3200, 'b'), "tail"}));

    platform.traces.resize(1);
    platform.probeBody.clear();
    EXPECT_TRUE(client.BrowseInet());
    EXPECT_EQ(NewTraces().back(), "InternetQueryDataAvailable dwSize=0");
}

TEST_F(NetworkTypeTest, ProbeFailuresEndWithTheirStepsTrace) {
    Target("probe.example");
    platform.probeStep = "InternetConnect";
    platform.probeError = 7;
    EXPECT_FALSE(client.BrowseInet());
    EXPECT_EQ(NewTraces(),
              (std::vector<std::string>{"***Browse Internet Start: Requesting probe.example***",
                                        "InternetConnect error, code=7"}));

    platform.traces.resize(1);
    platform.probeStep = "HttpSendRequest";
    platform.probeError = 28;
    EXPECT_FALSE(client.BrowseInet());
    EXPECT_EQ(NewTraces().at(1), "InternetConnect success");
    EXPECT_EQ(NewTraces().at(2), "HttpSendRequest error, code=28");

    // A body cut short is still a probe that was answered.
    platform.traces.resize(1);
    platform.probeStep = "InternetReadFile";
    platform.probeBody = "partial";
    EXPECT_TRUE(client.BrowseInet());
    EXPECT_EQ(NewTraces().back(), "InternetReadFile error, code=28");

    // No host at all: nothing is requested.
    platform.traces.resize(1);
    platform.probes.clear();
    Target("");
    EXPECT_FALSE(client.BrowseInet());
    EXPECT_EQ(NewTraces().back(), "InternetCrackUrl error, code=12005");
    EXPECT_TRUE(platform.probes.empty());
}

}  // namespace
