// A client with TLS on and the server verified logs in and has a message
// delivered by each way (straight, through tinyproxy's tunnel, by POST),
// both when the reference server does TLS itself and when stunnel4 does it
// in front of the plain server.

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <transport/Client.h>

#include "support/Subprocess.h"
#include "support/TestPlatforms.h"
#include "support/TlsParts.h"

namespace {

using namespace transport::test;
using Kind = transport::Event::Kind;

struct WayCase {
    bool stunnel;
    int way;  // CNetClient::CONNTYPE_...
};

class Tls : public ::testing::TestWithParam<WayCase> {};

std::uint16_t ListeningPort(Child& server) {
    if (!server.WaitFor("listening on")) return 0;
    const std::string& out = server.Output();
    const std::size_t colon = out.find(':', out.find("listening on"));
    return static_cast<std::uint16_t>(std::stoi(out.substr(colon + 1)));
}

TEST_P(Tls, LogsInAndDeliversWithTheServerVerified) {
    REQUIRE_REAL_PART(TlsPartsAvailable() && RunProgram({"tinyproxy", "-v"}), "openssl, stunnel4 and tinyproxy");
    const WayCase c = GetParam();
    std::vector<std::string> argv = {TRANSPORT_SERVER_PROGRAM, "--port", "0"};
    if (!c.stunnel) argv.insert(argv.end(), {"--tls-cert", Certificate("server"), "--tls-key", CertificateKey("server")});
    Child server(argv, true);
    const std::uint16_t serverPort = ListeningPort(server);
    ASSERT_NE(serverPort, 0) << server.Output();
    std::unique_ptr<TlsTerminator> terminator(c.stunnel ? new TlsTerminator(serverPort, "server") : nullptr);
    ASSERT_TRUE(!terminator || terminator->Ready());
    const std::uint16_t port = terminator ? terminator->Port() : serverPort;

    std::uint16_t proxyPort = 0;
    close(BindLoopback("127.0.0.1", &proxyPort));
    const std::string config = ::testing::TempDir() + "tinyproxy-tls-" + std::to_string(proxyPort) + ".conf";
    std::ofstream(config) << "Port " << proxyPort << "\nListen 127.0.0.1\nAllow 127.0.0.0/8\nTimeout 30\n";
    Child proxy({"tinyproxy", "-d", "-c", config});
    ASSERT_TRUE(proxy.Accepts("127.0.0.1", proxyPort));

    // The walk goes straight first, then through the tunnel, then by POST.
    PortMapPlatform ports(transport::DefaultPlatform());
    TraceRecorder trace(ports);
    const std::uint16_t refuse = PortMapPlatform::kRefuse;
    ports.Route("127.0.0.1", port, {c.way == CNetClient::CONNTYPE_DIRECT ? port : refuse, port});
    ports.Route("127.0.0.1", 80, {c.way == CNetClient::CONNTYPE_TUNNEL ? proxyPort : refuse});

    transport::Options options;
    options.hosts = {"127.0.0.1:" + std::to_string(port)};
    options.reconnectDelay = std::chrono::milliseconds(100);
    options.platform = &trace;
    options.tls = true;
    options.tlsSettings.caFile = Certificate("ca");
    std::mutex mutex;
    std::vector<Kind> kinds;
    transport::Client client(options, [&](const transport::Event& e) {
        std::lock_guard<std::mutex> lock(mutex);
        kinds.push_back(e.kind);
    });
    ASSERT_TRUE(client.LogIn("demo", "secret"));
    ASSERT_EQ(client.Send(5, {"hello"}), transport::SendResult::kQueued);
    EXPECT_EQ(client.Flush(std::chrono::seconds(30)), 0u);
    client.Close();
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), Kind::kLoggedIn), kinds.end());
    EXPECT_NE(std::find(kinds.begin(), kinds.end(), Kind::kDelivered), kinds.end());
    EXPECT_EQ(std::find(kinds.begin(), kinds.end(), Kind::kTlsFailed), kinds.end());
    EXPECT_TRUE(trace.Contains("TLS established: TLSv1.3"));
    EXPECT_TRUE(trace.Contains("conntype=" + std::to_string(c.way) + "...."));
}

INSTANTIATE_TEST_SUITE_P(ServersAndWays, Tls,
                         ::testing::Values(WayCase{false, CNetClient::CONNTYPE_DIRECT},
                                           WayCase{false, CNetClient::CONNTYPE_TUNNEL},
                                           WayCase{false, CNetClient::CONNTYPE_HTTP},
                                           WayCase{true, CNetClient::CONNTYPE_DIRECT},
                                           WayCase{true, CNetClient::CONNTYPE_TUNNEL},
                                           WayCase{true, CNetClient::CONNTYPE_HTTP}));

}  // namespace
