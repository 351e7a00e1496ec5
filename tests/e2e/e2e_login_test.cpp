// Log-in from end to end: the frame on the wire, the answer at the handler,
// the server's token kept for later log-ins, and a refused log-in.

#include "e2e/E2eFixture.h"

namespace e2e {
namespace {

class LoginTest : public E2eTest {};

TEST_F(LoginTest, FirstBytesOnTheWireAreTheExactLoginFrame) {
    StartClient("abc", "pw");
    ASSERT_TRUE(m_server.WaitForFrames(1, kWait));

    const std::string expected = "<g44>1<p>bdf</p><p>qy</p><p></p><p>7</p><p>five</p><p>six</p></g44>";
    ASSERT_EQ(LoginFrame("abc", "pw"), expected);  // the transform, checked by hand
    EXPECT_EQ(m_server.Received(0).substr(0, expected.size()), expected);

    const FakeServer::Frame login = m_server.Frames().front();
    EXPECT_EQ(login.id, 1);
    EXPECT_FALSE(login.viaHttp);
    EXPECT_EQ(login.params, (std::vector<std::string>{"bdf", "qy", "", "7", "five", "six"}));
    // The password itself never travels.
    EXPECT_EQ(m_server.Received(0).find("pw"), std::string::npos);
}

TEST_F(LoginTest, AnswerReachesHandlerOnceWithClientConnected) {
    m_server.SetLoginAnswer(Transformed("session-7"));
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());

    auto entries = PackageLog::Get().Entries();
    ASSERT_EQ(entries.size(), 1u);
    const NetMessage* answer = BodyMessage(*entries[0].package);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->GetId(), 1u);
    // The application sees the second parameter decoded.
    EXPECT_EQ(ParamText(*answer, 1), "session-7");
    EXPECT_EQ(entries[0].stateAtCall, CNetClient::CONN_CONNECTED);
    EXPECT_EQ(m_client->State(), CNetClient::CONN_CONNECTED);

    // A log-in after an automatic reconnection is not reported again.
    m_server.DropAll();
    ASSERT_TRUE(m_server.WaitForFramesWithId(1, 2, kWait));
    NetMessage probe = MakeMessage(40, 2, {"after"});
    m_client->Send(&probe);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_MESSAGE, 1), 1u);
}

TEST_F(LoginTest, EmptyPasswordIsReplacedByTheServersTokenOnLaterLogins) {
    const std::string token = Transformed("tok");
    m_server.SetLoginAnswer(token);
    StartClient("user", "");
    ASSERT_TRUE(WaitLoggedIn());

    m_server.DropAll();
    ASSERT_TRUE(m_server.WaitForFramesWithId(1, 2, kWait));
    auto logins = m_server.FramesWithId(1);
    ASSERT_GE(logins.size(), 2u);
    EXPECT_EQ(logins[0].params.at(1), "");
    // The stored log-in keeps the token as the server sent it (encoded).
    EXPECT_EQ(logins[1].params.at(1), token);
    EXPECT_EQ(logins[1].connection, 1u);
}

TEST_F(LoginTest, RefusalReachesHandlerAsErrorAndEndsReconnection) {
    m_server.RefuseLogins(3);
    StartClient();
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 3, 1));

    auto entries = PackageLog::Get().Entries();
    ASSERT_EQ(entries.size(), 1u);
    const NetError* error = BodyError(*entries[0].package);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->m_nCode, 3u);
    EXPECT_EQ(error->m_pMessage, nullptr);
    ASSERT_TRUE(m_trace.WaitFor("R E C E I V E D<<<", kWaitMs));

    // The server hangs up after refusing; the client must not come back.
    m_server.DropAll();
    ASSERT_TRUE(m_trace.WaitFor("WSAECONNRESET: Connection reset by peer.", kWaitMs));
    LetClientTimePass(2 * 60 * 1000);  // four of the main thread's periods
    EXPECT_EQ(m_client->State(), CNetClient::CONN_CLOSED);
    EXPECT_EQ(m_server.ConnectionCount(), 1u);
    EXPECT_EQ(m_ports.AttemptCount(), 1u);
    EXPECT_EQ(m_server.FramesWithId(1).size(), 1u);
    EXPECT_EQ(PackageLog::Get().Entries().size(), 1u);
}

TEST_F(LoginTest, UnansweredLoginHoldsBackQueuedMessages) {
    m_server.IgnoreLogins(true);
    NetMessage queued = MakeMessage(41, 1, {"early"});
    E2eClient& client = OpenClient();
    client.Send(&queued);
    ASSERT_TRUE(client.Login("user", "secret", nullptr, 7, "five", "six"));
    ASSERT_TRUE(m_server.WaitForFramesWithId(1, 1, kWait));

    // Until the log-in is answered nothing of the queue goes out.
    LetClientTimePass(20 * 1000);
    EXPECT_EQ(client.State(), CNetClient::CONN_SOCKET_CONNECTED);
    EXPECT_TRUE(m_server.FramesWithId(41).empty());

    m_server.IgnoreLogins(false);
    ASSERT_TRUE(m_server.Push("<g44>1<p>1</p><p>ok</p></g44>"));
    ASSERT_TRUE(m_server.WaitForFramesWithId(41, 1, kWait));
    auto frames = FramesOn(0);
    ASSERT_GE(frames.size(), 2u);
    EXPECT_EQ(frames[0].id, 1);
    EXPECT_EQ(frames[1].id, 41);
}

}  // namespace
}  // namespace e2e
