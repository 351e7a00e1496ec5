// What each received message id does: packages at the handler, the response
// event for the send thread, the log-in reply and the proxy's tunnel reply.

#include <gtest/gtest.h>

#include <string>

#include <transport/NetFrame.h>

#include "TransportTestClient.h"

namespace xporttest {
namespace {

TestClient* g_client = nullptr;
bool g_responseSetDuringHandler = false;

// Notes whether the send thread could already have been released while the
// application was still looking at the package.
bool RecordWithResponseState(NetPackage* package) {
    g_responseSetDuringHandler = g_client->IsSet(g_client->m_hSendEvents[0]);
    return HandlerRecord::Handle(package);
}

class ReceiveDispatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.Prepare();
        client.SetState(CNetClient::CONN_CONNECTED);
        client.SetNetHandler(&HandlerRecord::Handle);
        HandlerRecord::Clear();
        g_client = &client;
    }
    void TearDown() override { g_client = nullptr; }

    unsigned long Receive(const std::string& bytes) {
        platform.QueueChunk(bytes);
        return client.ReadData();
    }
    bool ResponseSet() { return client.IsSet(client.m_hSendEvents[0]); }
    void ClearResponse() { platform.ResetEvent(client.m_hSendEvents[0]); }

    ScriptedSocketPlatform platform;
    TestClient client{platform};
};

struct SimpleCase {
    const char* frame;
    bool delivered;
    bool response;
};

TEST_F(ReceiveDispatchTest, PlainIdsFollowTheTable) {
    const SimpleCase cases[] = {
        {"<g44>2<p>x</p></g44>", true, true},    {"<g44>3<p>x</p></g44>", true, true},
        {"<g44>4<p>3</p></g44>", true, false},   {"<g44>4<p>1</p></g44>", true, true},
        {"<g44>5<p>x</p></g44>", true, false},   {"<g44>6<p>x</p></g44>", true, false},
        {"<g44>8<p>1</p></g44>", true, true},    {"<g44>9<p>1</p></g44>", true, true},
        {"<g44>11<p>x</p></g44>", true, false},  {"<g44>13<p>x</p></g44>", true, false},
        {"<g44>299<p>x</p></g44>", true, false}, {"<g44>400<p>x</p></g44>", true, false},
        {"<g44>12<p>Keep-Alive</p></g44>", false, false},
    };
    for (const SimpleCase& c : cases) {
        SCOPED_TRACE(c.frame);
        HandlerRecord::Clear();
        ClearResponse();
        Receive(c.frame);
        EXPECT_EQ(ResponseSet(), c.response);
        ASSERT_EQ(HandlerRecord::Count(), c.delivered ? 1u : 0u);
        if (!c.delivered) continue;
        EXPECT_EQ(HandlerRecord::At(0).m_nKind, NetPackage::KIND_MESSAGE);
        NetMessage expected;
        ASSERT_TRUE(transport::ParseFrame(expected, c.frame));
        EXPECT_EQ(HandlerRecord::MessageAt(0).GetId(), expected.GetId());
        EXPECT_EQ(ParamText(HandlerRecord::MessageAt(0), 0), ParamText(expected, 0));
    }
    EXPECT_EQ(client.State(), CNetClient::CONN_CONNECTED);
}

TEST_F(ReceiveDispatchTest, KeepAliveReplyOnlyDoesTheReceiveBookkeeping) {
    client.m_bKeepAlivePending = true;
    client.m_bSendPending = true;
    platform.tick = 777;
    Receive("<g44>12<p>Keep-Alive</p></g44>");
    EXPECT_FALSE(client.m_bKeepAlivePending);
    EXPECT_TRUE(client.m_bSendPending);  // only the send thread clears it
    EXPECT_EQ(client.m_dwLastRecvTick.load(), 777u);
    EXPECT_EQ(HandlerRecord::Count(), 0u);
    EXPECT_FALSE(ResponseSet());
}

TEST_F(ReceiveDispatchTest, DeliveryResultNamesACopyOfTheMessageInFlight) {
    client.SetNetHandler(&RecordWithResponseState);
    client.Queue(44, 3, {"payload"});
    client.m_pSendingMessage = client.m_pOutputQueue->PeekByPriority();

    g_responseSetDuringHandler = true;
    Receive("<g44>7<p>0</p></g44>");
    ASSERT_EQ(HandlerRecord::Count(), 1u);
    ASSERT_EQ(HandlerRecord::At(0).m_nKind, NetPackage::KIND_ERROR);
    const auto& error = *static_cast<const NetError*>(HandlerRecord::At(0).m_pBody);
    EXPECT_EQ(error.m_nCode, 7u);
    ASSERT_NE(error.m_pMessage, nullptr);
    EXPECT_NE(error.m_pMessage, client.m_pSendingMessage);  // a copy, not the queued one
    EXPECT_EQ(ParamText(*static_cast<const NetMessage*>(error.m_pMessage), 0), "payload");
    EXPECT_FALSE(g_responseSetDuringHandler);  // the response follows the handler
    EXPECT_TRUE(ResponseSet());

    ClearResponse();
    g_responseSetDuringHandler = true;
    Receive("<g44>7<p>1</p></g44>");
    ASSERT_EQ(HandlerRecord::Count(), 2u);
    ASSERT_EQ(HandlerRecord::At(1).m_nKind, NetPackage::KIND_INFORMATION);
    const auto& info = *static_cast<const NetInformation*>(HandlerRecord::At(1).m_pBody);
    EXPECT_EQ(info.m_nCode, 1u);
    EXPECT_EQ(info.m_nValue1, 0);
    EXPECT_EQ(info.m_nValue2, 0);
    ASSERT_NE(info.m_pMessage, nullptr);
    EXPECT_EQ(static_cast<const NetMessage*>(info.m_pMessage)->GetId(), 44u);
    EXPECT_FALSE(g_responseSetDuringHandler);
    EXPECT_TRUE(ResponseSet());
    // The message stays queued: removing it is the send thread's job.
    EXPECT_EQ(client.m_pOutputQueue->GetItemCount(), 1);
}

TEST_F(ReceiveDispatchTest, DeliveryResultWithNothingInFlightNamesNothing) {
    Receive("<g44>7<p>0</p></g44><g44>7</g44>");
    ASSERT_EQ(HandlerRecord::Count(), 2u);
    EXPECT_EQ(static_cast<const NetError*>(HandlerRecord::At(0).m_pBody)->m_pMessage, nullptr);
    // No parameter reads as 0.
    EXPECT_EQ(HandlerRecord::At(1).m_nKind, NetPackage::KIND_ERROR);
}

// ---- The log-in reply. ----

class LoginReplyTest : public ReceiveDispatchTest {
protected:
    void SetUp() override {
        ReceiveDispatchTest::SetUp();
        client.SetState(CNetClient::CONN_SOCKET_CONNECTED);
        client.m_nConnType = CNetClient::CONNTYPE_TUNNEL;
        client.m_nReconCount = 4;
        client.m_nAttemptCount = 2;
        client.m_bLoginPending = true;
    }
    std::string StoredSecond() {
        std::lock_guard<std::mutex> lock(client.m_pInternals->loginMutex);
        return ParamText(*client.m_pLoginMessage, 1);
    }
};

// "key" encoded by the per-position transform: k+1, e+2, y+3.
constexpr const char kEncodedKey[] = "lg|";

TEST_F(LoginReplyTest, KeepsAStoredValueThatIsNotEmpty) {
    client.StoreLogin("usr", "mine");
    Receive(std::string("<g44>1<p>1</p><p>") + kEncodedKey + "</p></g44>");
    EXPECT_EQ(StoredSecond(), "mine");
    ASSERT_EQ(HandlerRecord::Count(), 1u);
    EXPECT_EQ(ParamText(HandlerRecord::MessageAt(0), 1), "key");
    // Filling an empty stored value is covered end to end by the log-in tests.
    EXPECT_EQ(client.State(), CNetClient::CONN_CONNECTED);
    EXPECT_EQ(client.m_nReconCount.load(), 0);
    EXPECT_EQ(client.m_nAttemptCount.load(), 0);
    EXPECT_TRUE(ResponseSet());
    EXPECT_FALSE(client.m_bLoginPending);
    EXPECT_EQ(client.m_nLastConnType.load(), CNetClient::CONNTYPE_TUNNEL);
}

TEST_F(LoginReplyTest, ReleasesOnlyMessagesNotYetAnnounced) {
    client.StoreLogin("usr", "pw");
    for (int i = 0; i < 3; ++i) client.Queue(5, 2, {"a"});
    client.m_lPrevSendCount = 1;
    Receive("<g44>1<p>1</p><p>x</p></g44>");
    EXPECT_TRUE(platform.Traced("Message in Send queue =2"));
    EXPECT_EQ(client.DrainSemaphore(), 2);
    EXPECT_EQ(client.m_lPrevSendCount.load(), 1);  // the count before the last release

    // More already announced than queued: traced, nothing released.
    client.m_lPrevSendCount = 5;
    Receive("<g44>1<p>1</p><p>x</p></g44>");
    EXPECT_TRUE(platform.Traced("Message in Send queue =-2"));
    EXPECT_EQ(client.DrainSemaphore(), 0);
}

TEST_F(LoginReplyTest, ReplyWithoutSecondParameterAndNoStoredLogin) {
    Receive("<g44>1<p>1</p></g44>");
    EXPECT_EQ(client.State(), CNetClient::CONN_CONNECTED);
    ASSERT_EQ(HandlerRecord::Count(), 1u);
    EXPECT_EQ(HandlerRecord::MessageAt(0).GetParams().GetCount(), 1u);
}

// ---- Routing to the unpackaging. ----

TEST_F(ReceiveDispatchTest, BlockWithType2IsUnpackagedAndAnswered) {
    Receive("<g44>9<p>2</p><p>name</p><p>1/1</p><p>QUJD</p></g44>");
    ASSERT_EQ(HandlerRecord::Count(), 1u);
    EXPECT_EQ(HandlerRecord::MessageAt(0).GetId(), 9u);
    EXPECT_TRUE(ResponseSet());
}

// ---- The proxy's reply that opens the tunnel. ----

class TunnelReplyTest : public ReceiveDispatchTest {
protected:
    void SetUp() override {
        ReceiveDispatchTest::SetUp();
        client.SetState(CNetClient::CONN_SOCKET_CONNECTED);
        client.m_nConnType = CNetClient::CONNTYPE_TUNNEL;
        client.m_bTunnelOpen = false;
    }
};

TEST_F(TunnelReplyTest, StatusLine200OpensTheTunnel) {
    platform.tick = 999;
    Receive("HTTP/1.0 200 Connection established\r\n\r\n");
    EXPECT_TRUE(client.m_bTunnelOpen);
    EXPECT_EQ(client.DrainSemaphore(), 1);
    EXPECT_TRUE(ResponseSet());
    EXPECT_EQ(client.m_dwLastRecvTick.load(), 0u);
    EXPECT_TRUE(platform.Traced("R E C E I V E D<<<: HTTP/1.0 200 Connection established\r\n\r\n"));
}

TEST_F(TunnelReplyTest, FramesBehindTheReplyWaitForTheNextReceive) {
    Receive("HTTP/1.1 200 Connection established\r\n\r\n<g44>5<p>early</p></g44>");
    EXPECT_TRUE(client.m_bTunnelOpen);
    EXPECT_EQ(HandlerRecord::Count(), 0u);
    EXPECT_EQ(client.m_pInputQueue->GetItemCount(), 1);

    Receive("<g44>5<p>later</p></g44>");
    ASSERT_EQ(HandlerRecord::Count(), 2u);
    EXPECT_EQ(ParamText(HandlerRecord::MessageAt(0), 0), "early");
    EXPECT_EQ(ParamText(HandlerRecord::MessageAt(1), 0), "later");
}

TEST_F(TunnelReplyTest, OnlyTheFirstReplyCountsAndOnlyBeforeLogIn) {
    client.m_bTunnelOpen = true;
    Receive("HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(client.DrainSemaphore(), 0);

    client.m_bTunnelOpen = false;
    client.SetState(CNetClient::CONN_CONNECTED);
    Receive("HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_FALSE(client.m_bTunnelOpen);

    client.SetState(CNetClient::CONN_SOCKET_CONNECTED);
    client.m_nConnType = CNetClient::CONNTYPE_HTTP;
    Receive("HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_FALSE(client.m_bTunnelOpen);
}

}  // namespace
}  // namespace xporttest
