// The reconnection walk against real failures, attempt by attempt: host
// entries and connection types in their order, empty entries passed one
// main-loop pass each, a wrap counting one cycle after its pause, a time-out
// leaving the host, a connection type that worked being kept, and the limit:
// error 11 once, then silence until new work, a Connected bearer or a Login.

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "e2e/WalkFixture.h"
#include "support/ReplyServer.h"

namespace e2e {
namespace {

using transport::test::ReplyServer;
using Lines = std::vector<std::string>;

Lines Join(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

// One pass over a host that refuses all three ways, as the journal shows it:
// direct, tunnel, HTTP, each after the 500 ms pause of a socket-level
// reconnect (the very first attempt follows the bearer instead).
Lines RefusedPass(const std::string& address, bool first = false) {
    Lines out;
    if (!first) out.push_back("sleep 500");
    out.insert(out.end(), {"connect " + address + ":800", "sleep 500", "connect " + address + ":80",
                           "sleep 500", "connect " + address + ":800"});
    return out;
}

std::string Attempt(const std::string& host, int port, int type) {
    return "Connecting to HOST: " + host + " PORT: " + std::to_string(port) +
           " conntype=" + std::to_string(type) + "....";
}

std::string Reconnecting(int recon, int attempt) {
    return "Reconnecting... Reconnect Count=" + std::to_string(recon) +
           ", Attempt Count=" + std::to_string(attempt);
}

const char kNull[] = "GetNextHostName() return NULL";
const char kGiveUp[] = "ReconCount=MAXRECONCOUNT Set to Application Connection Refused ...";

// Nothing but refusals: the client's pauses are all the walk costs, so the
// clock runs fast.
class RefusedWalkTest : public WalkTest {
protected:
    RefusedWalkTest() : WalkTest(1000) {}

    // Only the third entry is set, the limit is two cycles; returns once the
    // client has given up the first time.
    void GiveUpOnTheThirdEntry() {
        SetHost(m_params.szHost3, "127.0.0.31");
        m_params.nMaxReconCount = 2;
        StartWalk();
        ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 1));
    }
};

TEST_F(RefusedWalkTest, OnlyTheThirdEntrySetTwoCyclesThenErrorElevenOnce) {
    GiveUpOnTheThirdEntry();

    // The journal: three ways on the third entry, the wrap's pause (700 ms)
    // between the passes, and after the second wrap nothing more.
    const Lines expected = Join({{"establish"}, RefusedPass("127.0.0.31", true), {"sleep 700"},
                                 RefusedPass("127.0.0.31"), {"sleep 700"}});
    EXPECT_EQ(m_script.Journal(), expected);

    // The trace tells why: the fourth, first and second entries are empty and
    // each takes one pass of the main loop (its own reconnect, attempt count
    // held at 2); the wrap from the fourth to the first counts the cycle.
    const Lines walk = {
        Attempt("127.0.0.31", 800, 0),
        Reconnecting(0, 0), Attempt("127.0.0.31", 80, 1),
        Reconnecting(0, 1), Attempt("127.0.0.31", 800, 2),
        Reconnecting(0, 2), kNull,  // fourth entry
        Reconnecting(0, 2), kNull,  // wrap: first entry
        Reconnecting(1, 2), kNull,  // second entry
        Reconnecting(1, 2), Attempt("127.0.0.31", 800, 0),
        Reconnecting(1, 0), Attempt("127.0.0.31", 80, 1),
        Reconnecting(1, 1), Attempt("127.0.0.31", 800, 2),
        Reconnecting(1, 2), kNull,
        Reconnecting(1, 2), kNull,
        Reconnecting(2, 2), kGiveUp,
    };
    EXPECT_EQ(WalkTrace(), walk);
    EXPECT_EQ(m_trace.Count("WSAECONNREFUSED: Connection refused."), 6u);

    // Given up: ten minutes of the client's time bring no attempt and no
    // second report.
    const std::size_t journal = m_script.Journal().size();
    LetClientTimePass(10 * 60 * 1000);
    EXPECT_EQ(m_script.Journal().size(), journal);
    EXPECT_EQ(ErrorCount(11), 1u);
    EXPECT_EQ(PackageLog::Get().Entries().size(), 1u);
    const NetError* error = BodyError(*PackageLog::Get().Entries().front().package);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->m_pMessage, nullptr);
    EXPECT_EQ(Client().State(), CNetClient::CONN_NOT_CONNECTED);
}

TEST_F(RefusedWalkTest, NewWorkBuysOnePassAndEndsInAnotherErrorEleven) {
    GiveUpOnTheThirdEntry();
    const std::size_t before = m_script.Journal().size();

    NetMessage late = MakeMessage(70, 2, {"late"});
    m_client->Send(&late);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 2));

    Lines journal = m_script.Journal();
    // The attempt goes to the entry that is set, at once; the walk then goes
    // on from there and gives up at the next wrap.
    EXPECT_EQ(Lines(journal.begin() + static_cast<long>(before), journal.end()),
              Join({RefusedPass("127.0.0.31", true), {"sleep 700"}}));
    LetClientTimePass(5 * 60 * 1000);
    EXPECT_EQ(m_script.Journal().size(), journal.size());
    EXPECT_EQ(ErrorCount(11), 2u);
    EXPECT_EQ(Client().OutputCount(), 1);  // the message waits for a later chance
}

TEST_F(RefusedWalkTest, ConnectedBearerTriesOnceMoreAndLoginStartsTheWholeWalkAgain) {
    GiveUpOnTheThirdEntry();
    std::size_t before = m_script.Journal().size();

    // The bearer reports itself connected: one attempt, on the entry that is
    // set, and the limit is reported again.
    m_bearer.SetStatus(0x10);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 2));
    Lines journal = m_script.Journal();
    EXPECT_EQ(Lines(journal.begin() + static_cast<long>(before), journal.end()),
              (Lines{"connect 127.0.0.31:800"}));

    // A new log-in zeroes the counter: a fresh bearer, then two whole cycles.
    before = journal.size();
    ASSERT_TRUE(m_client->Login("user", "secret", nullptr, 7, "five", "six"));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 3));
    journal = m_script.Journal();
    EXPECT_EQ(Lines(journal.begin() + static_cast<long>(before), journal.end()),
              Join({{"release", "establish"}, RefusedPass("127.0.0.31", true), {"sleep 700"},
                    RefusedPass("127.0.0.31"), {"sleep 700"}}));
}

TEST_F(RefusedWalkTest, WrapAfterTheLastSetEntryTriesTheFirstBeforeTheLimitIsReported) {
    SetHost(m_params.szHost1, "127.0.0.32");
    SetHost(m_params.szHost2, "127.0.0.33");
    m_params.nMaxReconCount = 1;
    StartWalk();
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 1));

    // Third and fourth entries empty; the wrap back to the first entry counts
    // the one cycle allowed, yet the first entry is still tried once.
    EXPECT_EQ(m_script.Journal(),
              Join({{"establish"}, RefusedPass("127.0.0.32", true), RefusedPass("127.0.0.33"),
                    {"sleep 700", "sleep 500", "connect 127.0.0.32:800"}}));
    EXPECT_EQ(m_trace.Count(kNull), 2u);
    LetClientTimePass(5 * 60 * 1000);
    EXPECT_EQ(m_script.AttemptCount(), 7u);
    EXPECT_EQ(ErrorCount(11), 1u);
}

// Tests that reach a server run the clock slower, so that answers come well
// within the client's 60 s response time-out.
class ServedWalkTest : public WalkTest {
protected:
    ServedWalkTest() : WalkTest(200) {}
};

TEST_F(ServedWalkTest, EveryKindOfFailureInItsPlaceUntilTheFourthEntryAnswersByHttp) {
    ReplyServer hangUp("127.0.0.34", ReplyServer::Mode::kHangUp);
    FakeServer server(0, "127.0.0.34");
    SetHost(m_params.szHost1, "nohost.invalid");  // never resolves
    SetHost(m_params.szHost2, "127.0.0.35");      // refuses everything
    SetHost(m_params.szHost3, "127.0.0.36");      // does not answer in time
    SetHost(m_params.szHost4, "127.0.0.34");      // hangs up, then serves POST
    m_script.Set("127.0.0.36", 800, ConnectScript::TimeOut());
    m_script.Then("127.0.0.34", 800, {ConnectScript::RouteTo(hangUp.Port())});
    m_script.Set("127.0.0.34", 80, ConnectScript::RouteTo(hangUp.Port()));
    m_script.Set("127.0.0.34", 800, ConnectScript::RouteTo(server.Port()));
    StartWalk("abc", "pw");
    ASSERT_TRUE(WaitLoggedIn());

    // An unresolved name is tried all three ways (at the none address), a
    // refusing host all three ways, a timed-out host only once.
    const Lines targets = {
        "255.255.255.255:800", "255.255.255.255:80", "255.255.255.255:800",
        "127.0.0.35:800",      "127.0.0.35:80",      "127.0.0.35:800",
        "127.0.0.36:800",
        "127.0.0.34:800",      "127.0.0.34:80",      "127.0.0.34:800"};
    EXPECT_EQ(m_script.Targets(), targets);
    EXPECT_EQ(hangUp.ConnectionCount(), 2u);
    EXPECT_EQ(m_trace.Count("gethostbyname return NULL"), 3u);
    EXPECT_EQ(m_trace.Count("WSAETIMEDOUT: Connection timed out."), 1u);
    EXPECT_FALSE(m_trace.Contains(kNull));
    EXPECT_TRUE(m_trace.Contains(Attempt("nohost.invalid", 80, 1)));
    EXPECT_TRUE(m_trace.Contains(Attempt("127.0.0.34", 800, 2)));

    // The log-in went out as a POST naming the host entry.
    EXPECT_EQ(server.Received(0), Post(LoginFrame("abc", "pw"), "127.0.0.34"));
    EXPECT_TRUE(Eventually([&] { return Client().LastConnType() == CNetClient::CONNTYPE_HTTP; }));
    EXPECT_EQ(Client().ReconCount(), 0);

    // The way that worked is kept: after a drop the same host is reached by
    // POST again at once.
    server.DropAll();
    ASSERT_TRUE(server.WaitForFramesWithId(1, 2, kWait));
    EXPECT_EQ(m_script.Targets().size(), targets.size() + 1);
    EXPECT_EQ(m_script.Targets().back(), "127.0.0.34:800");
    EXPECT_EQ(server.Received(1).substr(0, 20), "POST /mpsrv HTTP/1.1");
    EXPECT_TRUE(server.FramesWithId(1).back().viaHttp);
    StopClient();
}

TEST_F(ServedWalkTest, TimeOutOnTheTunnelPortLeavesTheHostForTheNext) {
    FakeServer server(0, "127.0.0.38");
    SetHost(m_params.szHost1, "127.0.0.37");
    SetHost(m_params.szHost2, "127.0.0.38");
    m_script.Set("127.0.0.37", 80, ConnectScript::TimeOut());
    m_script.Set("127.0.0.38", 800, ConnectScript::RouteTo(server.Port()));
    StartWalk();
    ASSERT_TRUE(WaitLoggedIn());

    EXPECT_EQ(m_script.Targets(), (Lines{"127.0.0.37:800", "127.0.0.37:80", "127.0.0.38:800"}));
    EXPECT_TRUE(Eventually([&] { return Client().LastConnType() == CNetClient::CONNTYPE_DIRECT; }));
    EXPECT_EQ(server.FramesWithId(1).size(), 1u);
    EXPECT_FALSE(server.FramesWithId(1).front().viaHttp);
    StopClient();
}

TEST_F(ServedWalkTest, LearnedWayCountsEveryRetryThenConnectedBearerAndServerBringItBack) {
    FakeServer server(0, "127.0.0.39");
    SetHost(m_params.szHost1, "127.0.0.39");
    m_params.nMaxReconCount = 3;
    m_script.Set("127.0.0.39", 800, ConnectScript::RouteTo(server.Port()));
    StartWalk();
    ASSERT_TRUE(WaitLoggedIn());

    // The server goes away: each retry keeps host and type and counts a cycle.
    m_script.Set("127.0.0.39", 800, ConnectScript::Refuse());
    server.DropAll();
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 1));
    EXPECT_EQ(m_script.Journal(),
              (Lines{"establish", "connect 127.0.0.39:800", "sleep 500", "connect 127.0.0.39:800",
                     "sleep 500", "connect 127.0.0.39:800", "sleep 500", "connect 127.0.0.39:800"}));
    const Lines retries = {
        Attempt("127.0.0.39", 800, 0),
        Reconnecting(0, 0), Attempt("127.0.0.39", 800, 0),
        Reconnecting(1, 1), Attempt("127.0.0.39", 800, 0),
        Reconnecting(2, 2), Attempt("127.0.0.39", 800, 0),
        Reconnecting(3, 3), kGiveUp,
    };
    EXPECT_EQ(WalkTrace(), retries);
    LetClientTimePass(3 * 60 * 1000);
    EXPECT_EQ(m_script.AttemptCount(), 4u);

    // A Connected bearer buys one attempt; still refused, still given up.
    m_bearer.SetStatus(0x10);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 2));
    EXPECT_EQ(m_script.AttemptCount(), 5u);

    // With the server back, the next Connected bearer gets the client in.
    m_script.Set("127.0.0.39", 800, ConnectScript::RouteTo(server.Port()));
    m_bearer.SetStatus(0x10);
    ASSERT_TRUE(server.WaitForFramesWithId(1, 2, kWait));
    NetMessage after = MakeMessage(71, 2, {"after"});
    m_client->Send(&after);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));
    EXPECT_EQ(Client().State(), CNetClient::CONN_CONNECTED);
    EXPECT_EQ(Client().ReconCount(), 0);
    EXPECT_EQ(m_script.AttemptCount(), 6u);
    // The log-in answer reached the application only for the Login itself.
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_MESSAGE, 1), 1u);
    StopClient();
}

}  // namespace
}  // namespace e2e
