// The fault proxy itself: what it passes on, where it cuts, and what a hung
// connection does, checked with plain loopback peers at both ends.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "support/FakeServer.h"
#include "support/FaultProxy.h"
#include "support/LoopbackPeer.h"

namespace transport {
namespace test {
namespace {

constexpr std::uint32_t kWaitMs = 10000;

class FaultProxyTest : public ::testing::Test {
protected:
    // A client connected through the proxy, and the server end it reached.
    void Connect() {
        m_client = ConnectToLoopback(m_proxy.Port());
        ASSERT_NE(m_client, nullptr);
        m_server = m_listener.Accept(kWaitMs);
        ASSERT_NE(m_server, nullptr);
    }

    static std::string ReadExactly(LoopbackPeer& peer, std::size_t n) {
        std::string got;
        while (got.size() < n) {
            const std::string more = peer.Read(n - got.size(), kWaitMs);
            if (more.empty()) break;
            got += more;
        }
        return got;
    }

    bool ForwardedReaches(FaultProxy::Direction direction, std::uint64_t bytes) {
        for (int i = 0; i < 5000 && m_proxy.Forwarded(direction) < bytes; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return m_proxy.Forwarded(direction) == bytes;
    }

    LoopbackListener m_listener;
    FaultProxy m_proxy{m_listener.port()};
    std::unique_ptr<LoopbackPeer> m_client;
    std::unique_ptr<LoopbackPeer> m_server;
};

TEST_F(FaultProxyTest, PassesBothWaysUnchangedAndCountsTheBytes) {
    Connect();
    ASSERT_TRUE(m_client->SendAll("<g44>1<p>user</p></g44>"));
    EXPECT_EQ(ReadExactly(*m_server, 23), "<g44>1<p>user</p></g44>");
    ASSERT_TRUE(m_server->SendAll("<g44>1<p>1</p></g44>"));
    EXPECT_EQ(ReadExactly(*m_client, 20), "<g44>1<p>1</p></g44>");
    // Counted once written, which may be just after the peer has read.
    EXPECT_TRUE(ForwardedReaches(FaultProxy::kToServer, 23u));
    EXPECT_TRUE(ForwardedReaches(FaultProxy::kToClient, 20u));
    EXPECT_EQ(m_proxy.Cut(), 0u);
    // A side that closes closes the other.
    m_server->Close();
    EXPECT_TRUE(m_client->WaitForClose(kWaitMs));
    EXPECT_EQ(m_proxy.Cut(), 0u);
}

TEST_F(FaultProxyTest, SlicedAndDuplicatedStreamsKeepTheirBytesInOrder) {
    m_proxy.SetSlicing(FaultProxy::kToServer, true, std::chrono::microseconds(200));
    m_proxy.SetDuplicate(FaultProxy::kToClient, true);
    Connect();
    const std::string request(300, 'r');
    ASSERT_TRUE(m_client->SendAll(request + "END"));
    EXPECT_EQ(ReadExactly(*m_server, 303), request + "END");
    ASSERT_TRUE(m_server->SendAll("<g44>7<p>1</p></g44>"));
    EXPECT_EQ(ReadExactly(*m_client, 40), "<g44>7<p>1</p></g44><g44>7<p>1</p></g44>");
}

TEST_F(FaultProxyTest, DropAfterBytesPassesExactlyThatManyThenCutsBothSides) {
    Connect();
    m_proxy.DropAfterBytes(FaultProxy::kToClient, 8);
    ASSERT_TRUE(m_server->SendAll("<g44>7<p>1</p></g44>"));
    EXPECT_EQ(ReadExactly(*m_client, 20), "<g44>7<p");
    EXPECT_TRUE(m_client->WaitForClose(kWaitMs));
    EXPECT_TRUE(m_server->WaitForClose(kWaitMs));
    EXPECT_TRUE(m_proxy.WaitForCut(1, std::chrono::milliseconds(kWaitMs)));
    // One-shot: the next connection passes everything.
    Connect();
    ASSERT_TRUE(m_server->SendAll("<g44>7<p>1</p></g44>"));
    EXPECT_EQ(ReadExactly(*m_client, 20), "<g44>7<p>1</p></g44>");
    EXPECT_EQ(m_proxy.Cut(), 1u);
}

TEST_F(FaultProxyTest, DropEveryFramesCutsRightAfterTheNthCloserEvenAcrossTwoReads) {
    m_proxy.DropEveryFrames(FaultProxy::kToServer, 2);
    Connect();
    ASSERT_TRUE(m_client->SendAll("<g44>1</g4"));
    EXPECT_EQ(ReadExactly(*m_server, 10), "<g44>1</g4");
    ASSERT_TRUE(m_client->SendAll("4><g44>2</g44>never passed on"));
    EXPECT_EQ(ReadExactly(*m_server, 100), "4><g44>2</g44>");
    EXPECT_TRUE(m_server->WaitForClose(kWaitMs));
    EXPECT_TRUE(m_client->WaitForClose(kWaitMs));
    EXPECT_EQ(m_proxy.Cut(), 1u);
}

TEST_F(FaultProxyTest, AHungConnectionReachesNoServerYetTakesInjectedBytes) {
    m_proxy.SetHang(true);
    m_client = ConnectToLoopback(m_proxy.Port());
    ASSERT_NE(m_client, nullptr);
    ASSERT_TRUE(m_proxy.WaitForHung(1, std::chrono::milliseconds(kWaitMs)));
    ASSERT_TRUE(m_client->SendAll("<g44>1<p>user</p></g44>"));
    EXPECT_EQ(m_listener.Accept(100), nullptr);
    EXPECT_FALSE(m_proxy.Inject(FaultProxy::kToServer, "x"));  // no server side
    ASSERT_TRUE(m_proxy.Inject(FaultProxy::kToClient, "<g44>1<p>1</p></g44>"));
    EXPECT_EQ(ReadExactly(*m_client, 20), "<g44>1<p>1</p></g44>");
    EXPECT_EQ(m_proxy.Forwarded(FaultProxy::kToServer), 0u);
    m_proxy.DropAll();
    EXPECT_TRUE(m_client->WaitForClose(kWaitMs));
    EXPECT_EQ(m_proxy.OpenConnections(), 0u);
}

TEST_F(FaultProxyTest, AServerThatRefusesClosesTheClientAtOnce) {
    ClosedPort closed;
    m_proxy.SetUpstream(closed.Port());
    m_client = ConnectToLoopback(m_proxy.Port());
    ASSERT_NE(m_client, nullptr);
    EXPECT_TRUE(m_client->WaitForClose(kWaitMs));
    EXPECT_TRUE(m_proxy.WaitForAccepted(1, std::chrono::milliseconds(kWaitMs)));
    EXPECT_EQ(m_proxy.OpenConnections(), 0u);
}

}  // namespace
}  // namespace test
}  // namespace transport
