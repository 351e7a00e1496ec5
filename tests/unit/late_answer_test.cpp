// Answers carry no message id: an answer belongs to the request it could
// answer. One that was already received when the next request went out (a
// duplicate, or one the server sent unasked, still being handed to the
// application) must not release the send thread for that request: the
// message would be removed from the queue unanswered, and lost if the line
// then broke before the server read it.

#include <gtest/gtest.h>

#include <string>

#include "TransportTestClient.h"

namespace xporttest {
namespace {

TestClient* g_client = nullptr;
bool g_sendFromHandler = false;

// The application's handler, while the send thread goes on with the next
// message (the handler runs on the network-event thread, the send thread
// does not wait for it).
bool SendWhileHandling(NetPackage* package) {
    if (g_sendFromHandler) {
        g_sendFromHandler = false;
        g_client->SendData();
    }
    return HandlerRecord::Handle(package);
}

class LateAnswerTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.Prepare();
        client.SetState(CNetClient::CONN_CONNECTED);
        client.m_nConnType = CNetClient::CONNTYPE_DIRECT;
        client.m_bSocketConnected = true;
        client.SetNetHandler(&SendWhileHandling);
        HandlerRecord::Clear();
        g_client = &client;
        g_sendFromHandler = false;
    }
    void TearDown() override { g_client = nullptr; }

    unsigned long Receive(const std::string& bytes) {
        platform.QueueChunk(bytes);
        return client.ReadData();
    }
    bool ResponseSet() { return client.IsSet(client.m_hSendEvents[0]); }

    ScriptedSocketPlatform platform;
    TestClient client{platform};
};

TEST_F(LateAnswerTest, AnAnswerReceivedBeforeTheNextSendDoesNotAnswerIt) {
    client.Queue(70, 2, {"next"});
    g_sendFromHandler = true;
    // Nothing was in flight when this arrived; while the application looks
    // at it, the queued message goes out.
    Receive("<g44>7<p>1</p></g44>");
    ASSERT_EQ(platform.Sends().size(), 1u);
    EXPECT_EQ(platform.Sends()[0], "<g44>70<p>next</p></g44>");
    EXPECT_EQ(HandlerRecord::Count(), 1u);
    EXPECT_FALSE(ResponseSet()) << "a stale answer released the send thread";
    EXPECT_TRUE(platform.Traced("Late answer, not taken for the message in flight"));

    // Its own answer comes after it went out, and counts.
    Receive("<g44>7<p>1</p></g44>");
    EXPECT_TRUE(ResponseSet());
    EXPECT_EQ(HandlerRecord::Count(), 2u);
}

TEST_F(LateAnswerTest, AnAnswerReceivedAfterTheSendAnswersIt) {
    client.Queue(71, 3, {"in flight"});
    ASSERT_EQ(client.SendData(), 3);
    Receive("<g44>7<p>0</p></g44>");
    EXPECT_TRUE(ResponseSet());
    ASSERT_EQ(HandlerRecord::Count(), 1u);
    EXPECT_EQ(HandlerRecord::At(0).m_nKind, NetPackage::KIND_ERROR);
    EXPECT_FALSE(platform.Traced("Late answer, not taken for the message in flight"));
}

TEST_F(LateAnswerTest, TheFirstPartOfALateTransferDoesNotAnswerEither) {
    client.Queue(72, 1, {"next"});
    g_sendFromHandler = true;
    // The handler of the first frame sends; the part that follows in the
    // same chunk was received before that.
    Receive("<g44>5<p>note</p></g44><g44>8<p>4</p><p>doc</p><p>1/2</p><p>QUJD</p></g44>");
    ASSERT_EQ(platform.Sends().size(), 1u);
    EXPECT_FALSE(ResponseSet());
    EXPECT_EQ(HandlerRecord::Count(), 2u);  // the note and the part's progress
}

TEST_F(LateAnswerTest, DispatchOutsideAReceiveAnswersAsBefore) {
    client.Queue(73, 2, {"x"});
    ASSERT_EQ(client.SendData(), 2);
    NetMessage answer;
    answer.SetId(7);
    answer.GetParams().AddTail("1", 2);
    NetPackage package;
    client.DispatchReceived(answer, package);
    EXPECT_TRUE(ResponseSet());
}

}  // namespace
}  // namespace xporttest
