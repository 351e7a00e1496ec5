// Close: the disconnect frame goes out before the threads stop, only when
// logged in; Close(true) destroys the queued messages, also the one in
// flight, while the worker threads still run.

#include <cstdio>
#include <cstdlib>
#include <future>

#include "e2e/E2eFixture.h"

namespace e2e {
namespace {

const char kDisconnect[] = "<g44>0<p>0</p></g44>";

class CloseTest : public E2eTest {};

TEST_F(CloseTest, ConnectedClientWritesDisconnectFrameBeforeThreadsStop) {
    StartClient("abc", "pw");
    ASSERT_TRUE(WaitLoggedIn());
    EXPECT_TRUE(m_client->Close(false));

    ASSERT_TRUE(m_server.WaitForClosed(0, kWait));
    const std::string received = m_server.Received(0);
    ASSERT_EQ(std::string(kDisconnect).size(), 20u);
    ASSERT_GE(received.size(), 20u);
    // The disconnect frame is the last thing on the line.
    EXPECT_EQ(received.substr(received.size() - 20), kDisconnect);
    auto disconnects = m_server.FramesWithId(0);
    ASSERT_EQ(disconnects.size(), 1u);
    EXPECT_EQ(disconnects[0].params, (std::vector<std::string>{"0"}));

    const long sent = m_trace.IndexOf(std::string("S E N T>>>: ") + kDisconnect + " Bytes sent = 20");
    ASSERT_GE(sent, 0);
    for (const char* exited : {"NetEvent Thread exited !", "SendData Thread exited !",
                               "Main Thread exited !"}) {
        EXPECT_GT(m_trace.IndexOf(exited), sent) << exited;
    }
    EXPECT_LT(m_trace.IndexOf("Closing NetClient !!!"), sent);
    EXPECT_EQ(m_client->State(), CNetClient::CONN_CLOSED);
    // Closed for good.
    EXPECT_FALSE(m_client->Open(m_params));
    EXPECT_FALSE(m_client->Login("user", "pw", nullptr, 1, "", ""));
}

TEST_F(CloseTest, ClientNotLoggedInSendsNoDisconnect) {
    m_server.IgnoreLogins(true);
    StartClient();
    ASSERT_TRUE(m_server.WaitForFramesWithId(1, 1, kWait));
    EXPECT_TRUE(m_client->Close(false));
    ASSERT_TRUE(m_server.WaitForClosed(0, kWait));
    EXPECT_TRUE(m_server.FramesWithId(0).empty());
    EXPECT_EQ(m_server.Received(0), LoginFrame("user", "secret"));
}

TEST_F(CloseTest, CloseTrueDestroysQueueAndMessageInFlight) {
    m_server.SetDefaultResult(FakeServer::kNoAnswer);
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    for (unsigned long id = 130; id < 150; ++id) {
        NetMessage m = MakeMessage(id, 1 + static_cast<int>(id % 4), {"queued"});
        m_client->Send(&m);
    }
    ASSERT_TRUE(m_server.WaitForFrames(2, kWait));
    ASSERT_TRUE(m_client->HasMessageInFlight());
    EXPECT_EQ(m_client->OutputCount(), 20);

    EXPECT_TRUE(m_client->Close(true));
    EXPECT_EQ(m_client->OutputCount(), 0);
    EXPECT_FALSE(m_client->HasMessageInFlight());
    // Nothing after the one in flight was written.
    ASSERT_TRUE(m_server.WaitForClosed(0, kWait));
    std::vector<long> ids;
    for (const auto& f : FramesOn(0)) ids.push_back(f.id);
    EXPECT_EQ(ids.size(), 3u);  // log-in, the message in flight, the disconnect
    EXPECT_EQ(ids.back(), 0);
}

TEST_F(CloseTest, CloseFalseLeavesQueueToTheDestructor) {
    m_server.SetDefaultResult(FakeServer::kNoAnswer);
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    for (unsigned long id = 150; id < 155; ++id) {
        NetMessage m = MakeMessage(id, 2, {"kept"});
        m_client->Send(&m);
    }
    ASSERT_TRUE(m_server.WaitForFramesWithId(150, 1, kWait));
    EXPECT_TRUE(m_client->Close(false));
    EXPECT_EQ(m_client->OutputCount(), 5);
    // The destructor (in TearDown) releases them; the leak checker of the
    // address sanitizer build holds it to that.
}

// Close(true) against a busy line, many times: the send thread is peeking,
// serialising or removing, and the receive path copying the message in
// flight into a package, while the queue is emptied under them.
TEST_F(CloseTest, CloseTrueWhileMessagesFlowIsSafe) {
    for (int round = 0; round < 15; ++round) {
        SCOPED_TRACE(round);
        StartClient();
        ASSERT_TRUE(WaitLoggedIn());
        for (unsigned long id = 200; id < 240; ++id) {
            NetMessage m = MakeMessage(id, 1 + static_cast<int>(id % 4), {"flowing"});
            m_client->Send(&m);
        }
        ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1,
                                                   static_cast<std::size_t>(round % 5 + 1)));
        EXPECT_TRUE(m_client->Close(true));
        EXPECT_EQ(m_client->OutputCount(), 0);
        EXPECT_FALSE(m_client->HasMessageInFlight());
        StopClient();
    }
}

// Close while the log-in answer is still on its way in: the answer is
// handled after Close has stopped the main thread, and the send thread
// learns of it only then. Whatever the answer does, the client stays closed
// and Close returns.
TEST_F(CloseTest, CloseWhileTheLoginAnswerArrivesStillEnds) {
    StallingTrace stall(m_trace, {
        // The network-event thread reads the answer only once Close has
        // stopped the main thread (and gone on to wait for the others).
        {"WSAEnumNetworkEvents: FD_READ", "Main Thread exited !", 100},
        // The send thread reaches its reply wait only after the answer.
        {"S E N T>>>: <g44>1<p>", "Reading data finished", 20},
    });
    m_top = &stall;
    StartClient();
    ASSERT_TRUE(m_server.WaitForFrames(1, kWait));
    // The answer has reached the client (its thread is now held at the read).
    ASSERT_TRUE(m_trace.WaitFor("WSAEnumNetworkEvents: FD_READ", kWaitMs));

    auto closed = std::async(std::launch::async, [this] { return m_client->Close(false); });
    if (closed.wait_for(kWait) != std::future_status::ready) {
        ADD_FAILURE() << "Close did not return; last trace lines:\n" << LastTraceLines(12);
        std::fflush(stdout);
        std::_Exit(1);  // the worker threads cannot be ended any other way
    }
    EXPECT_TRUE(closed.get());
    EXPECT_EQ(m_client->State(), CNetClient::CONN_CLOSED);
    EXPECT_TRUE(m_trace.Contains("SendData Thread exited !"));
    StopClient();
}

}  // namespace
}  // namespace e2e
