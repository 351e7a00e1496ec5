// The ways to the server: host entries and the three connection types in
// their order against real refusals, time-outs and hang-ups, the HTTP POST
// wrapping byte for byte, the CONNECT tunnel through a real proxy and
// through proxies that misbehave, and the bearer's status changes.

#include <unistd.h>

#include <cstring>
#include <fstream>

#include "e2e/E2eFixture.h"
#include "support/LoopbackPeer.h"
#include "support/Subprocess.h"

namespace e2e {
namespace {

using transport::test::BackgroundProcess;

// One pass over a host that refuses all three ways, as the journal shows it;
// each attempt but the very first follows a 500 ms pause.
Lines RefusedPass(const std::string& host, bool first = false) {
    Lines out = {"sleep 500", "connect " + host + ":800", "sleep 500", "connect " + host + ":80",
                 "sleep 500", "connect " + host + ":800"};
    return first ? Lines(out.begin() + 1, out.end()) : out;
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

class Walk : public E2e {
protected:
    void SetUp() override {
        E2e::SetUp();
        std::memset(params_.szHost1, 0, sizeof params_.szHost1);
    }
};

// Nothing but refusals: the client's pauses are all the walk costs.
TEST_F(Walk, EmptyEntriesAreSkippedEachWrapCountsACycleAndTheLimitEndsIt) {
    UseClock(1000);
    std::strcpy(params_.szHost3, "127.0.0.31");
    params_.nMaxReconCount = 2;
    LogIn();
    ASSERT_TRUE(Have("error 11 -"));
    const Lines walk = Join({{"establish"}, RefusedPass("127.0.0.31", true), {"sleep 700"},
                             RefusedPass("127.0.0.31"), {"sleep 700"}});
    Pass(10 * 60 * 1000);
    EXPECT_EQ(ports_->Journal(), walk);
    EXPECT_EQ(Packages(), Lines{"error 11 -"});
    EXPECT_EQ(trace_->Count("GetNextHostName() return NULL"), 5u);  // entries 4, 1, 2, 4, 1

    // A Connected bearer buys one attempt; a new log-in the whole walk again.
    bearer_->SetStatus(0x10);
    ASSERT_TRUE(Have("error 11 -", 2));
    EXPECT_EQ(ports_->Journal().back(), "connect 127.0.0.31:800");
    LogIn();
    ASSERT_TRUE(Have("error 11 -", 3));
    EXPECT_EQ(ports_->Journal(), Join({walk, {"connect 127.0.0.31:800", "release"}, walk}));
}

TEST_F(Walk, EveryKindOfFailureInItsPlaceUntilTheFourthEntryAnswersByPost) {
    UseClock(200);
    ScriptedPeer hangUp("127.0.0.34"), server("127.0.0.34");
    hangUp.SetOnAccept(ScriptedPeer::OnAccept::kHangUp);
    std::strcpy(params_.szHost1, "nohost.invalid");  // never resolves
    std::strcpy(params_.szHost2, "127.0.0.35");      // refuses everything
    std::strcpy(params_.szHost3, "127.0.0.36");      // times out
    std::strcpy(params_.szHost4, "127.0.0.34");      // hangs up, then serves by POST
    ports_->Route("127.0.0.36", 800, {PortMapPlatform::kTimeOut});
    ports_->Route("127.0.0.34", 800, {hangUp.Port(), server.Port()});
    ports_->Route("127.0.0.34", 80, {hangUp.Port()});
    LogIn();
    ASSERT_TRUE(LoggedIn());
    // An unresolved name is tried all three ways (at the none address), a
    // refusing host too, a timed-out one only once.
    const Lines targets = {"255.255.255.255:800", "255.255.255.255:80", "255.255.255.255:800",
                           "127.0.0.35:800", "127.0.0.35:80", "127.0.0.35:800", "127.0.0.36:800",
                           "127.0.0.34:800", "127.0.0.34:80", "127.0.0.34:800"};
    EXPECT_EQ(ports_->Targets(), targets);
    EXPECT_EQ(hangUp.Connections(), 2u);
    EXPECT_EQ(server.Received(0), Post(LoginFrame(), "127.0.0.34"));
    EXPECT_TRUE(Eventually([&] { return client_->LastType() == CNetClient::CONNTYPE_HTTP; }));

    // The way that worked is kept: after a drop, POST to the same host at once.
    server.DropAll();
    ASSERT_TRUE(Eventually([&] { return server.Frames().size() == 2; }));
    EXPECT_EQ(ports_->Targets().size(), targets.size() + 1);
    EXPECT_EQ(server.Received(1), Post(LoginFrame(), "127.0.0.34"));
}

// Direct refused once, the tunnel's port refused: every request is a POST
// naming the host entry as configured, its body neither encoded nor cut.
TEST_F(Walk, PostWrapsEveryRequestAndTheAnswersComeInsideResponses) {
    std::strcpy(params_.szHost1, "localhost");
    ports_->Route("127.0.0.1", 800, {PortMapPlatform::kRefuse, peer_.Port()});
    peer_.SetRule([](const Frame& f) { return f.id == 171 ? "<g44>7<p>0</p></g44>" : ScriptedPeer::Usual(f); });
    LogIn();
    ASSERT_TRUE(LoggedIn());
    const std::string longText(1800, 'x');
    const std::string bytes = {0x00, '\xFF', 0x10, '<', '>', 0x7F, '\x80'};
    Send(Message(170, {"a b&c=d%20+e"}));
    Send(Message(171, {longText}));
    Send(Message(300, {}, 2, &bytes));
    ASSERT_TRUE(Have("info 1 0/0 300"));
    EXPECT_EQ(ports_->Targets(), (Lines{"127.0.0.1:800", "127.0.0.1:80", "127.0.0.1:800"}));
    EXPECT_EQ(WithoutKeepAlives(peer_.Received(0)),
              Post(LoginFrame(), "localhost") + Post("<g44>170<p>a b&c=d%20+e</p></g44>", "localhost") +
                  Post("<g44>171<p>" + longText + "</p></g44>", "localhost") +
                  Post("<g44>300<p>AP8QPD5/gA==</p></g44>", "localhost"));

    // Responses the server sends on its own: headers dropped, frames in order.
    ASSERT_TRUE(peer_.Push("HTTP/1.1 200 OK\r\nContent-Length: 45\r\n\r\n<g44>5<p>pushed</p></g44><g44>6<p>x</p></g44>"));
    ASSERT_TRUE(peer_.Push("HTTP/1.1 200 OK\r\nContent-Length: 24\r\n\r\n<g44>5<p>sp"));
    ASSERT_TRUE(peer_.Push("lit</p></g44>"));
    ASSERT_TRUE(Have("msg 5 split"));
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 170", "error 7 171", "info 1 0/0 300",
                                 "msg 5 pushed", "msg 6 x", "msg 5 split"}));
}

// ---- The tunnel ----

struct ProxyCase {
    const char* name;
    const char* reply;  // to the CONNECT
    bool opens;
};

class Tunnel : public Walk, public ::testing::WithParamInterface<ProxyCase> {};

// Only a status line with the code 200 opens the tunnel; after any other
// reply nothing but the CONNECT reaches the proxy, and once it hangs up the
// walk goes on to POST.
TEST_P(Tunnel, OnlyStatus200OpensTheTunnel) {
    ScriptedPeer proxy("127.0.0.24"), server("127.0.0.24");
    proxy.SetTunnelReply(GetParam().reply);
    std::strcpy(params_.szHost1, "127.0.0.24");
    ports_->Route("127.0.0.24", 800, {PortMapPlatform::kRefuse, server.Port()});
    ports_->Route("127.0.0.24", 80, {proxy.Port()});
    LogIn();
    const std::string connect = "CONNECT 127.0.0.24:800 HTTP/1.1\r\n\r\n";
    if (GetParam().opens) {
        ASSERT_TRUE(LoggedIn());
        EXPECT_EQ(WithoutKeepAlives(proxy.Received(0)), connect + LoginFrame());
        return;
    }
    ASSERT_TRUE(Eventually([&] { return trace_->Contains(std::string("R E C E I V E D<<<: ") + GetParam().reply); }));
    Pass(20 * 1000);
    EXPECT_EQ(proxy.Received(0), connect);
    EXPECT_EQ(ports_->Targets().size(), 2u);
    proxy.DropAll();
    ASSERT_TRUE(LoggedIn());
    EXPECT_EQ(server.Received(0), Post(LoginFrame(), "127.0.0.24"));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, Tunnel,
    ::testing::Values(ProxyCase{"Open", "HTTP/1.1 200 Connection established\r\n\r\n", true},
                      ProxyCase{"LengthOf200", "HTTP/1.1 403 Forbidden\r\nContent-Length: 200\r\n\r\n", false},
                      ProxyCase{"Note200", "HTTP/1.0 407 Proxy Authentication Required\r\nX-Note: 200 OK\r\n\r\n", false},
                      ProxyCase{"Code2000", "HTTP/1.1 2000 Odd\r\n\r\n", false}),
    [](const auto& p) { return std::string(p.param.name); });

struct RealProxyCase {
    const char* name;
    const char* host;  // one for each case: they run side by side
    const char* config;  // lines added to the proxy's configuration
    const char* status;  // the start of its reply
};

class RealProxy : public Walk, public ::testing::WithParamInterface<RealProxyCase> {};

// Through tinyproxy on port 80 of the case's own address, in front of the
// server on port 800 there: the log-in and the queue as plain frames once
// the proxy said 200; a refusal leads on to POST (to a peer of the test's).
TEST_P(RealProxy, TunnelCarriesPlainFramesOrTheRefusalLeadsToPost) {
    const std::string host = GetParam().host;
    std::uint16_t port80 = 80, port800 = 800;
    const int probe80 = transport::test::BindLoopback(host, &port80);
    const int probe800 = transport::test::BindLoopback(host, &port800);
    for (int fd : {probe80, probe800}) {
        if (fd >= 0) close(fd);
    }
    const bool hasProxy = transport::test::RunCommand({"sh", "-c", "command -v tinyproxy"}).ok();
    REQUIRE_REAL_PART(hasProxy && probe80 >= 0 && probe800 >= 0,
                      "tinyproxy, and root to listen on ports 80 and 800 of " + host);
    const bool opens = std::strcmp(GetParam().status, "HTTP/1.0 200 ") == 0;
    std::unique_ptr<ScriptedPeer> upstream;
    if (std::strstr(GetParam().name, "Nothing") == nullptr) upstream = std::make_unique<ScriptedPeer>(host, 800);
    ScriptedPeer spare(host);
    const std::string config = ::testing::TempDir() + "tinyproxy-" + host + ".conf";
    std::ofstream(config) << "Port 80\nListen " << host << "\nAllow 127.0.0.0/8\nTimeout 30\n"
                          << "MaxClients 20\nDisableViaHeader Yes\n" << GetParam().config;
    BackgroundProcess proxy;
    ASSERT_TRUE(proxy.Start({"tinyproxy", "-d", "-c", config}, host, 80));
    std::strcpy(params_.szHost1, host.c_str());
    ports_->Route(host, 800, {PortMapPlatform::kRefuse, spare.Port()});
    ports_->Route(host, 80, {80});
    LogIn();
    ASSERT_TRUE(LoggedIn());
    const std::string connect = "CONNECT " + host + ":800 HTTP/1.1\r\n\r\n";
    EXPECT_TRUE(trace_->Contains(std::string("R E C E I V E D<<<: ") + GetParam().status));
    if (!opens) {
        EXPECT_EQ(ports_->Sent(1), connect);
        EXPECT_EQ(spare.Received(0), Post(LoginFrame(), host));
        return;
    }
    Send(Message(150, {"one"}));
    Send(Message(151, {"two"}));
    ASSERT_TRUE(Have("info 1 0/0 151"));
    const std::string frames = LoginFrame() + "<g44>150<p>one</p></g44><g44>151<p>two</p></g44>";
    EXPECT_TRUE(Eventually([&] { return WithoutKeepAlives(ports_->Sent(1)) == connect + frames; }));
    EXPECT_EQ(WithoutKeepAlives(upstream->Received(0)), frames);  // no CONNECT behind the proxy
    EXPECT_EQ(ports_->Targets(), (Lines{host + ":800", host + ":80"}));
    EXPECT_EQ(spare.Connections(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Tinyproxy, RealProxy,
    ::testing::Values(RealProxyCase{"Allowed", "127.0.0.21", "ConnectPort 800\n", "HTTP/1.0 200 "},
                      RealProxyCase{"PortNotAllowed", "127.0.0.22", "ConnectPort 801\n", "HTTP/1.1 403 "},
                      RealProxyCase{"CredentialsRequired", "127.0.0.23", "ConnectPort 800\nBasicAuth walker secret\n",
                                    "HTTP/1.0 407 "},
                      RealProxyCase{"NothingBehind", "127.0.0.25", "ConnectPort 800\n", "HTTP/1.1 500 "}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- The bearer ----

struct BearerCase {
    std::uint32_t status;
    Lines journal;   // after the log-in's "establish", "connect ..."
    bool keepAlive;  // the line is confirmed on the same connection
};

class Bearer : public E2e, public ::testing::WithParamInterface<BearerCase> {};

// The disconnected family asks for a new bearer after the reconnection
// delay, whose Connected confirms the surviving line with a keep-alive;
// Connected does that at once; the other words change nothing.
TEST_P(Bearer, StatusChangeOnALoggedInClient) {
    UseClock(20);  // no keep-alive of the client's own within the test
    LogIn();
    ASSERT_TRUE(LoggedIn());
    bearer_->SetStatus(GetParam().status);
    const Lines expected = Join({{"establish", "connect 127.0.0.1:800"}, GetParam().journal});
    ASSERT_TRUE(Eventually([&] { return ports_->Journal() == expected; })) << ::testing::PrintToString(ports_->Journal());
    if (GetParam().keepAlive) {
        ASSERT_TRUE(Eventually([&] { return peer_.Frames().size() == 2; }));
    }
    Pass(10 * 1000);
    EXPECT_EQ(peer_.Received(0), LoginFrame() + (GetParam().keepAlive ? kKeepAlive : ""));
    EXPECT_EQ(ports_->Journal(), expected);
    EXPECT_EQ(peer_.Connections(), 1u);
    EXPECT_TRUE(Eventually([&] { return client_->State() == CNetClient::CONN_CONNECTED; }));
}

const Lines kNewBearer = {"release", "sleep 700", "establish"};

INSTANTIATE_TEST_SUITE_P(
    Statuses, Bearer,
    ::testing::Values(BearerCase{0x10, {}, true}, BearerCase{0x20, kNewBearer, true},
                      BearerCase{0x21, kNewBearer, true}, BearerCase{0x22, kNewBearer, true},
                      BearerCase{0x23, kNewBearer, true}, BearerCase{0x24, kNewBearer, true},
                      BearerCase{0x25, kNewBearer, true}, BearerCase{0x26, kNewBearer, true},
                      BearerCase{0x40, {}, false}, BearerCase{0x41, {}, false},
                      BearerCase{0x42, {}, false}, BearerCase{0x80, {}, false},
                      BearerCase{0x81, {}, false}, BearerCase{0x11, {}, false},
                      BearerCase{0x00, {}, false}, BearerCase{0x100, {}, false}));

// Messages queued while the bearer is away wait for its Connected, then go
// on the line that survived.
TEST_F(Walk, MessagesQueuedWhileTheBearerIsAwayGoWhenItIsBack) {
    std::strcpy(params_.szHost1, "127.0.0.1");
    UseClock(20);
    LogIn();
    ASSERT_TRUE(LoggedIn());
    bearer_->SetEstablishStatus(std::nullopt);
    bearer_->SetStatus(0x22);
    ASSERT_TRUE(Eventually([&] { return ports_->Journal().size() == 5; }));
    Send(Message(60, {"one"}));
    Pass(10 * 1000);
    EXPECT_EQ(peer_.Frames().size(), 1u);
    bearer_->SetStatus(0x10);
    ASSERT_TRUE(Have("info 1 0/0 60"));
    EXPECT_EQ(peer_.Ids(0), (std::vector<long>{1, 60}));
    EXPECT_EQ(peer_.Connections(), 1u);
}

}  // namespace
}  // namespace e2e
