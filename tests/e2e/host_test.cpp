// The client against real parts of the host: the network type from links
// made in a network namespace of the test's own, and the Internet probe
// against busybox httpd on port 80 of a loopback address.

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "e2e/E2eFixture.h"
#include "support/Subprocess.h"

namespace e2e {
namespace {

using transport::test::CanListen;
using transport::test::RunProgram;

const char kCellular[] = "Connection type: Cellular Line - Connected";
const char kCable[] = "Connection type: ActivSync";
const char kWifi[] = "Connection type: WiFi";

struct HostClient : CNetClient {
    using CNetClient::CNetClient;
    using CNetClient::BrowseInet;
    void SetTarget(const std::string& target) {
        std::memset(m_clientParams.szBrowseUrl, 0, sizeof m_clientParams.szBrowseUrl);
        std::strncpy(m_clientParams.szBrowseUrl, target.c_str(), sizeof m_clientParams.szBrowseUrl - 1);
    }
};

class Host : public ::testing::Test {
protected:
    Host() : trace_(transport::DefaultPlatform()), client_(trace_) {}
    transport::test::TraceRecorder trace_;
    HostClient client_;
};

// ---- The network type ----

struct LinksCase {
    Lines links;  // veth links made: "name" connected, "name-" down, "name~" up without carrier
    enNETTYPE type;
    Lines trace;
};

class NetworkType : public Host, public ::testing::WithParamInterface<LinksCase> {
protected:
    void TearDown() override { RunProgram({"ip", "netns", "delete", ns_}); }
    void Ip(Lines args) {
        args.insert(args.begin(), {"ip", "-n", ns_});
        ASSERT_TRUE(RunProgram(args)) << ::testing::PrintToString(args);
    }
    const std::string ns_ = "transport-e2e-" + std::to_string(getpid());
};

TEST_P(NetworkType, ComesFromTheConnectedRemoteAccessLinks) {
    REQUIRE_REAL_PART(RunProgram({"ip", "netns", "add", ns_}), "root and ip, to make a network namespace");
    for (std::string link : GetParam().links) {
        const char state = link.back() == '-' || link.back() == '~' ? link.back() : '+';
        if (state != '+') link.pop_back();
        Ip({"link", "add", link, "type", "veth", "peer", "name", "far-" + link});
        if (state != '-') Ip({"link", "set", link, "up"});
        if (state == '+') Ip({"link", "set", "far-" + link, "up"});
        const std::string up = "ip -n " + ns_ + " -o link show dev " + link + " | grep -q ' state UP '";
        ASSERT_TRUE(state != '+' || Eventually([&] { return RunProgram({"sh", "-c", up}); }, 10000)) << link;
    }
    trace_.Clear();
    enNETTYPE type = static_cast<enNETTYPE>(-1);
    std::thread inside([&] {  // setns moves only this thread into the namespace
        const int fd = open(("/var/run/netns/" + ns_).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0 && setns(fd, CLONE_NEWNET) == 0) type = client_.GetNetworkType();
        close(fd);
    });
    inside.join();
    EXPECT_EQ(type, GetParam().type);
    EXPECT_EQ(trace_.Lines(), GetParam().trace);
}

INSTANTIATE_TEST_SUITE_P(
    Links, NetworkType,
    ::testing::Values(LinksCase{{}, NETTYPE_WIFI, {kWifi}},
                      LinksCase{{"eth0", "wlan0"}, NETTYPE_WIFI, {kWifi}},
                      LinksCase{{"wwan0-", "usb0~"}, NETTYPE_WIFI, {}},  // listed, not connected
                      LinksCase{{"wwan0"}, NETTYPE_CELLULAR, {kCellular}},
                      LinksCase{{"ppp0"}, NETTYPE_CELLULAR, {kCellular}},
                      LinksCase{{"usb0"}, NETTYPE_ACTIVESYNC, {kCable}},
                      LinksCase{{"rndis0"}, NETTYPE_ACTIVESYNC, {kCable}},
                      LinksCase{{"ppp0~", "rndis0"}, NETTYPE_ACTIVESYNC, {kCable}},
                      // The cable wins over a modem listed before it; both are looked at.
                      LinksCase{{"wwan0", "usb0"}, NETTYPE_ACTIVESYNC, {kCellular, kCable}},
                      LinksCase{{"ppp0", "rndis0-"}, NETTYPE_CELLULAR, {kCellular}}));

// ---- The Internet probe ----

std::string Start(const std::string& target) { return "***Browse Internet Start: Requesting " + target + "***"; }

// The trace of a probe that got an answer with this body, read 3200 bytes at a time.
Lines Answered(const std::string& target, const std::string& body) {
    Lines lines = {Start(target), "InternetConnect success", "HttpSendRequest successfully",
                   "InternetQueryDataAvailable dwSize=" + std::to_string(body.size())};
    for (std::size_t at = 0; at < body.size(); at += 3200) lines.push_back(body.substr(at, 3200));
    return lines;
}

// The probe against busybox httpd, and on 127.0.0.42 against a peer that
// shows what the probe writes: one plain GET with the agent and the text header.
TEST_F(Host, ProbeAgainstARealWebServer) {
    std::uint16_t refusing80 = 80;
    const int nobody = transport::test::BindLoopback("127.0.0.43", &refusing80);  // kept: refuses
    REQUIRE_REAL_PART(CanListen("127.0.0.41", 80) && CanListen("127.0.0.42", 80) && nobody >= 0 &&
                          RunProgram({"busybox", "true"}),
                      "busybox, and root to listen on port 80 of 127.0.0.41 to 127.0.0.43");
    const std::filesystem::path root = ::testing::TempDir() + "probe-" + std::to_string(getpid());
    std::filesystem::create_directories(root / "sub");
    std::string text;
    for (int i = 0; text.size() < 7000; ++i) text += "line " + std::to_string(i) + "\n";
    text.resize(7000);
    std::ofstream(root / "index.html") << "<html>probe</html>\n";
    std::ofstream(root / "sub/page.txt") << "page\n";
    std::ofstream(root / "long.txt") << text;
    std::ofstream(root / "empty.txt");
    transport::test::Child httpd({"busybox", "httpd", "-f", "-p", "127.0.0.41:80", "-h", root.string()});
    ASSERT_TRUE(httpd.Accepts("127.0.0.41", 80));
    ScriptedPeer server("127.0.0.42", 80);
    std::thread answer([&] {
        Eventually([&] { return server.Received(0).find("\r\n\r\n") != std::string::npos; }, 10000);
        server.Push("HTTP/1.0 200 OK\r\n\r\nhello");
        server.DropAll();
    });

    const struct {
        std::string target;
        bool answered;
        Lines trace;
    } cases[] = {
        {"http://127.0.0.42:8080/dir/page.html?x=1", true,
         Answered("http://127.0.0.42:8080/dir/page.html?x=1", "hello")},
        {"127.0.0.41", true, Answered("127.0.0.41", "<html>probe</html>\n")},
        // Port 80, whatever port the address names.
        {"http://127.0.0.41:8080/sub/page.txt", true,
         Answered("http://127.0.0.41:8080/sub/page.txt", "page\n")},
        {"http://127.0.0.41/empty.txt", true, Answered("http://127.0.0.41/empty.txt", "")},
        {"http://127.0.0.41/long.txt", true, Answered("http://127.0.0.41/long.txt", text)},
        {"127.0.0.43", false, {Start("127.0.0.43"), "InternetConnect error, code=12029"}},
        {"", false, {Start(""), "InternetCrackUrl error, code=12005"}},
        {"http:///page", false, {Start("http:///page"), "InternetCrackUrl error, code=12005"}},
    };
    for (const auto& c : cases) {
        trace_.Clear();
        client_.SetTarget(c.target);
        EXPECT_EQ(client_.BrowseInet(), c.answered) << c.target;
        EXPECT_EQ(trace_.Lines(), c.trace) << c.target;
    }
    answer.join();
    const std::string request = server.Received(0);
    EXPECT_EQ(request.substr(0, request.find("\r\n")), "GET /dir/page.html?x=1 HTTP/1.0");
    for (const char* header : {"\r\nUser-Agent: Mozila/1.0\r\n", "\r\nContent-Type: text/*\r\n",
                               "\r\nAccept: */*\r\n", "\r\nHost: 127.0.0.42\r\n"}) {
        EXPECT_NE(request.find(header), std::string::npos) << header;
    }
    EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");  // a GET carries no body
    EXPECT_EQ(server.Connections(), 1u);
    close(nobody);
    std::filesystem::remove_all(root);
}

}  // namespace
}  // namespace e2e
