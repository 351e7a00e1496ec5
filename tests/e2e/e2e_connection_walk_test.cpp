// The walk over host entries and connection types while nothing answers,
// the HTTP wrappings it reaches, and what a long run of failed attempts
// leaves behind (no descriptors).

#include "e2e/E2eFixture.h"
#include "support/LoopbackPeer.h"

namespace e2e {
namespace {

using Attempt = transport::test::PortMapPlatform::Attempt;

std::vector<std::pair<std::string, int>> Pairs(const std::vector<Attempt>& attempts,
                                               std::size_t n) {
    std::vector<std::pair<std::string, int>> out;
    for (std::size_t i = 0; i < attempts.size() && i < n; ++i) {
        out.emplace_back(attempts[i].host, attempts[i].port);
    }
    return out;
}

// Nothing answers at first: every connect is refused until a test maps a
// port to a server.
class WalkFixture : public E2eTest {
protected:
    explicit WalkFixture(std::uint32_t factor) : E2eTest(factor) {}
    void SetUp() override {
        E2eTest::SetUp();
        m_ports.MapPort(800, m_closed.Port());
        m_params.nMaxReconCount = 100000;
        m_params.dwReconDelay = 100;
    }
};

// Refused attempts cost only the client's 500 ms pauses: a faster clock.
class ConnectionWalkTest : public WalkFixture {
protected:
    ConnectionWalkTest() : WalkFixture(1000) {}
};

// Tests that reach a server keep the usual clock, so that answers come well
// within the client's response time-out.
class ConnectionTypeTest : public WalkFixture {
protected:
    ConnectionTypeTest() : WalkFixture(kDefaultFactor) {}
};

TEST_F(ConnectionWalkTest, EachHostIsTriedDirectTunnelHttpThenTheNextAndTheWalkWraps) {
    std::strcpy(m_params.szHost1, "127.0.0.1");
    std::strcpy(m_params.szHost3, "127.0.0.3");  // entries 2 and 4 stay empty
    StartClient();
    ASSERT_TRUE(m_ports.WaitForAttempts(7, kWait));

    const std::vector<std::pair<std::string, int>> expected = {
        {"127.0.0.1", 800}, {"127.0.0.1", 80}, {"127.0.0.1", 800},
        {"127.0.0.3", 800}, {"127.0.0.3", 80}, {"127.0.0.3", 800},
        {"127.0.0.1", 800}};
    EXPECT_EQ(Pairs(m_ports.Attempts(), 7), expected);
    EXPECT_GE(m_trace.Count("GetNextHostName() return NULL"), 2u);
    EXPECT_TRUE(m_trace.Contains("Connecting to HOST: 127.0.0.1 PORT: 80 conntype=1...."));
    EXPECT_TRUE(m_trace.Contains("Connecting to HOST: 127.0.0.3 PORT: 800 conntype=2...."));
    EXPECT_TRUE(m_trace.Contains("WSAECONNREFUSED: Connection refused."));
    EXPECT_EQ(PackageLog::Get().Entries().size(), 0u);
}

TEST_F(ConnectionTypeTest, WalkReachesTheHostThatAnswersAndLogsIn) {
    FakeServer third(0, "127.0.0.3");
    m_ports.MapPort(800, third.Port());  // nothing listens there on 127.0.0.1
    std::strcpy(m_params.szHost2, "127.0.0.2");
    std::strcpy(m_params.szHost3, "127.0.0.3");
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());

    auto attempts = m_ports.Attempts();
    ASSERT_EQ(attempts.size(), 7u);
    EXPECT_EQ(attempts.back().host, "127.0.0.3");
    EXPECT_EQ(attempts.back().port, 800);
    EXPECT_EQ(third.ConnectionCount(), 1u);
    EXPECT_EQ(third.FramesWithId(1).size(), 1u);
    EXPECT_EQ(m_server.ConnectionCount(), 0u);
    StopClient();
}

// The first connection is dropped at its log-in, the tunnel port is
// closed: the third type, HTTP POST requests on port 800, is reached.
TEST_F(ConnectionTypeTest, HttpTypeWrapsEveryRequestInAPost) {
    m_ports.MapPort(800, m_server.Port());
    m_server.DropOnId(1);
    StartClient("abc", "pw");
    ASSERT_TRUE(WaitLoggedIn());
    const std::string login = LoginFrame("abc", "pw");
    const std::string expected =
        "POST /mpsrv HTTP/1.1\r\nContent-Length: " + std::to_string(login.size()) +
        "\r\nHost: 127.0.0.1:800\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + login;
    EXPECT_EQ(m_server.Received(1).substr(0, expected.size()), expected);

    // Later requests on that line are wrapped too, and their answers, inside
    // HTTP responses, reach the handler.
    NetMessage m = MakeMessage(160, 2, {"posted"});
    m_client->Send(&m);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));
    auto posted = m_server.FramesWithId(160);
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_TRUE(posted[0].viaHttp);
    EXPECT_EQ(posted[0].text, "<g44>160<p>posted</p></g44>");
    auto attempts = Pairs(m_ports.Attempts(), 3);
    EXPECT_EQ(attempts, (std::vector<std::pair<std::string, int>>{
                            {"127.0.0.1", 800}, {"127.0.0.1", 80}, {"127.0.0.1", 800}}));
}

TEST_F(ConnectionTypeTest, TunnelTypeOpensWithConnectThenCarriesPlainFrames) {
    m_ports.MapPort(800, m_server.Port());
    m_ports.MapPort(80, m_server.Port());
    m_server.DropOnId(1);
    StartClient("abc", "pw");
    ASSERT_TRUE(WaitLoggedIn());

    const std::string connect = "CONNECT 127.0.0.1:800 HTTP/1.1\r\n\r\n";
    EXPECT_EQ(m_server.Received(1), connect + LoginFrame("abc", "pw"));
    EXPECT_EQ(m_server.ConnectRequests(), (std::vector<std::string>{"CONNECT 127.0.0.1:800 HTTP/1.1"}));
    NetMessage m = MakeMessage(161, 2, {"tunnelled"});
    m_client->Send(&m);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));
    EXPECT_FALSE(m_server.FramesWithId(161).at(0).viaHttp);
    EXPECT_EQ(m_ports.Attempts().at(1).port, 80);
}

// A thousand refused connects: every socket of every attempt is closed again.
TEST_F(ConnectionWalkTest, ThousandFailedAttemptsLeaveTheDescriptorCount) {
    // One short run first, so that whatever the platform sets up once (and
    // keeps) is in place before the count is taken.
    StartClient();
    ASSERT_TRUE(m_ports.WaitForAttempts(3, kWait));
    StopClient();

    const std::size_t before = transport::test::OpenDescriptorCount();
    const std::size_t start = m_ports.AttemptCount();
    StartClient();
    ASSERT_TRUE(m_ports.WaitForAttempts(start + 100, kWait * 4));
    const std::size_t running = transport::test::OpenDescriptorCount();
    ASSERT_TRUE(m_ports.WaitForAttempts(start + 1000, kWait * 4));
    // Not growing while it runs either (the socket of the attempt under way
    // may come and go).
    EXPECT_LE(transport::test::OpenDescriptorCount(), running + 2);
    StopClient();
    EXPECT_EQ(transport::test::OpenDescriptorCount(), before);
}

}  // namespace
}  // namespace e2e
