// The ways to the server: host entries and the three connection types in
// their order against real refusals, time-outs and hang-ups, the HTTP POST
// wrapping byte for byte, the CONNECT tunnel through a real proxy and
// through proxies that misbehave, and the bearer's status changes.

#include <cstring>
#include <filesystem>
#include <fstream>

#include "e2e/E2eFixture.h"
#include "support/Subprocess.h"

namespace e2e {
namespace {

// One pass over a host that refuses all three ways, as the journal shows it;
// each attempt but the very first follows a 500 ms pause.
Lines RefusedPass(const std::string& host, bool first = false) {
    const Lines pass = {"sleep 500", "connect " + host + ":800", "sleep 500", "connect " + host + ":80",
                        "sleep 500", "connect " + host + ":800"};
    return Lines(pass.begin() + first, pass.end());
}

Lines Join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

std::string WithoutKeepAlives(std::string text) {
    for (std::size_t at; (at = text.find(kKeepAlive)) != std::string::npos;) text.erase(at, 30);
    return text;
}

// Descriptors (handles on Windows) the process has open.
std::size_t OpenDescriptors() {
#ifdef _WIN32
    DWORD handles = 0;
    return GetProcessHandleCount(GetCurrentProcess(), &handles) ? handles : 0;
#else
    const std::filesystem::directory_iterator all("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(all), end(all)));
#endif
}

class Walk : public E2e {
protected:
    void SetUp() override {
        E2e::SetUp();
        params_.szHost1[0] = '\0';
    }
    void Host(char* field, const std::string& host) { std::strcpy(field, host.c_str()); }
};

// Nothing but refusals: the client's pauses are all the walk costs.
TEST_F(Walk, EmptyEntriesAreSkippedEachWrapCountsACycleAndTheLimitEndsIt) {
    UseClock(1000);
    Host(params_.szHost3, "127.0.0.31");
    params_.nMaxReconCount = 2;
    LogIn();
    ASSERT_TRUE(Have("error 11 -"));
    const Lines walk = Join({{"establish"}, RefusedPass("127.0.0.31", true), {"sleep 700"},
                             RefusedPass("127.0.0.31"), {"sleep 700"}});
    Pass(10 * 60 * 1000);
    EXPECT_EQ(ports_->Journal(), walk);
    EXPECT_EQ(Packages(), Lines{"error 11 -"});
    EXPECT_EQ(trace_->Count("GetNextHostName() return NULL"), 5u);  // entries 4, 1, 2, 4, 1
    const std::size_t descriptors = OpenDescriptors();
    // A Connected bearer buys one attempt; a new log-in the whole walk again.
    bearer_->SetStatus(0x10);
    ASSERT_TRUE(Have("error 11 -", 2));
    LogIn();
    ASSERT_TRUE(Have("error 11 -", 3));
    EXPECT_EQ(ports_->Journal(), Join({walk, {"connect 127.0.0.31:800", "release"}, walk}));
    EXPECT_EQ(OpenDescriptors(), descriptors) << "a failed attempt's socket was left open";
}

TEST_F(Walk, EveryKindOfFailureInItsPlaceUntilTheFourthEntryAnswersByPost) {
    UseClock(200);
    ScriptedPeer hangUp("127.0.0.34"), server("127.0.0.34");
    hangUp.SetOnAccept(ScriptedPeer::OnAccept::kHangUp);
    Host(params_.szHost1, "nohost.invalid");  // never resolves: each way fails, nothing sent
    Host(params_.szHost2, "127.0.0.35");      // refuses
    Host(params_.szHost3, "127.0.0.36");      // times out: tried once
    Host(params_.szHost4, "127.0.0.34");      // hangs up, then serves by POST
    ports_->Route("127.0.0.36", 800, {PortMapPlatform::kTimeOut});
    ports_->Route("127.0.0.34", 800, {hangUp.Port(), server.Port()});
    ports_->Route("127.0.0.34", 80, {hangUp.Port()});
    LogIn();
    ASSERT_TRUE(LoggedIn());
    const Lines targets = {"127.0.0.35:800", "127.0.0.35:80", "127.0.0.35:800", "127.0.0.36:800",
                           "127.0.0.34:800", "127.0.0.34:80", "127.0.0.34:800"};
    EXPECT_EQ(ports_->Targets(), targets);
    EXPECT_EQ(hangUp.Connections(), 2u);
    EXPECT_EQ(server.Received(0), Post(LoginFrame(), "127.0.0.34"));
    EXPECT_TRUE(Eventually([&] { return client_->LastType() == CNetClient::CONNTYPE_HTTP; }));
    // The way that worked is kept: after a drop, POST to the same host at once.
    server.DropAll();
    ASSERT_TRUE(Eventually([&] { return server.Frames().size() == 2; }));
    EXPECT_EQ(ports_->Targets().size(), targets.size() + 1);
    const Lines journal = ports_->Journal();  // no pause of a new cycle
    EXPECT_EQ(Lines(journal.end() - 3, journal.end()),
              (Lines{"connect 127.0.0.34:800", "sleep 500", "connect 127.0.0.34:800"}));
    EXPECT_EQ(server.Received(1), Post(LoginFrame(), "127.0.0.34"));
}

// Every request a POST naming the host entry as configured, its body
// neither encoded nor cut; the answers come inside responses.
TEST_F(Walk, PostWrapsEveryRequestAndTheAnswersComeInsideResponses) {
    Host(params_.szHost1, "localhost");
    ports_->Route("127.0.0.1", 800, {PortMapPlatform::kRefuse, peer_.Port()});
    peer_.SetRule([](const Frame& f) { return f.id == 171 ? "<g44>7<p>0</p></g44>" : ScriptedPeer::Usual(f); });
    LogIn();
    const std::string longText(1800, 'x'), bytes = {0x00, '\xFF', 0x10, '<', '>', 0x7F, '\x80'};
    Send(Message(170, {"a b&c=d%20+e"}));
    Send(Message(171, {longText}));
    Send(Message(300, {}, 2, &bytes));
    ASSERT_TRUE(Have("info 1 0/0 300"));
    EXPECT_EQ(ports_->Targets(), (Lines{"127.0.0.1:800", "127.0.0.1:80", "127.0.0.1:800"}));
    EXPECT_EQ(WithoutKeepAlives(peer_.Received(0)),
              Post(LoginFrame(), "localhost") + Post("<g44>170<p>a b&c=d%20+e</p></g44>", "localhost") +
                  Post("<g44>171<p>" + longText + "</p></g44>", "localhost") +
                  Post("<g44>300<p>AP8QPD5/gA==</p></g44>", "localhost"));
    // Responses of the server's own: headers dropped, frames in order.
    ASSERT_TRUE(peer_.Push("HTTP/1.1 200 OK\r\nContent-Length: 45\r\n\r\n<g44>5<p>pushed</p></g44><g44>6<p>x</p></g44>"));
    ASSERT_TRUE(peer_.Push("HTTP/1.1 200 OK\r\nContent-Length: 24\r\n\r\n<g44>5<p>sp"));
    ASSERT_TRUE(peer_.Push("lit</p></g44>"));
    ASSERT_TRUE(Have("msg 5 split"));
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 170", "error 7 171", "info 1 0/0 300",
                                 "msg 5 pushed", "msg 6 x", "msg 5 split"}));
}

class Tunnel : public Walk, public ::testing::WithParamInterface<std::string> {};

// Only a status line with the code 200 opens the tunnel; after any other
// reply nothing but the CONNECT reaches the proxy, and once it hangs up the
// walk goes on to POST.
TEST_P(Tunnel, OnlyStatus200OpensTheTunnel) {
    ScriptedPeer proxy("127.0.0.24"), server("127.0.0.24");
    proxy.SetTunnelReply(GetParam());
    Host(params_.szHost1, "127.0.0.24");
    ports_->Route("127.0.0.24", 800, {PortMapPlatform::kRefuse, server.Port()});
    ports_->Route("127.0.0.24", 80, {proxy.Port()});
    LogIn();
    const std::string connect = "CONNECT 127.0.0.24:800 HTTP/1.1\r\n\r\n";
    const bool opens = GetParam().rfind("HTTP/1.1 200 ", 0) == 0;
    ASSERT_TRUE(Eventually([&] { return trace_->Contains("R E C E I V E D<<<: " + GetParam()); }));
    Pass(20 * 1000);
    EXPECT_EQ(WithoutKeepAlives(proxy.Received(0)), connect + (opens ? LoginFrame() : ""));
    EXPECT_EQ(ports_->Targets().size(), 2u);
    proxy.DropAll();
    ASSERT_TRUE(LoggedIn());
    EXPECT_EQ(server.Received(0), opens ? "" : Post(LoginFrame(), "127.0.0.24"));
}

INSTANTIATE_TEST_SUITE_P(Replies, Tunnel,
                         ::testing::Values("HTTP/1.1 200 Connection established\r\n\r\n",
                                           "HTTP/1.1 403 Forbidden\r\nContent-Length: 200\r\n\r\n",
                                           "HTTP/1.0 407 Proxy Authentication Required\r\nX-Note: 200 OK\r\n\r\n",
                                           "HTTP/1.1 2000 Odd\r\n\r\n"));

struct RealProxyCase {
    const char* host;    // one per case, as they run side by side (the last byte)
    const char* config;  // added to the proxy's configuration
    const char* status;  // the start of its reply
    bool upstream;       // a server listens on port 800 behind it
};

class RealProxy : public Walk, public ::testing::WithParamInterface<RealProxyCase> {};

// The Windows run of these cases may overlap the Linux one: its own addresses.
std::string ProxyHost(const char* last) {
#ifdef _WIN32
    return std::string("127.0.1.") + last;
#else
    return std::string("127.0.0.") + last;
#endif
}

// tinyproxy on port 80 of the case's own address, in front of port 800
// there: the log-in and the queue as plain frames once it said 200; a
// refusal leads on to POST (to a peer of the test's own).
TEST_P(RealProxy, TunnelCarriesPlainFramesOrTheRefusalLeadsToPost) {
    const RealProxyCase c = GetParam();
    const std::string host = ProxyHost(c.host);
    using transport::test::CanListen;
    const bool free = CanListen(host, 80) && CanListen(host, 800);
#ifdef _WIN32
    // tinyproxy is a Linux program: under Wine, tests/windows-proxies runs
    // these cases and starts one for each configuration written to its folder.
    const char* folder = std::getenv("TRANSPORT_TEST_PROXY_DIR");
    REQUIRE_REAL_PART(free && folder != nullptr, "tests/windows-proxies, and root to listen on ports 80 and 800");
    const std::string config = folder + ("/tinyproxy-" + host) + ".conf";
#else
    REQUIRE_REAL_PART(free && transport::test::RunProgram({"tinyproxy", "-v"}),
                      "tinyproxy, and root to listen on ports 80 and 800 of " + host);
    const std::string config = ::testing::TempDir() + "tinyproxy-" + host + ".conf";
#endif
    std::unique_ptr<ScriptedPeer> upstream(c.upstream ? new ScriptedPeer(host, 800) : nullptr);
    ScriptedPeer spare(host);
    std::ofstream(config + ".part", std::ios::binary) << "Port 80\nListen " << host << "\nAllow 127.0.0.0/8\nTimeout 30\n" << c.config;
    std::filesystem::rename(config + ".part", config);  // whole, for whoever starts the proxy
#ifdef _WIN32
    ASSERT_TRUE(Eventually([&] { return transport::test::ConnectsTo(host, 80); }, 10000));
#else
    transport::test::Child proxy({"tinyproxy", "-d", "-c", config});
    ASSERT_TRUE(proxy.Accepts(host, 80));
#endif
    Host(params_.szHost1, host);
    ports_->Route(host, 800, {PortMapPlatform::kRefuse, spare.Port()});
    ports_->Route(host, 80, {80});
    LogIn();
    Send(Message(150, {"one"}));
    Send(Message(151, {"two"}));
    ASSERT_TRUE(Have("info 1 0/0 151"));
    const std::string connect = "CONNECT " + host + ":800 HTTP/1.1\r\n\r\n";
    const std::string frames = LoginFrame() + "<g44>150<p>one</p></g44><g44>151<p>two</p></g44>";
    EXPECT_TRUE(trace_->Contains(std::string("R E C E I V E D<<<: ") + c.status));
    if (!c.upstream || std::strstr(c.status, " 200 ") == nullptr) {
        EXPECT_EQ(ports_->Sent(1), connect);
        EXPECT_EQ(spare.Received(0).substr(0, Post(LoginFrame(), host).size()), Post(LoginFrame(), host));
        return;
    }
    EXPECT_TRUE(Eventually([&] { return WithoutKeepAlives(ports_->Sent(1)) == connect + frames; }));
    EXPECT_EQ(WithoutKeepAlives(upstream->Received(0)), frames);  // no CONNECT behind the proxy
    EXPECT_EQ(spare.Connections(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Tinyproxy, RealProxy,
    ::testing::Values(RealProxyCase{"21", "ConnectPort 800\n", "HTTP/1.0 200 ", true},
                      RealProxyCase{"22", "ConnectPort 801\n", "HTTP/1.1 403 ", true},
                      RealProxyCase{"23", "ConnectPort 800\nBasicAuth walker secret\n", "HTTP/1.0 407 ", true},
                      RealProxyCase{"25", "ConnectPort 800\n", "HTTP/1.1 500 ", false}));

class Bearer : public E2e, public ::testing::WithParamInterface<std::uint32_t> {};

// The disconnected family asks for a new bearer after the reconnection
// delay, whose Connected confirms the surviving line with a keep-alive;
// Connected does that at once; the waiting family and other words change
// nothing. Messages queued meanwhile go on the same line.
TEST_P(Bearer, StatusChangeOnALoggedInClient) {
    UseClock(20);  // no keep-alive of the client's own within the test
    LogIn();
    ASSERT_TRUE(LoggedIn());
    const std::uint32_t status = GetParam();
    const bool lost = (status & 0xF0) == 0x20, confirmed = lost || status == 0x10;
    bearer_->SetStatus(status);
    Lines expected = {"establish", "connect 127.0.0.1:800"};
    if (lost) expected.insert(expected.end(), {"release", "sleep 700", "establish"});
    ASSERT_TRUE(Eventually([&] { return ports_->Journal() == expected; }));
    // Confirmed with nothing queued: a keep-alive (with a queue, the queue goes).
    ASSERT_TRUE(!confirmed || Eventually([&] { return peer_.Received(0).find(kKeepAlive) != std::string::npos; }));
    Send(Message(60, {"one"}));
    ASSERT_TRUE(Have("info 1 0/0 60"));
    Pass(10 * 1000);
    EXPECT_EQ(WithoutKeepAlives(peer_.Received(0)), LoginFrame() + "<g44>60<p>one</p></g44>");
    EXPECT_EQ(peer_.Received(0).find(kKeepAlive) != std::string::npos, confirmed);
    EXPECT_EQ(ports_->Journal(), expected);
    EXPECT_EQ(peer_.Connections(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, Bearer,
                         ::testing::Values(0x10, 0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x40, 0x41, 0x42, 0x80,
                                           0x81, 0x11, 0x00, 0x100));

}  // namespace
}  // namespace e2e
