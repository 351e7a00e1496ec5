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

// Which link wins and which entries count is covered end to end in a network
// namespace; here the cases no real listing can produce.
TEST_F(NetworkTypeTest, FailedListingAndInexactNamesAreWifi) {
    platform.failEnumeration = true;
    platform.remote = {{"Cellular Line", kRasConnected}};
    EXPECT_EQ(client.GetNetworkType(), NETTYPE_WIFI);
    EXPECT_TRUE(NewTraces().empty());

    platform.failEnumeration = false;
    platform.remote = {{"Cellular Line ", kRasConnected}, {"Serial on USB", 0x2001}};
    EXPECT_EQ(client.GetNetworkType(), NETTYPE_WIFI);

    platform.traces.resize(1);
    platform.remote.clear();
    EXPECT_EQ(client.GetNetworkType(), NETTYPE_WIFI);
    EXPECT_EQ(NewTraces(), std::vector<std::string>{"Connection type: WiFi"});
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

// Refused, hung-up and host-less probes are covered end to end.
TEST_F(NetworkTypeTest, BodyCutShortIsStillAnAnsweredProbe) {
    Target("probe.example");
    platform.probeStep = "InternetReadFile";
    platform.probeError = 28;
    platform.probeBody = "partial";
    EXPECT_TRUE(client.BrowseInet());
    EXPECT_EQ(NewTraces().back(), "InternetReadFile error, code=28");
}

}  // namespace
