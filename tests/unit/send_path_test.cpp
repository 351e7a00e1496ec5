// The send path: what SendData puts on the wire for each connection type,
// SendSocket's bookkeeping and failures, and the send thread's stop-and-wait.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include <transport/NetFrame.h>

#include "TransportTestClient.h"

namespace xporttest {
namespace {

char g_host[] = "srv.example";
constexpr const char kLoginFrame[] =
    "<g44>1<p>usr</p><p>pw</p><p></p><p>7</p><p>five</p><p>six</p></g44>";

class SendPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.Prepare();
        client.m_pszCurrentHost = g_host;
        client.m_nPort = 800;
        client.m_nConnType = CNetClient::CONNTYPE_DIRECT;
        client.m_bSocketConnected = true;
    }
    bool SentSomething() { return client.m_pInternals->sentSomething; }

    ScriptedSocketPlatform platform;
    TestClient client{platform};
};

TEST_F(SendPathTest, TunnelRequestInConnectedStateRemovesNothingWhenAnswered) {
    client.SetState(CNetClient::CONN_CONNECTED);
    client.m_nConnType = CNetClient::CONNTYPE_TUNNEL;
    client.Queue(5, 2, {"a"});
    EXPECT_EQ(client.SendData(), 0);
    EXPECT_EQ(platform.Sends().at(0), "CONNECT srv.example:800 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(client.m_pSendingMessage, nullptr);
}

TEST_F(SendPathTest, NothingToSend) {
    client.SetState(CNetClient::CONN_CONNECTED);
    EXPECT_EQ(client.SendData(), 0);
    EXPECT_TRUE(platform.Traced("There is no data to send"));
    EXPECT_FALSE(SentSomething());

    // Not logged in and no log-in message stored.
    client.SetState(CNetClient::CONN_SOCKET_CONNECTED);
    EXPECT_EQ(client.SendData(), 0);
    EXPECT_FALSE(SentSomething());
    EXPECT_TRUE(platform.Sends().empty());
}

TEST_F(SendPathTest, OnlyWhatArrivesAfterTheTransmissionAnswersIt) {
    client.SetState(CNetClient::CONN_CONNECTED);
    client.Queue(5, 2, {"a"});
    platform.SetEvent(client.m_hSendEvents[0]);  // a stale answer
    client.SendData();
    EXPECT_FALSE(client.IsSet(client.m_hSendEvents[0]));
}

TEST_F(SendPathTest, FailedSendReturnsMinusOne) {
    client.SetState(CNetClient::CONN_CONNECTED);
    client.Queue(5, 2, {"a"});
    platform.QueueSendResult(transport::kErrConnReset, 0);
    EXPECT_EQ(client.SendData(), -1);
    EXPECT_FALSE(SentSomething());
    EXPECT_EQ(client.m_pOutputQueue->GetItemCount(), 1);
}

// ---- SendSocket. ----

TEST_F(SendPathTest, SuccessfulSendDoesTheBookkeeping) {
    char text[] = "<g44>12<p>Keep-Alive</p></g44>";
    platform.tick = 4321;
    platform.QueueSendResult(0, 7);  // the socket reports fewer bytes
    EXPECT_TRUE(client.SendSocket(text, 30, 12));
    EXPECT_EQ(client.m_nTotalSent.load(), 7u);
    EXPECT_EQ(client.m_dwLastSendTick.load(), 4321u);
    EXPECT_TRUE(client.m_bSendPending);
    EXPECT_EQ(platform.SendTimeouts(), (std::vector<std::uint32_t>{2000}));
    const auto traces = platform.Traces();
    ASSERT_GE(traces.size(), 2u);
    EXPECT_EQ(traces[traces.size() - 2], "Send started");
    EXPECT_EQ(traces.back(),
              "S E N T>>>: <g44>12<p>Keep-Alive</p></g44> Bytes sent = 7\r\nSendData finished");
    EXPECT_FALSE(client.IsSet(client.m_hDisconnectSentEvent));

    char disconnect[] = "<g44>0<p>0</p></g44>";
    EXPECT_TRUE(client.SendSocket(disconnect, 20, 0));
    EXPECT_TRUE(client.IsSet(client.m_hDisconnectSentEvent));
    EXPECT_EQ(client.m_nTotalSent.load(), 27u);
}

TEST_F(SendPathTest, ImmediateFailureRequestsAReconnectWhileConnected) {
    char text[] = "<g44>5</g44>";
    platform.QueueSendResult(transport::kErrConnReset, 0);
    EXPECT_FALSE(client.SendSocket(text, 12, 5));
    EXPECT_TRUE(platform.Traced("WSAECONNRESET: Connection reset by peer."));
    EXPECT_TRUE(client.IsSet(client.m_hMainEvents[2]));
    EXPECT_FALSE(client.m_bSocketConnected);
    EXPECT_FALSE(client.m_bSendPending);
    EXPECT_EQ(client.m_nTotalSent.load(), 0u);

    // Not connected: the failure is not reported again.
    platform.ResetEvent(client.m_hMainEvents[2]);
    platform.ClearTraces();
    platform.QueueSendResult(transport::kErrConnReset, 0);
    EXPECT_FALSE(client.SendSocket(text, 12, 5));
    EXPECT_FALSE(platform.Traced("WSAECONNRESET: Connection reset by peer."));
    EXPECT_FALSE(client.IsSet(client.m_hMainEvents[2]));
}

TEST_F(SendPathTest, SendNotDoneInTimeMarksTheReplyAwaited) {
    char text[] = "<g44>5</g44>";
    platform.QueueSendResult(transport::kErrIoIncomplete, 0);
    EXPECT_FALSE(client.SendSocket(text, 12, 0));
    const int unknown = platform.TraceIndex("Unknown socket error.");
    ASSERT_GE(unknown, 0);
    EXPECT_GT(platform.TraceIndex("SendData WSAGetOverlappedResult return false"), unknown);
    EXPECT_TRUE(client.m_bSendPending);
    EXPECT_TRUE(client.IsSet(client.m_hMainEvents[2]));
    EXPECT_FALSE(client.IsSet(client.m_hDisconnectSentEvent));

    // Completed with no byte at all counts the same.
    client.m_bSendPending = false;
    platform.QueueSendResult(0, 0);
    EXPECT_FALSE(client.SendSocket(text, 12, 5));
    EXPECT_TRUE(client.m_bSendPending);
}

TEST_F(SendPathTest, EmptyRequestIsNotAFailure) {
    char text[] = "";
    EXPECT_TRUE(client.SendSocket(text, 0, 5));
    EXPECT_EQ(platform.Sends(), (std::vector<std::string>{""}));
}

// ---- The send thread. ----

class SendThreadTest : public SendPathTest {
protected:
    void SetUp() override {
        SendPathTest::SetUp();
        client.SetState(CNetClient::CONN_CONNECTED);
    }
    void TearDown() override { Stop(); }

    void Start() { thread = std::thread([this] { TestClient::SendDataThread(&client); }); }
    void Stop() {
        if (!thread.joinable()) return;
        client.SetState(CNetClient::CONN_CLOSED);
        Release();
        platform.SetEvent(client.m_hSendEvents[1]);
        thread.join();
    }
    void Release() { platform.ReleaseSemaphore(client.m_hSendSemaphore, 1, nullptr); }
    void Answer() { platform.SetEvent(client.m_hSendEvents[0]); }
    void Send(unsigned long id, int priority, const std::string& text) {
        client.Queue(id, priority, {text});
        Release();
    }

    std::thread thread;
};

TEST_F(SendThreadTest, EmptyQueueSendsNothingAndWaitsForWorkAgain) {
    Start();
    Release();
    ASSERT_TRUE(platform.WaitForTrace("There is no data to send"));
    // Not stuck waiting for an answer: new work goes out at once.
    Send(5, 2, "late");
    ASSERT_TRUE(platform.WaitForSends(1));
    EXPECT_EQ(platform.Sends()[0], "<g44>5<p>late</p></g44>");
}

TEST_F(SendThreadTest, FailedSendLeavesTheMessageAndWaitsForWork) {
    platform.QueueSendResult(transport::kErrConnReset, 0);
    Start();
    Send(5, 2, "retry");
    // Back at the semaphore, not waiting for an answer that cannot come.
    ASSERT_TRUE(platform.WaitForBlockingWaits(2));
    EXPECT_TRUE(platform.Traced("WSAECONNRESET: Connection reset by peer."));
    // The reconnect brings the socket back and wakes the thread.
    client.m_bSocketConnected = true;
    Release();
    ASSERT_TRUE(platform.WaitForSends(2));
    EXPECT_EQ(platform.Sends()[1], "<g44>5<p>retry</p></g44>");
    EXPECT_EQ(client.m_pOutputQueue->GetItemCount(), 1);
}

TEST_F(SendThreadTest, AnswerAfterTheConnectionWasLostRemovesNothing) {
    Start();
    Send(5, 2, "again");
    ASSERT_TRUE(platform.WaitForSends(1));
    client.SetState(CNetClient::CONN_SOCKET_CONNECTED);
    client.StoreLogin("usr", "pw");
    Answer();  // as a completed connect frees a waiting send thread
    Release();
    ASSERT_TRUE(platform.WaitForSends(2));
    EXPECT_EQ(platform.Sends()[1], kLoginFrame);
    EXPECT_EQ(client.m_pOutputQueue->GetItemCount(), 1);

    client.SetState(CNetClient::CONN_CONNECTED);
    Answer();
    Release();
    ASSERT_TRUE(platform.WaitForSends(3));
    EXPECT_EQ(platform.Sends()[2], "<g44>5<p>again</p></g44>");
}

TEST_F(SendThreadTest, EmptiedQueueIsNotPoppedByALateAnswer) {
    Start();
    Send(5, 2, "old");
    ASSERT_TRUE(platform.WaitForSends(1));
    {
        // What Close(true) does while the answer is awaited.
        std::lock_guard<std::mutex> lock(client.m_pOutputQueue->Mutex());
        client.m_pSendingMessage = nullptr;
        client.m_pOutputQueue->ClearPriorityListsLocked();
    }
    client.Queue(6, 2, {"new"});
    Answer();
    Release();
    ASSERT_TRUE(platform.WaitForSends(2));
    EXPECT_EQ(platform.Sends()[1], "<g44>6<p>new</p></g44>");
}

TEST_F(SendThreadTest, EndsOnTheKillEventWhileWaitingForAnAnswer) {
    Start();
    Send(5, 2, "x");
    ASSERT_TRUE(platform.WaitForSends(1));
    platform.SetEvent(client.m_hSendEvents[1]);
    thread.join();
    EXPECT_TRUE(client.m_bSendThreadExit);
    EXPECT_EQ(platform.Traces().back(), "SendData Thread exited !");
    EXPECT_EQ(client.m_pOutputQueue->GetItemCount(), 1);
}

}  // namespace
}  // namespace xporttest
