// The second way to the server: a CONNECT tunnel through port 80. Against a
// real proxy (tinyproxy, started by each test in front of the server on port
// 800 of its own loopback address): the request as the client writes it, the
// log-in as plain frames once the proxy has said 200, then the queue; and the
// proxy's refusals, which leave the tunnel closed and lead to the next way.
// Against a proxy of the test's own: only a status line with the code 200
// opens the tunnel.

#include <memory>
#include <string>
#include <vector>

#include "e2e/WalkFixture.h"
#include "support/ReplyServer.h"
#include "support/TinyProxy.h"

namespace e2e {
namespace {

using transport::test::ReplyServer;
using transport::test::TinyProxy;
using Lines = std::vector<std::string>;

const char kKeepAlive[] = "<g44>12<p>Keep-Alive</p></g44>";

std::string WithoutKeepAlives(std::string text) {
    for (std::size_t at = text.find(kKeepAlive); at != std::string::npos; at = text.find(kKeepAlive)) {
        text.erase(at, sizeof(kKeepAlive) - 1);
    }
    return text;
}

// The tunnel's own trace line for the reply that opened it (or did not).
std::string ReceivedLine(const std::string& reply) { return "R E C E I V E D<<<: " + reply; }

// ---- Through tinyproxy ----

const char kProxyHost[] = "127.0.0.21";
const char kConnect[] = "CONNECT 127.0.0.21:800 HTTP/1.1\r\n\r\n";

// The direct way is refused once; the tunnel reaches the real proxy on port
// 80, which reaches port 800 of the same address. An HTTP attempt on port 800
// goes to a server of the test's own (m_spare), so that what follows a
// refusal is seen without the proxy's help.
class TunnelTest : public WalkTest {
protected:
    TunnelTest() : WalkTest(kDefaultFactor) {}

    void SetUp() override {
        WalkTest::SetUp();
        if (!TinyProxy::Installed()) GTEST_SKIP() << "tinyproxy is not installed";
        if (!TinyProxy::CanListen(kProxyHost, 80) || !TinyProxy::CanListen(kProxyHost, 800)) {
            GTEST_SKIP() << "cannot listen on ports 80 and 800 of " << kProxyHost
                         << " (needs root, and the ports free)";
        }
        SetHost(m_params.szHost1, kProxyHost);
        m_script.Then(kProxyHost, 800, {ConnectScript::Refuse()});
        m_script.Set(kProxyHost, 80, ConnectScript::RouteTo(80));
        m_script.Set(kProxyHost, 800, ConnectScript::RouteTo(m_spare.Port()));
    }

    void StartProxy(TinyProxy::Options options = TinyProxy::Options{}) {
        options.address = kProxyHost;
        m_proxy = std::make_unique<TinyProxy>(options);
        ASSERT_TRUE(m_proxy->Running()) << m_proxy->Error();
    }

    // The server behind the proxy, on the port the CONNECT asks for.
    FakeServer& StartUpstream() {
        m_upstream = std::make_unique<FakeServer>(800, kProxyHost);
        return *m_upstream;
    }

    std::string ProxyLog() const { return m_proxy ? m_proxy->Log() : std::string(); }

    FakeServer m_spare{0, kProxyHost};
    std::unique_ptr<FakeServer> m_upstream;
    std::unique_ptr<TinyProxy> m_proxy;
};

TEST_F(TunnelTest, DirectWayRefusedTheTunnelCarriesLoginAndQueueAsPlainFrames) {
    StartProxy();
    FakeServer& upstream = StartUpstream();
    StartWalk("abc", "pw");
    ASSERT_TRUE(WaitLoggedIn()) << ProxyLog();

    EXPECT_EQ(m_script.Targets(), (Lines{"127.0.0.21:800", "127.0.0.21:80"}));
    // To the proxy: the CONNECT request, then, once it said 200, the log-in.
    const std::string login = LoginFrame("abc", "pw");
    EXPECT_EQ(m_script.Attempts().at(1).sent.substr(0, sizeof(kConnect) - 1 + login.size()),
              kConnect + login);
    EXPECT_TRUE(m_trace.Contains(
        ReceivedLine("HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy/")));
    // Behind the proxy the server sees no CONNECT, only the frames.
    EXPECT_EQ(upstream.ConnectionCount(), 1u);
    EXPECT_TRUE(upstream.ConnectRequests().empty());
    EXPECT_EQ(upstream.Received(0).substr(0, login.size()), login);

    // The queue flows through the tunnel, each message after the answer to
    // the one before.
    NetMessage first = MakeMessage(150, 2, {"one"});
    NetMessage second = MakeMessage(151, 2, {"two"});
    m_client->Send(&first);
    m_client->Send(&second);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 2));
    const std::string frames = login + "<g44>150<p>one</p></g44><g44>151<p>two</p></g44>";
    // The wrapper records what was sent once the send returns, which may be
    // after the answer has arrived.
    EXPECT_TRUE(Eventually(
        [&] { return WithoutKeepAlives(m_script.Attempts().at(1).sent) == kConnect + frames; }))
        << WithoutKeepAlives(m_script.Attempts().at(1).sent);
    EXPECT_EQ(WithoutKeepAlives(upstream.Received(0)), frames);
    EXPECT_EQ(m_spare.ConnectionCount(), 0u);
    EXPECT_TRUE(Eventually([&] { return Client().LastConnType() == CNetClient::CONNTYPE_TUNNEL; }));
}

TEST_F(TunnelTest, LostTunnelIsOpenedAgainThroughTheProxyAndTheMessageResent) {
    StartProxy();
    FakeServer& upstream = StartUpstream();
    StartWalk("abc", "pw");
    ASSERT_TRUE(WaitLoggedIn()) << ProxyLog();
    ASSERT_TRUE(Eventually([&] { return Client().LastConnType() == CNetClient::CONNTYPE_TUNNEL; }));

    // The server hangs up on the message; the proxy closes the client's side.
    upstream.DropOnId(152);
    NetMessage lost = MakeMessage(152, 2, {"again"});
    m_client->Send(&lost);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1)) << ProxyLog();

    // The tunnel that worked is kept: port 80 again, a new CONNECT, the log-in
    // first, then the message that was not answered.
    EXPECT_EQ(m_script.Targets(), (Lines{"127.0.0.21:800", "127.0.0.21:80", "127.0.0.21:80"}));
    EXPECT_EQ(WithoutKeepAlives(m_script.Attempts().at(2).sent),
              kConnect + LoginFrame("abc", "pw") + "<g44>152<p>again</p></g44>");
    EXPECT_EQ(upstream.ConnectionCount(), 2u);
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_MESSAGE, 1), 1u);
}

struct Refusal {
    const char* name;
    std::vector<std::uint16_t> connectPorts;
    const char* basicAuth;
    const char* statusLine;  // the start of the proxy's reply
};

class TunnelRefusalTest : public TunnelTest, public ::testing::WithParamInterface<Refusal> {};

// The proxy refuses; the tunnel stays closed (nothing after the CONNECT goes
// to the proxy) and the walk goes on to the third way, HTTP on port 800.
TEST_P(TunnelRefusalTest, RefusalLeavesTheTunnelClosedAndLeadsToTheNextWay) {
    TinyProxy::Options options;
    options.connectPorts = GetParam().connectPorts;
    options.basicAuth = GetParam().basicAuth;
    StartProxy(options);
    StartWalk("abc", "pw");
    ASSERT_TRUE(WaitLoggedIn()) << ProxyLog();

    EXPECT_EQ(m_script.Targets(), (Lines{"127.0.0.21:800", "127.0.0.21:80", "127.0.0.21:800"}));
    EXPECT_EQ(m_script.Attempts().at(1).sent, kConnect);
    EXPECT_TRUE(m_trace.Contains(ReceivedLine(GetParam().statusLine))) << ProxyLog();
    EXPECT_EQ(m_spare.Received(0), Post(LoginFrame("abc", "pw"), kProxyHost));
    EXPECT_TRUE(Eventually([&] { return Client().LastConnType() == CNetClient::CONNTYPE_HTTP; }));
}

INSTANTIATE_TEST_SUITE_P(
    Proxy, TunnelRefusalTest,
    ::testing::Values(
        // Port 800 is not among the ports a CONNECT may ask for.
        Refusal{"PortNotAllowed", {801}, "", "HTTP/1.1 403 "},
        // The proxy wants credentials, which the client never gives.
        Refusal{"CredentialsRequired", {800}, "walker secret", "HTTP/1.0 407 "},
        // Nothing listens on port 800 behind the proxy.
        Refusal{"NothingBehind", {800}, "", "HTTP/1.1 500 "}),
    [](const ::testing::TestParamInfo<Refusal>& p) { return std::string(p.param.name); });

// ---- Through a proxy of the test's own ----

const char kFakeProxyHost[] = "127.0.0.24";
const char kFakeConnect[] = "CONNECT 127.0.0.24:800 HTTP/1.1\r\n\r\n";

class FakeProxyFixture : public WalkTest {
protected:
    FakeProxyFixture() : WalkTest(kDefaultFactor) {}

    void SetUp() override {
        WalkTest::SetUp();
        SetHost(m_params.szHost1, kFakeProxyHost);
        m_script.Then(kFakeProxyHost, 800, {ConnectScript::Refuse()});
        m_script.Set(kFakeProxyHost, 800, ConnectScript::RouteTo(m_behind.Port()));
    }

    FakeServer m_behind{0, kFakeProxyHost};
};

class FakeProxyTest : public FakeProxyFixture, public ::testing::WithParamInterface<const char*> {};

// A refusal that carries "200" elsewhere than in its status code: the proxy
// holds the line, and for twenty seconds of the client's time nothing but
// the CONNECT reaches it. Once it hangs up, the walk goes on.
TEST_P(FakeProxyTest, TwoHundredOutsideTheStatusCodeDoesNotOpenTheTunnel) {
    const std::string reply = GetParam();
    ReplyServer proxy(kFakeProxyHost, ReplyServer::Mode::kReplyAndHold, reply);
    m_script.Set(kFakeProxyHost, 80, ConnectScript::RouteTo(proxy.Port()));
    StartWalk("abc", "pw");
    ASSERT_TRUE(proxy.WaitForReplies(1, kWait));
    ASSERT_TRUE(m_trace.WaitFor(ReceivedLine(reply), kWaitMs));

    LetClientTimePass(20 * 1000);
    EXPECT_EQ(proxy.Received(0), kFakeConnect);
    EXPECT_EQ(m_script.Attempts().at(1).sent, kFakeConnect);
    EXPECT_EQ(m_script.AttemptCount(), 2u);
    EXPECT_NE(Client().State(), CNetClient::CONN_CONNECTED);

    proxy.CloseAll();
    ASSERT_TRUE(WaitLoggedIn());
    EXPECT_EQ(m_script.Targets(), (Lines{"127.0.0.24:800", "127.0.0.24:80", "127.0.0.24:800"}));
    EXPECT_TRUE(m_behind.FramesWithId(1).at(0).viaHttp);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, FakeProxyTest,
    ::testing::Values("HTTP/1.1 403 Forbidden\r\nContent-Length: 200\r\n\r\n",
                      "HTTP/1.1 502 Bad Gateway\r\nDate: Sat, 01 Jan 2000 12:00:00 GMT\r\n\r\n",
                      "HTTP/1.0 407 Proxy Authentication Required\r\nX-Note: 200 OK later\r\n\r\n",
                      "HTTP/1.1 2000 Odd\r\n\r\n"));

// The same proxy with a reply whose status code is 200 opens the tunnel: the
// log-in follows the CONNECT on the same line.
class FakeProxyOpenTest : public FakeProxyFixture {};

TEST_F(FakeProxyOpenTest, StatusCode200OpensTheTunnel) {
    ReplyServer proxy(kFakeProxyHost, ReplyServer::Mode::kReplyAndHold,
                      "HTTP/1.1 200 Connection established\r\n\r\n");
    m_script.Set(kFakeProxyHost, 80, ConnectScript::RouteTo(proxy.Port()));
    const std::string login = LoginFrame("abc", "pw");
    StartWalk("abc", "pw");
    ASSERT_TRUE(m_script.WaitForSent(1, login, kWait));
    EXPECT_EQ(m_script.Attempts().at(1).sent, kFakeConnect + login);
    EXPECT_TRUE(Eventually([&] { return proxy.Received(0) == kFakeConnect + login; }));
    StopClient();
}

}  // namespace
}  // namespace e2e
