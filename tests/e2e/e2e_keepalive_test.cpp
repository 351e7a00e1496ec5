// The idle line, on the fast test clock: a keep-alive after a silent minute,
// and a socket-level reconnect when the keep-alive goes unanswered.

#include <string>

#include "e2e/E2eFixture.h"

namespace e2e {
namespace {

const char kKeepAlive[] = "<g44>12<p>Keep-Alive</p></g44>";

class KeepAliveTest : public E2eTest {};

TEST_F(KeepAliveTest, SilentMinuteSendsTheThirtyByteKeepAlive) {
    StartClient("abc", "pw");
    ASSERT_TRUE(WaitLoggedIn());
    ASSERT_TRUE(m_server.WaitForFramesWithId(12, 1, kWait));

    // Exactly the log-in frame, then the 30 bytes of the keep-alive.
    ASSERT_EQ(std::string(kKeepAlive).size(), 30u);
    EXPECT_EQ(m_server.Received(0).substr(0, LoginFrame("abc", "pw").size() + 30),
              LoginFrame("abc", "pw") + kKeepAlive);
    EXPECT_EQ(m_server.FramesWithId(12).front().params, (std::vector<std::string>{"Keep-Alive"}));

    // Answered keep-alives keep the line: more follow on the same connection.
    ASSERT_TRUE(m_server.WaitForFramesWithId(12, 3, kWait));
    EXPECT_EQ(m_server.ConnectionCount(), 1u);
    EXPECT_EQ(m_client->State(), CNetClient::CONN_CONNECTED);
    EXPECT_FALSE(m_trace.Contains("Reconnecting..."));
}

TEST_F(KeepAliveTest, UnansweredKeepAliveLeadsToSocketReconnectAndNewLogin) {
    m_server.AnswerKeepAlives(false);
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    ASSERT_TRUE(m_server.WaitForFramesWithId(12, 1, kWait));

    ASSERT_TRUE(m_server.WaitForConnections(2, kWait));
    ASSERT_TRUE(m_server.WaitForFramesWithId(1, 2, kWait));
    // The old connection is closed by the client.
    EXPECT_TRUE(m_server.WaitForClosed(0, kWait));
    const long timeOut = m_trace.IndexOf("Response Time Out...");
    ASSERT_GE(timeOut, 0);
    EXPECT_GT(m_trace.IndexOf("Reconnecting...", static_cast<std::size_t>(timeOut)), timeOut);
    EXPECT_GT(m_trace.IndexOf("Socket shutdown", static_cast<std::size_t>(timeOut)), timeOut);
    // Same host, same type: the type that worked is kept.
    for (const auto& attempt : m_ports.Attempts()) EXPECT_EQ(attempt.port, 800);
    // The new connection starts with the log-in.
    auto second = FramesOn(1);
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second.front().id, 1);
    // Nothing of the first keep-alive's connection is delivered twice.
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_MESSAGE, 1), 1u);
}

TEST_F(KeepAliveTest, UnansweredMessageIsFollowedByAKeepAliveThenResentOnANewLine) {
    m_server.AnswerKeepAlives(false);
    m_server.SetResultForId(120, FakeServer::kNoAnswer);
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    NetMessage m = MakeMessage(120, 2, {"lost"});
    m_client->Send(&m);
    ASSERT_TRUE(m_server.WaitForFramesWithId(120, 1, kWait));

    // No answer within a minute: a keep-alive; none to that either: reconnect,
    // and the message goes again after the new log-in.
    ASSERT_TRUE(m_server.WaitForFramesWithId(12, 1, kWait));
    m_server.SetResultForId(120, 1);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));
    std::vector<long> ids;
    for (const auto& f : FramesOn(1)) ids.push_back(f.id);
    EXPECT_EQ(ids, (std::vector<long>{1, 120}));
    auto onFirst = m_server.Frames();
    ASSERT_GE(onFirst.size(), 3u);
    EXPECT_EQ(onFirst[1].id, 120);
    EXPECT_EQ(onFirst[2].id, 12);  // the keep-alive follows the silent request
    EXPECT_GE(m_trace.Count("Response Time Out..."), 2u);
}

// The server answers a keep-alive at once, possibly before the main thread
// is done sending it. That answer must count: the line is healthy, so the
// next response time-out sends another keep-alive instead of reconnecting.
TEST_F(KeepAliveTest, AnswerArrivingWhileTheKeepAliveIsStillBeingSentCounts) {
    StallingTrace stall(m_trace, {{std::string("S E N T>>>: ") + kKeepAlive, "", 100}});
    m_top = &stall;
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    ASSERT_TRUE(m_server.WaitForFramesWithId(12, 2, kWait));

    auto keepAlives = m_server.FramesWithId(12);
    EXPECT_EQ(keepAlives[1].connection, 0u);
    EXPECT_EQ(m_server.ConnectionCount(), 1u);
    EXPECT_FALSE(m_trace.Contains("Reconnecting..."));
    StopClient();
}

}  // namespace
}  // namespace e2e
