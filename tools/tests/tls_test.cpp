// A client with TLS on, verifying the server, logs in and has a message
// delivered by each way (straight, through tinyproxy's tunnel, by POST), to
// the reference server's own TLS and through stunnel4 in front of it.

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <transport/Client.h>

#include "support/Subprocess.h"
#include "support/TestPlatforms.h"
#include "support/TlsParts.h"

namespace {

using namespace transport::test;

class Tls : public ::testing::TestWithParam<std::tuple<bool, int>> {};  // stunnel, way

TEST_P(Tls, LogsInAndDeliversWithTheServerVerified) {
    REQUIRE_REAL_PART(TlsPartsAvailable() && RunProgram({"tinyproxy", "-v"}), "openssl, stunnel4 and tinyproxy");
    const auto [stunnel, way] = GetParam();
    std::vector<std::string> argv = {TRANSPORT_SERVER_PROGRAM, "--port", "0"};
    if (!stunnel) argv.insert(argv.end(), {"--tls-cert", Certificate("server"), "--tls-key", CertificateKey("server")});
    Child server(argv, true);
    const std::uint16_t serverPort = server.ListeningPort();
    ASSERT_NE(serverPort, 0) << server.Output();
    std::optional<TlsTerminator> terminator;
    ASSERT_TRUE(!stunnel || terminator.emplace(serverPort, "server").Ready());
    const std::uint16_t port = stunnel ? terminator->Port() : serverPort;
    std::uint16_t proxyPort = 0;
    close(BindLoopback("127.0.0.1", &proxyPort));
    const std::string config = ::testing::TempDir() + "tinyproxy-tls-" + std::to_string(proxyPort) + ".conf";
    std::ofstream(config) << "Port " << proxyPort << "\nListen 127.0.0.1\nAllow 127.0.0.0/8\n";
    Child proxy({"tinyproxy", "-d", "-c", config});
    ASSERT_TRUE(proxy.Accepts("127.0.0.1", proxyPort));

    // The walk goes straight first, then through the tunnel, then by POST.
    PortMapPlatform ports(transport::DefaultPlatform());
    TraceRecorder trace(ports);
    const std::uint16_t refuse = PortMapPlatform::kRefuse;
    ports.Route("127.0.0.1", port, {way == CNetClient::CONNTYPE_DIRECT ? port : refuse, port});
    ports.Route("127.0.0.1", 80, {way == CNetClient::CONNTYPE_TUNNEL ? proxyPort : refuse});
    transport::Options options;
    options.hosts = {"127.0.0.1:" + std::to_string(port)};
    options.reconnectDelay = std::chrono::milliseconds(100);
    options.platform = &trace;
    options.tls = true;
    options.tlsSettings.caFile = Certificate("ca");
    std::atomic<int> failures{0};
    transport::Client client(options, [&](const transport::Event& e) {
        failures += e.kind == transport::Event::Kind::kTlsFailed;
    });
    ASSERT_TRUE(client.LogIn("demo", "secret"));
    ASSERT_EQ(client.Send(5, {"hello"}), transport::SendResult::kQueued);
    EXPECT_EQ(client.Flush(std::chrono::seconds(30)), 0u);  // logged in, and answered
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(trace.Contains("TLS established: TLSv1.3"));
    EXPECT_TRUE(trace.Contains("conntype=" + std::to_string(way) + "...."));
}

INSTANTIATE_TEST_SUITE_P(ServersAndWays, Tls,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(CNetClient::CONNTYPE_DIRECT,
                                                                                 CNetClient::CONNTYPE_TUNNEL,
                                                                                 CNetClient::CONNTYPE_HTTP)));

}  // namespace
