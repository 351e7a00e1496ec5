// The network-event thread (socket events turned into work) and
// GetSockError (socket failures turned into traces and reconnect requests).

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "TransportTestClient.h"

namespace xporttest {
namespace {

class NetEventThreadTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.Prepare();
        client.SetNetHandler(&HandlerRecord::Handle);
        HandlerRecord::Clear();
    }
    void TearDown() override {
        if (!thread.joinable()) return;
        platform.SetEvent(client.m_hNetEvents[1]);
        thread.join();
    }

    void Start() { thread = std::thread([this] { TestClient::NetEventThread(&client); }); }
    // Reports socket events and waits until the thread has handled them and
    // is back at its wait.
    void Report(long mask, int readError = 0, int connectError = 0, int closeError = 0) {
        platform.QueueEvents(mask, readError, connectError, closeError);
        Wake();
    }
    void Wake() {
        platform.SetEvent(client.m_hNetEvents[0]);
        ASSERT_TRUE(platform.WaitForBlockingWaits(++wakes + 1));
    }
    void Kill() {
        platform.SetEvent(client.m_hNetEvents[1]);
        thread.join();
    }
    int Index(const std::string& text, int from = 0) { return platform.TraceIndex(text, from); }

    ScriptedSocketPlatform platform;
    TestClient client{platform};
    std::thread thread;
    int wakes = 0;
};

TEST_F(NetEventThreadTest, DataIsDeliveredBeforeTheCloseIsReported) {
    client.SetState(CNetClient::CONN_CONNECTED);
    client.m_bSocketConnected = true;
    platform.QueueChunk("<g44>5<p>last words</p></g44>");
    Start();
    Report(transport::kFdRead | transport::kFdClose);

    ASSERT_EQ(HandlerRecord::Count(), 1u);
    EXPECT_EQ(ParamText(HandlerRecord::MessageAt(0), 0), "last words");
    const int read = Index("WSAEnumNetworkEvents: FD_READ");
    const int finished = Index("Reading data finished", read);
    const int close = Index("WSAEnumNetworkEvents: FD_CLOSE", finished);
    ASSERT_GE(read, 0);
    ASSERT_GT(finished, read);
    ASSERT_GT(close, finished);
    EXPECT_GT(Index("WSAECONNRESET: Connection reset by peer.", close), close);
    EXPECT_FALSE(client.m_bSocketConnected);
    EXPECT_TRUE(client.IsSet(client.m_hMainEvents[2]));
}

TEST_F(NetEventThreadTest, CloseAndReadErrorsAreReportedWithTheirOwnCode) {
    Start();
    Report(transport::kFdClose, 0, 0, transport::kErrConnAborted);
    EXPECT_TRUE(platform.Traced("WSAECONNABORTED: Software caused connection abort."));
    EXPECT_FALSE(platform.Traced("WSAECONNRESET: Connection reset by peer."));
    EXPECT_TRUE(client.IsSet(client.m_hMainEvents[2]));

    Report(transport::kFdRead, transport::kErrConnReset);
    EXPECT_TRUE(platform.ReceiveCapacities().empty()) << "read despite the error";
    EXPECT_TRUE(platform.Traced("WSAECONNRESET: Connection reset by peer."));
}

TEST_F(NetEventThreadTest, ConnectWakesTheSendThreadAndFreesAnOldWait) {
    client.m_bConnecting = true;
    client.m_bSendPending = true;
    Start();
    Report(transport::kFdConnect);

    EXPECT_EQ(client.State(), CNetClient::CONN_SOCKET_CONNECTED);
    EXPECT_TRUE(client.m_bSocketConnected);
    EXPECT_FALSE(client.m_bConnecting);
    const int connect = Index("WSAEnumNetworkEvents: FD_CONNECT");
    ASSERT_GE(connect, 0);
    EXPECT_GT(Index("SendState is true", connect), connect);
    EXPECT_TRUE(client.IsSet(client.m_hSendEvents[0]));
    EXPECT_EQ(client.DrainSemaphore(), 1);
}

TEST_F(NetEventThreadTest, ConnectWithNothingAwaitedOnlyWakesTheSendThread) {
    Start();
    Report(transport::kFdConnect);
    EXPECT_FALSE(platform.Traced("SendState is true"));
    EXPECT_FALSE(client.IsSet(client.m_hSendEvents[0]));
    EXPECT_EQ(client.DrainSemaphore(), 1);
}

TEST_F(NetEventThreadTest, RefusedConnectChangesNothingButRequestsAReconnect) {
    client.m_bConnecting = true;
    Start();
    Report(transport::kFdConnect, 0, transport::kErrConnRefused);
    EXPECT_TRUE(platform.Traced("WSAECONNREFUSED: Connection refused."));
    EXPECT_EQ(client.State(), CNetClient::CONN_NOT_CONNECTED);
    EXPECT_FALSE(client.m_bConnecting);
    EXPECT_TRUE(client.IsSet(client.m_hMainEvents[2]));
    EXPECT_EQ(client.DrainSemaphore(), 0);
}

TEST_F(NetEventThreadTest, KillClosesTheSocketButLeavesTheEventsToClose) {
    client.m_bSocketConnected = true;
    Start();
    Kill();
    EXPECT_TRUE(platform.Traced("WSAWaitForMultipleEvents: Kill event"));
    EXPECT_EQ(platform.Traces().back(), "NetEvent Thread exited !");
    EXPECT_EQ(platform.Closed(), (std::vector<transport::SocketHandle>{kFakeSocket}));
    EXPECT_EQ(client.m_socket.load(), transport::kInvalidSocket);
    EXPECT_TRUE(client.m_bNetThreadExited);
    EXPECT_FALSE(client.m_bSocketConnected);
    // The events are still usable: Close closes them after the thread ended.
    EXPECT_TRUE(platform.SetEvent(client.m_hNetEvents[0]));
    EXPECT_TRUE(platform.SetEvent(client.m_hNetEvents[1]));
}

TEST_F(NetEventThreadTest, FailedEnumerationIsTracedAndTheThreadWaitsOn) {
    client.SetState(CNetClient::CONN_CONNECTED);
    platform.QueueEnumerationFailure();
    Start();
    Wake();
    const int failed = Index("WSAEnumNetworkEvents return SOCKET_ERROR");
    ASSERT_GE(failed, 0);
    EXPECT_GT(Index("WSAENOTSOCK: Socket operation on non socket.", failed), failed);
    EXPECT_FALSE(client.IsSet(client.m_hMainEvents[2]));
    EXPECT_FALSE(client.IsSet(client.m_hNetEvents[0]));  // no busy loop on a stale signal

    // Still serving events.
    Report(transport::kFdConnect);
    EXPECT_EQ(client.State(), CNetClient::CONN_SOCKET_CONNECTED);
}

TEST_F(NetEventThreadTest, FailedEnumerationAfterCloseEndsTheThread) {
    client.SetState(CNetClient::CONN_CLOSED);
    platform.QueueEnumerationFailure();
    Start();
    platform.SetEvent(client.m_hNetEvents[0]);
    thread.join();
    EXPECT_EQ(platform.Traces().back(), "NetEvent Thread exited !");
    EXPECT_FALSE(client.m_bNetThreadExited);
    // The socket stays open; only its event selection is cancelled.
    EXPECT_TRUE(platform.Closed().empty());
    EXPECT_EQ(platform.Selections(),
              (std::vector<std::pair<transport::SocketHandle, long>>{{kFakeSocket, 0}}));
}

TEST_F(NetEventThreadTest, FailedWaitRequestsAReconnectAndEnds) {
    const transport::Handle kill = client.m_hNetEvents[1];
    client.m_hNetEvents[1] = nullptr;  // a wait on a null handle fails
    Start();
    thread.join();
    client.m_hNetEvents[1] = kill;
    EXPECT_TRUE(platform.Traced("WSAWaitForMultipleEvents return false (WSA_WAIT_FAILED)"));
    EXPECT_TRUE(client.IsSet(client.m_hMainEvents[2]));
    EXPECT_FALSE(client.m_bNetThreadExited);
    EXPECT_EQ(platform.Traces().back(), "NetEvent Thread exited !");
}

// ---- GetSockError. ----

class SockErrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.m_bConnecting = true;
        client.m_bSocketConnected = true;
        client.m_nAttemptCount = 1;
    }
    ScriptedSocketPlatform platform;
    TestClient client{platform};
};

TEST_F(SockErrorTest, ReconnectRequestClearsTheFlagsAndSignalsTheMainThread) {
    client.GetSockError(true, transport::kErrConnRefused);
    EXPECT_EQ(platform.Traces().back(), "WSAECONNREFUSED: Connection refused.");
    EXPECT_FALSE(client.m_bConnecting);
    EXPECT_FALSE(client.m_bSocketConnected);
    EXPECT_TRUE(client.IsSet(client.m_hMainEvents[2]));
    EXPECT_EQ(client.m_nAttemptCount.load(), 1);
}

TEST_F(SockErrorTest, TimeOutSkipsTheRemainingConnectionTypes) {
    client.GetSockError(false, transport::kErrTimedOut);
    EXPECT_EQ(platform.Traces().back(), "WSAETIMEDOUT: Connection timed out.");
    EXPECT_EQ(client.m_nAttemptCount.load(), 3);
    EXPECT_FALSE(client.m_bConnecting);
    EXPECT_FALSE(client.m_bSocketConnected);
    EXPECT_FALSE(client.IsSet(client.m_hMainEvents[2]));
}

TEST_F(SockErrorTest, ZeroReadsTheThreadsLastError) {
    platform.SetLastSocketError(transport::kErrIoPending);
    client.GetSockError(true, 0);
    EXPECT_EQ(platform.Traces().back(), "Unknown socket error.");
    platform.SetLastSocketError(transport::kErrHostNotFound);
    client.GetSockError(false, 0);
    EXPECT_EQ(platform.Traces().back(),
              "WSAHOST_NOT_FOUND: Host not found. This message indicates that the key (name, "
              "address, and so on) was not found.");
}

}  // namespace
}  // namespace xporttest
