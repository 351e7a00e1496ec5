// Cutting frames out of the received byte stream (SetToCacheBuf) and the
// socket side of ReadData.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TransportTestClient.h"

namespace xporttest {
namespace {

class ReceiveCacheTest : public ::testing::Test {
protected:
    void Feed(const std::string& bytes) {
        std::string copy = bytes;
        client.SetToCacheBuf(&copy[0], static_cast<unsigned long>(copy.size()));
    }
    // Ids and first parameters of what was cut, in order; empties the queue.
    std::vector<std::string> TakeCut() {
        std::vector<std::string> cut;
        while (client.m_pInputQueue->GetItemCount() > 0) {
            const NetMessage* m = client.m_pInputQueue->PeekFirst();
            cut.push_back(std::to_string(m->GetId()) + ":" + ParamText(*m, 0));
            client.m_pInputQueue->PopFirst();
        }
        return cut;
    }

    ScriptedSocketPlatform platform;
    TestClient client{platform};
};

using Cut = std::vector<std::string>;

TEST_F(ReceiveCacheTest, FrameWithoutCloserIsDroppedByTheNextFrame) {
    Feed("x<g44>5<p>lost</p><g44>6<p>kept</p></g44>");
    EXPECT_EQ(TakeCut(), (Cut{"6:kept"}));
    EXPECT_EQ(client.Cache(), "");
}

TEST_F(ReceiveCacheTest, CloserBeforeAnyOpenerIsIgnored) {
    Feed("</g44>junk<g44>5<p>a</p></g44>tail");
    EXPECT_EQ(TakeCut(), (Cut{"5:a"}));
    EXPECT_EQ(client.Cache(), "tail");
}

TEST_F(ReceiveCacheTest, OverflowEmptiesTheCacheFirst) {
    const std::string unfinished = "<g44>5<p>" + std::string(4000 - 9, 'a');
    Feed(unfinished);
    ASSERT_EQ(client.Cache().size(), 4000u);

    const std::string chunk = std::string(1500 - 20, 'b') + "<g44>6<p>new</p></g44>";
    ASSERT_EQ(chunk.size(), 1502u);
    Feed(chunk.substr(0, 1500));
    EXPECT_TRUE(platform.Traced("SetToCacheBuf start (CacheBuflenght =0  NewPakcage lenght =1500"));
    EXPECT_EQ(client.Cache(), chunk.substr(0, 1500));
    Feed(chunk.substr(1500));
    EXPECT_EQ(TakeCut(), (Cut{"6:new"}));
}

TEST_F(ReceiveCacheTest, ExactlyFullCacheIsKept) {
    const std::string unfinished = "<g44>5<p>" + std::string(4000 - 9, 'a');
    Feed(unfinished);
    Feed(std::string(1000, 'a'));
    // 4000 + 1000 characters: not more than 5000, nothing is lost.
    EXPECT_TRUE(platform.Traced("SetToCacheBuf start (CacheBuflenght =4000  NewPakcage lenght =1000"));
    EXPECT_EQ(client.Cache(), unfinished + std::string(1000, 'a'));
    // One more character is too many.
    Feed("a");
    EXPECT_TRUE(platform.Traced("SetToCacheBuf start (CacheBuflenght =0  NewPakcage lenght =1"));
    EXPECT_EQ(client.Cache(), "a");
}

TEST_F(ReceiveCacheTest, FrameOfExactly2500IsCut) {
    const std::string param(2500 - 19, 'y');
    const std::string frame = "<g44>5<p>" + param + "</p></g44>";
    ASSERT_EQ(frame.size(), 2500u);
    Feed(frame);
    EXPECT_EQ(TakeCut(), (Cut{"5:" + param}));
}

TEST_F(ReceiveCacheTest, TagsSplitAtEveryPositionBetweenTwoChunks) {
    const std::string stream = "ab<g44>5<p>x</p></g44>c<g44>6</g44>";
    for (std::size_t split = 0; split <= stream.size(); ++split) {
        SCOPED_TRACE(split);
        Feed(stream.substr(0, split));
        Feed(stream.substr(split));
        EXPECT_EQ(TakeCut(), (Cut{"5:x", "6:<none>"}));
        EXPECT_EQ(client.Cache(), "");
    }
}

TEST_F(ReceiveCacheTest, ZeroByteEndsTheChunkText) {
    const std::string chunk("<g44>5</g44>\0<g44>6</g44>", 25);
    Feed(chunk);
    EXPECT_EQ(TakeCut(), (Cut{"5:<none>"}));
    EXPECT_EQ(client.Cache(), "");
    // The trace names the byte count received, not the text length.
    EXPECT_TRUE(platform.Traced("SetToCacheBuf start (CacheBuflenght =0  NewPakcage lenght =25"));
}

// ---- ReadData: the socket side. ----

class ReadDataTest : public ReceiveCacheTest {
protected:
    void SetUp() override {
        client.Prepare();
        client.SetState(CNetClient::CONN_CONNECTED);
        client.SetNetHandler(&HandlerRecord::Handle);
        HandlerRecord::Clear();
    }
};

TEST_F(ReadDataTest, ReceiveAsksFor2500BytesAndCountsWhatCame) {
    platform.QueueChunk("<g44>5<p>a</p></g44><g44>5");
    client.m_bKeepAlivePending = true;
    platform.tick = 123456;
    EXPECT_EQ(client.ReadData(), 26u);
    EXPECT_EQ(platform.ReceiveCapacities(), (std::vector<std::uint32_t>{2500}));
    EXPECT_EQ(client.m_nTotalReceived.load(), 26u);
    EXPECT_FALSE(client.m_bKeepAlivePending);
    EXPECT_EQ(client.m_dwLastRecvTick.load(), 123456u);
    EXPECT_TRUE(platform.Traced("R E C E I V E D<<<: <g44>5<p>a</p></g44><g44>5"));
    EXPECT_TRUE(platform.Traced("Reading data finished"));
    EXPECT_EQ(HandlerRecord::Count(), 1u);
    EXPECT_EQ(client.m_pInputQueue->GetItemCount(), 0);
    EXPECT_EQ(client.Cache(), "<g44>5");
}

TEST_F(ReadDataTest, ReceiveFailureRequestsAReconnectAndKeepsTheCache) {
    Feed("<g44>5<p>half");
    client.m_bSocketConnected = true;
    platform.QueueReceiveError(transport::kErrConnReset);
    EXPECT_EQ(client.ReadData(), 0u);
    EXPECT_TRUE(platform.Traced("WSAECONNRESET: Connection reset by peer."));
    EXPECT_FALSE(client.m_bSocketConnected);
    EXPECT_TRUE(client.IsSet(client.m_hMainEvents[2]));
    EXPECT_EQ(client.Cache(), "<g44>5<p>half");
    EXPECT_EQ(client.m_nTotalReceived.load(), 0u);
    EXPECT_EQ(HandlerRecord::Count(), 0u);
}

TEST_F(ReadDataTest, PeerCloseIsReportedAsAReset) {
    // No chunk queued: the scripted socket reports 0 bytes.
    EXPECT_EQ(client.ReadData(), 0u);
    EXPECT_TRUE(platform.Traced("WSAECONNRESET: Connection reset by peer."));
    EXPECT_TRUE(client.IsSet(client.m_hMainEvents[2]));
    EXPECT_EQ(client.m_dwLastRecvTick.load(), 0u);
}

TEST_F(ReadDataTest, ChunkLargerThanOneReceiveArrivesInTwo) {
    const std::string big = std::string(2490, 'n') + "<g44>5<p>split</p></g44>";
    platform.QueueChunk(big);
    EXPECT_EQ(client.ReadData(), 2500u);
    EXPECT_EQ(HandlerRecord::Count(), 0u);
    ASSERT_EQ(big.size(), 2514u);
    EXPECT_EQ(client.ReadData(), 14u);
    ASSERT_EQ(HandlerRecord::Count(), 1u);
    EXPECT_EQ(ParamText(HandlerRecord::MessageAt(0), 0), "split");
}

}  // namespace
}  // namespace xporttest
