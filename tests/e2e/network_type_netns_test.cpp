// The network type from the host's real interfaces: each test makes a
// network namespace of its own with links named like the devices (wwan and
// ppp for a cellular modem, usb and rndis for a desktop cable link), brings
// them up and down, and asks the client inside the namespace.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <transport/NetClient.h>

#include "support/NetNamespace.h"
#include "support/TraceRecorder.h"

namespace {

using transport::test::CommandResult;
using transport::test::NetNamespace;

const char kCellularTrace[] = "Connection type: Cellular Line - Connected";
const char kCableTrace[] = "Connection type: ActivSync";
const char kWifiTrace[] = "Connection type: WiFi";

class NetworkTypeInNamespace : public ::testing::Test {
protected:
    NetworkTypeInNamespace() : m_trace(transport::DefaultPlatform()), m_client(m_trace) {}

    void SetUp() override {
        if (!m_ns.ok()) {
            GTEST_SKIP() << "no network namespace can be made here, so the network type is not "
                            "checked on real interfaces: "
                         << m_ns.error();
        }
        Ip({"link", "set", "lo", "up"});
    }

    void Ip(const std::vector<std::string>& args) {
        const CommandResult r = m_ns.Ip(args);
        ASSERT_TRUE(r.ok()) << "ip " << ::testing::PrintToString(args) << ": " << r.output;
    }

    // A veth pair, down: `name` and its far end, whose name the client does
    // not look at. A veth link is connected only while both ends are up.
    void AddLink(const std::string& name) {
        Ip({"link", "add", name, "type", "veth", "peer", "name", FarEnd(name)});
    }
    static std::string FarEnd(const std::string& name) { return "far-" + name; }

    // Brings both ends up (or the near end down) and waits until the kernel
    // reports the link's state accordingly.
    void SetConnected(const std::string& name, bool connected) {
        if (connected) {
            Ip({"link", "set", FarEnd(name), "up"});
            Ip({"link", "set", name, "up"});
        } else {
            Ip({"link", "set", name, "down"});
        }
        ExpectOperational(name, connected);
    }

    // Waits (real time, bounded) until the link's operational state is, or
    // is not, "UP": the state follows a change of its ends asynchronously.
    void ExpectOperational(const std::string& name, bool up) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        std::string last;
        for (;;) {
            const CommandResult r = m_ns.Ip({"-o", "link", "show", "dev", name});
            last = r.output;
            if (r.ok() && (last.find(" state UP ") != std::string::npos) == up) return;
            if (std::chrono::steady_clock::now() > end) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        FAIL() << name << " did not become " << (up ? "up" : "not up") << ": " << last;
    }

    // GetNetworkType asked inside the namespace, with the trace lines it wrote.
    enNETTYPE Check(std::vector<std::string>* lines) {
        m_trace.Clear();
        enNETTYPE type = static_cast<enNETTYPE>(0);
        std::string why;
        EXPECT_TRUE(m_ns.RunInside([&] { type = m_client.GetNetworkType(); }, &why)) << why;
        *lines = m_trace.Lines();
        return type;
    }

    NetNamespace m_ns;
    transport::test::TraceRecorder m_trace;
    CNetClient m_client;
};

using Lines = std::vector<std::string>;

TEST_F(NetworkTypeInNamespace, WithoutModemOrCableLinkTheNetworkIsWifi) {
    std::vector<std::string> lines;
    EXPECT_EQ(Check(&lines), NETTYPE_WIFI);
    EXPECT_EQ(lines, Lines{kWifiTrace});

    // Other interfaces, however connected, are not remote-access links.
    AddLink("eth0");
    SetConnected("eth0", true);
    AddLink("wlan0");
    SetConnected("wlan0", true);
    EXPECT_EQ(Check(&lines), NETTYPE_WIFI);
    EXPECT_EQ(lines, Lines{kWifiTrace});
}

// ---- One link of each kind ----

struct DeviceCase {
    const char* interfaceName;
    enNETTYPE type;
};

class OneLink : public NetworkTypeInNamespace, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(OneLink, ConnectedLinkGivesItsTypeAndADownOneIsNotCounted) {
    const DeviceCase c = GetParam();
    AddLink(c.interfaceName);
    std::vector<std::string> lines;
    // Listed but not connected: nothing is traced at all.
    EXPECT_EQ(Check(&lines), NETTYPE_WIFI);
    EXPECT_EQ(lines, Lines{});

    SetConnected(c.interfaceName, true);
    EXPECT_EQ(Check(&lines), c.type);
    EXPECT_EQ(lines, Lines{c.type == NETTYPE_CELLULAR ? kCellularTrace : kCableTrace});

    SetConnected(c.interfaceName, false);
    EXPECT_EQ(Check(&lines), NETTYPE_WIFI);
    EXPECT_EQ(lines, Lines{});
}

INSTANTIATE_TEST_SUITE_P(Devices, OneLink,
                         ::testing::Values(DeviceCase{"wwan0", NETTYPE_CELLULAR},
                                           DeviceCase{"ppp0", NETTYPE_CELLULAR},
                                           DeviceCase{"usb0", NETTYPE_ACTIVESYNC},
                                           DeviceCase{"rndis0", NETTYPE_ACTIVESYNC}),
                         [](const ::testing::TestParamInfo<DeviceCase>& device) {
                             return std::string(device.param.interfaceName);
                         });

// ---- Both kinds at once ----

TEST_F(NetworkTypeInNamespace, CableLinkWinsOverACellularModemListedBeforeIt) {
    // Made first, so listed first.
    AddLink("wwan0");
    AddLink("usb0");
    SetConnected("wwan0", true);
    SetConnected("usb0", true);

    std::vector<std::string> lines;
    EXPECT_EQ(Check(&lines), NETTYPE_ACTIVESYNC);
    // Both were looked at, the cable link last.
    EXPECT_EQ(lines, (Lines{kCellularTrace, kCableTrace}));
}

TEST_F(NetworkTypeInNamespace, LinksComingAndGoingChangeTheAnswer) {
    AddLink("ppp0");
    AddLink("rndis0");
    std::vector<std::string> lines;
    EXPECT_EQ(Check(&lines), NETTYPE_WIFI);
    EXPECT_EQ(lines, Lines{});

    SetConnected("ppp0", true);
    EXPECT_EQ(Check(&lines), NETTYPE_CELLULAR);
    SetConnected("rndis0", true);
    EXPECT_EQ(Check(&lines), NETTYPE_ACTIVESYNC);
    EXPECT_EQ(lines, (Lines{kCellularTrace, kCableTrace}));

    // The cable is pulled: the modem is the network again.
    SetConnected("rndis0", false);
    EXPECT_EQ(Check(&lines), NETTYPE_CELLULAR);
    EXPECT_EQ(lines, Lines{kCellularTrace});

    // The modem loses its carrier (its far end goes away) while its own
    // interface stays up: it is no longer connected.
    Ip({"link", "set", FarEnd("ppp0"), "down"});
    ExpectOperational("ppp0", false);
    EXPECT_EQ(Check(&lines), NETTYPE_WIFI);
    EXPECT_EQ(lines, Lines{});

    // A link that disappears altogether is simply no longer listed.
    Ip({"link", "delete", "ppp0"});
    Ip({"link", "delete", "rndis0"});
    EXPECT_EQ(Check(&lines), NETTYPE_WIFI);
    EXPECT_EQ(lines, Lines{kWifiTrace});
}

TEST_F(NetworkTypeInNamespace, ModemWithoutCarrierIsListedButNotConnected) {
    // A tun device that no program serves is up but has no carrier, like a
    // modem interface whose line has not come up.
    const CommandResult made = m_ns.Ip({"tuntap", "add", "dev", "wwan1", "mode", "tun"});
    if (!made.ok()) GTEST_SKIP() << "no tun device can be made here: " << made.output;
    Ip({"link", "set", "wwan1", "up"});
    ExpectOperational("wwan1", false);

    std::vector<std::string> lines;
    EXPECT_EQ(Check(&lines), NETTYPE_WIFI);
    EXPECT_EQ(lines, Lines{});

    // A connected cable link next to it still counts.
    AddLink("usb0");
    SetConnected("usb0", true);
    EXPECT_EQ(Check(&lines), NETTYPE_ACTIVESYNC);
    EXPECT_EQ(lines, Lines{kCableTrace});
}

}  // namespace
