// Peers that take the connection and then do nothing: a proxy that accepts
// and hangs, and a server that accepts and never reads, before the first
// log-in or when the client has more to write than the line can hold. The client finds out
// through its own time-outs (on the fast clock), leaves, and delivers what
// waited once a working server is there.

#include "e2e/FaultFixture.h"
#include "support/LeanServer.h"

namespace e2e {
namespace {

class HangTest : public FaultTest {};

TEST_F(HangTest, AProxyThatAcceptsAndHangsIsLeftAfterTheResponseTimeOut) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    // The next connection is accepted and then nothing more happens on it.
    m_proxy->SetHang(true);
    m_proxy->DropAll();
    ASSERT_TRUE(m_proxy->WaitForHung(1, kWait));
    m_proxy->SetHang(false);
    for (unsigned long id = 601; id <= 603; ++id) {
        NetMessage m = MakeMessage(id, 2, {"waited"});
        m_client->Send(&m);
    }
    // Its log-in is never answered: a minute later the response time-out,
    // a keep-alive into the void, then a new connection that works.
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 3));
    const long timeOut = m_trace.IndexOf("Response Time Out...");
    ASSERT_GE(timeOut, 0);
    EXPECT_GT(m_trace.IndexOf("Socket shutdown", static_cast<std::size_t>(timeOut)), timeOut);
    EXPECT_EQ(m_proxy->Hung(), 1u);
    EXPECT_EQ(IdsOn(*Server(), Server()->FramesWithId(601).at(0).connection),
              (std::vector<long>{1, 601, 602, 603}));
    for (unsigned long id = 601; id <= 603; ++id) EXPECT_EQ(DeliveredCount(id), 1u);
    EXPECT_EQ(Client().State(), CNetClient::CONN_CONNECTED);
}

TEST_F(HangTest, AServerThatNeverReadsTheFirstLogInSendsTheClientOnToAWayThatWorks) {
    // The very first connection is accepted and never read: no way of
    // reaching the server has worked yet, so after the time-outs the client
    // walks on (the tunnel's port refuses) to HTTP, which works.
    m_proxy->SetHang(true);
    StartFaultClient();
    NetMessage m = MakeMessage(610, 1, {"patient"});
    m_client->Send(&m);
    ASSERT_TRUE(m_proxy->WaitForHung(1, kWait));
    m_proxy->SetHang(false);
    ASSERT_TRUE(m_trace.WaitFor("Response Time Out...", kWaitMs));
    ASSERT_TRUE(WaitLoggedIn());
    ASSERT_TRUE(WaitDelivered(610, 1));

    EXPECT_EQ(m_proxy->Hung(), 1u);
    const auto frames = Server()->FramesWithId(610);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].viaHttp);
    EXPECT_LT(m_trace.IndexOf("Response Time Out..."), m_trace.IndexOf("conntype=2"));
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_MESSAGE, 1), 1u);
}

// A server that answers the log-in and then reads nothing more, while the
// client has more to write than the line can hold: the send cannot finish
// within its 2000 ms and counts as failed, the client leaves the line, and
// the message goes whole to a server that reads.
class NeverReadsBigTest : public FaultTest {
protected:
    // A slow clock: the 2000 ms that a send may take must be long enough
    // for 8 MiB to pass the proxy to a reading server, sanitizers and all.
    NeverReadsBigTest() : FaultTest(2) {}

    void SetUp() override {
        FaultTest::SetUp();
        m_lean = std::make_unique<transport::test::LeanServer>(
            [this](const transport::test::LeanServer::Frame& frame) {
                if (frame.id == 620) {
                    std::lock_guard<std::mutex> g(m_mutex);
                    m_bigFrames.push_back(frame.params.empty() ? 0 : frame.params[0].size());
                }
                return transport::test::LeanServer::UsualAnswer(frame);
            });
        m_proxy->SetUpstream(m_lean->Port());
        m_sockets = SocketCount();  // the new server's listening socket is not the client's
    }
    void DropOtherServers() override { m_lean->DropAll(); }
    void TearDown() override {
        FaultTest::TearDown();
        m_lean.reset();
    }
    std::unique_ptr<transport::test::LeanServer> m_lean;
    std::mutex m_mutex;
    std::vector<std::size_t> m_bigFrames;
};

TEST_F(NeverReadsBigTest, ASendThatCannotFinishInTimeFailsAndTheMessageIsSentAgainWhole) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    m_proxy->SetHang(true);
    m_proxy->DropAll();
    ASSERT_TRUE(m_proxy->WaitForHung(1, kWait));
    m_proxy->SetHang(false);  // connections after this one work
    // The client's log-in lies unread on the hung line; the test answers it.
    ASSERT_TRUE(Eventually([&] { return m_trace.Count("S E N T>>>: <g44>1<p>") >= 2; }));
    ASSERT_TRUE(m_proxy->Inject(FaultProxy::kToClient, "<g44>1<p>1</p><p>ok</p></g44>"));
    ASSERT_TRUE(Eventually([&] { return Client().State() == CNetClient::CONN_CONNECTED; }));

    const std::string big(8u << 20, 'B');
    NetMessage m = MakeMessage(620, 2, {big.c_str()});
    m_client->Send(&m);
    ASSERT_TRUE(m_trace.WaitFor("SendData WSAGetOverlappedResult return false", kWaitMs));
    EXPECT_TRUE(m_trace.Contains("Unknown socket error."));
    EXPECT_EQ(DeliveredCount(620), 0u);

    ASSERT_TRUE(WaitDelivered(620, 1));
    {
        std::lock_guard<std::mutex> g(m_mutex);
        ASSERT_EQ(m_bigFrames.size(), 1u);
        EXPECT_EQ(m_bigFrames[0], big.size());
    }
    EXPECT_EQ(DeliveredCount(620), 1u);
    EXPECT_TRUE(QueueDrained());
}

}  // namespace
}  // namespace e2e
