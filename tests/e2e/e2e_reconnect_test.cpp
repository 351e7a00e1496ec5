// Lost connections: the client reconnects, logs in first, sends what was not
// answered again and loses nothing; it gives up after its reconnection limit
// with error 11, and new work buys one more attempt.

#include <algorithm>

#include "e2e/E2eFixture.h"

namespace e2e {
namespace {

class ReconnectTest : public E2eTest {};

std::vector<long> Ids(const std::vector<FakeServer::Frame>& frames) {
    std::vector<long> ids;
    for (const auto& f : frames) ids.push_back(f.id);
    return ids;
}

// Ids of the messages named by the information packages, in delivery order.
std::vector<long> DeliveredIds() {
    std::vector<long> ids;
    for (const auto& e : PackageLog::Get().Entries()) {
        if (BodyInformation(*e.package) == nullptr) continue;
        const NetMessage* m = NamedMessage(*e.package);
        ids.push_back(m != nullptr ? static_cast<long>(m->GetId()) : -1);
    }
    return ids;
}

TEST_F(ReconnectTest, DropMidStreamResendsTheUnansweredMessageAfterLogin) {
    m_server.DropOnId(82);  // hang up on the second message, unanswered
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    for (unsigned long id = 81; id <= 84; ++id) {
        NetMessage m = MakeMessage(id, 2, {"payload"});
        m_client->Send(&m);
    }
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 4));

    EXPECT_EQ(Ids(FramesOn(0)), (std::vector<long>{1, 81, 82}));
    // The new connection starts with the log-in, then the lost message.
    EXPECT_EQ(Ids(FramesOn(1)), (std::vector<long>{1, 82, 83, 84}));
    EXPECT_EQ(m_server.ConnectionCount(), 2u);
    // Every message delivered exactly once, in order; no error.
    EXPECT_EQ(DeliveredIds(), (std::vector<long>{81, 82, 83, 84}));
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_ERROR, 7), 0u);
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_MESSAGE, 1), 1u);
    EXPECT_TRUE(m_trace.Contains("WSAECONNRESET: Connection reset by peer."));
}

TEST_F(ReconnectTest, HalfAnAnswerBeforeTheDropIsNeverDelivered) {
    m_server.DropMidAnswerOnId(91);  // "<g44>7<p" and then the line goes
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    NetMessage first = MakeMessage(91, 2, {"one"});
    NetMessage second = MakeMessage(92, 2, {"two"});
    m_client->Send(&first);
    m_client->Send(&second);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 2));

    EXPECT_EQ(Ids(FramesOn(1)), (std::vector<long>{1, 91, 92}));
    EXPECT_EQ(DeliveredIds(), (std::vector<long>{91, 92}));
    auto entries = PackageLog::Get().Entries();
    EXPECT_EQ(entries.size(), 3u);  // log-in answer and the two results, nothing made of the half
}

TEST_F(ReconnectTest, MessagesSentWhileDisconnectedWaitForTheNextConnection) {
    m_params.nMaxReconCount = 100000;  // keeps trying while the server is away
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    // The server goes away; messages sent meanwhile stay queued.
    m_ports.MapPort(800, m_closed.Port());
    m_server.DropAll();
    ASSERT_TRUE(m_ports.WaitForAttempts(2, kWait));
    for (unsigned long id = 101; id <= 103; ++id) {
        NetMessage m = MakeMessage(id, 3, {"queued"});
        m_client->Send(&m);
    }
    m_ports.MapPort(800, m_server.Port());
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 3));
    EXPECT_EQ(DeliveredIds(), (std::vector<long>{101, 102, 103}));
    EXPECT_EQ(Ids(FramesOn(1)), (std::vector<long>{1, 101, 102, 103}));
}

class ReconnectLimitTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        m_params.nMaxReconCount = 3;
    }
};

TEST_F(ReconnectLimitTest, GivesUpWithError11AndNewWorkBuysAnotherAttempt) {
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    m_ports.MapPort(800, m_closed.Port());
    m_server.DropAll();

    // A connection type worked before: every failed attempt counts one cycle.
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 1));
    ASSERT_TRUE(m_trace.WaitFor("ReconCount=MAXRECONCOUNT Set to Application Connection Refused ...",
                                kWaitMs));
    auto entries = PackageLog::Get().Entries();
    const NetError* error = BodyError(*entries.back().package);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->m_nCode, 11u);
    EXPECT_EQ(error->m_pMessage, nullptr);
    EXPECT_EQ(m_ports.AttemptCount(), 4u);  // the first connection and three retries
    for (const auto& attempt : m_ports.Attempts()) {
        EXPECT_EQ(attempt.host, "127.0.0.1");
        EXPECT_EQ(attempt.port, 800);
    }

    // Given up: nothing more happens on its own.
    LetClientTimePass(2 * 60 * 1000);
    EXPECT_EQ(m_ports.AttemptCount(), 4u);
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_ERROR, 11), 1u);

    // The server is back; a new message makes the client try again.
    m_ports.MapPort(800, m_server.Port());
    NetMessage late = MakeMessage(110, 2, {"late"});
    m_client->Send(&late);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));
    EXPECT_EQ(Ids(FramesOn(1)), (std::vector<long>{1, 110}));
    EXPECT_EQ(m_client->State(), CNetClient::CONN_CONNECTED);
}

TEST_F(ReconnectLimitTest, NewWorkWhileTheServerStaysAwayEndsInAnotherError11) {
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    m_ports.MapPort(800, m_closed.Port());
    m_server.DropAll();
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 1));
    const std::size_t attempts = m_ports.AttemptCount();

    NetMessage late = MakeMessage(111, 2, {"late"});
    m_client->Send(&late);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 2));
    EXPECT_GT(m_ports.AttemptCount(), attempts);
    // The message waits in the queue for a later chance.
    EXPECT_EQ(m_client->OutputCount(), 1);
}

class NoReconnectTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        m_params.nMaxReconCount = 0;
    }
};

TEST_F(NoReconnectTest, LimitZeroReportsTheFirstLossAtOnce) {
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    m_server.DropAll();
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 11, 1));
    EXPECT_EQ(m_ports.AttemptCount(), 1u);
    EXPECT_EQ(m_server.ConnectionCount(), 1u);
}

}  // namespace
}  // namespace e2e
