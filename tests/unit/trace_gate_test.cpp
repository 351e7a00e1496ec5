// The long trace lines (a whole request, a whole received chunk, the cache
// bookkeeping) are formatted only when the platform says someone reads the
// trace; everything else the receive and send paths do stays the same.

#include <gtest/gtest.h>

#include <string>

#include "TransportTestClient.h"

namespace xporttest {
namespace {

// The scripted socket platform, its trace sink declared deaf: whatever still
// reaches Trace is recorded, so a test sees what was formatted regardless.
class DeafPlatform : public ScriptedSocketPlatform {
public:
    bool TraceEnabled() override { return false; }
};

bool AnyTraceStartsWith(ScriptedSocketPlatform& platform, const std::string& prefix) {
    for (const std::string& line : platform.Traces()) {
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

template <typename Platform>
class TraceGateTest : public ::testing::Test {
protected:
    void SetUp() override {
        client.Prepare();
        client.SetState(CNetClient::CONN_CONNECTED);
        client.m_nConnType = CNetClient::CONNTYPE_DIRECT;
        client.m_bSocketConnected = true;
        client.SetNetHandler(&HandlerRecord::Handle);
        HandlerRecord::Clear();
    }

    Platform platform;
    TestClient client{platform};
};

using Platforms = ::testing::Types<ScriptedSocketPlatform, DeafPlatform>;
TYPED_TEST_SUITE(TraceGateTest, Platforms);

constexpr bool Listening(const ScriptedSocketPlatform*) { return true; }
constexpr bool Listening(const DeafPlatform*) { return false; }

TYPED_TEST(TraceGateTest, ReceivedChunkIsCutAndDispatchedAlike) {
    const bool listening = Listening(&this->platform);
    this->platform.QueueChunk("HTTP/1.1 200 OK\r\n\r\n<g44>5<p>a</p></g44><g44>5<p>b");
    EXPECT_EQ(this->client.ReadData(), 49u);
    ASSERT_EQ(HandlerRecord::Count(), 1u);
    EXPECT_EQ(ParamText(HandlerRecord::MessageAt(0), 0), "a");
    EXPECT_EQ(this->client.Cache(), "<g44>5<p>b");
    EXPECT_EQ(this->client.m_nTotalReceived.load(), 49u);

    EXPECT_EQ(this->platform.Traced(
                  "R E C E I V E D<<<: HTTP/1.1 200 OK\r\n\r\n<g44>5<p>a</p></g44><g44>5<p>b"),
              listening);
    EXPECT_EQ(this->platform.Traced("SetToCacheBuf start (CacheBuflenght =0  NewPakcage lenght =49"),
              listening);
    // The short fixed lines go out either way (the sink decides about them).
    EXPECT_TRUE(this->platform.Traced("Reading data started"));
    EXPECT_TRUE(this->platform.Traced("Reading data finished"));

    // The rest of the frame completes it, traced or not.
    this->platform.QueueChunk("</p></g44>");
    EXPECT_EQ(this->client.ReadData(), 10u);
    ASSERT_EQ(HandlerRecord::Count(), 2u);
    EXPECT_EQ(ParamText(HandlerRecord::MessageAt(1), 0), "b");
    EXPECT_EQ(this->client.Cache(), "");
}

TYPED_TEST(TraceGateTest, SentRequestReachesTheWireAlike) {
    const bool listening = Listening(&this->platform);
    this->client.Queue(5, 2, {"hello"});
    EXPECT_EQ(this->client.SendData(), 2);
    EXPECT_EQ(this->platform.Sends(), (std::vector<std::string>{"<g44>5<p>hello</p></g44>"}));
    EXPECT_EQ(this->client.m_nTotalSent.load(), 24u);
    EXPECT_TRUE(this->client.m_bSendPending);
    EXPECT_EQ(this->platform.Traced(
                  "S E N T>>>: <g44>5<p>hello</p></g44> Bytes sent = 24\r\nSendData finished"),
              listening);
    EXPECT_EQ(AnyTraceStartsWith(this->platform, "S E N T>>>"), listening);
    EXPECT_TRUE(this->platform.Traced("Send started"));
}

TYPED_TEST(TraceGateTest, TooLongFrameIsReportedEvenWhenNobodyListens) {
    // A dropped frame is worth its line whatever the sink: it is rare, and
    // the only sign that data was lost.
    std::string frame = "<g44>5<p>" + std::string(2500, 'x') + "</p></g44>";
    this->client.SetToCacheBuf(&frame[0], static_cast<unsigned long>(frame.size()));
    EXPECT_TRUE(this->platform.Traced("Frame too long (2519 characters), dropped"));
    EXPECT_EQ(this->client.m_pInputQueue->GetItemCount(), 0);
    EXPECT_EQ(this->client.Cache(), "");
}

TEST(TraceGateDefaults, TheDefaultPlatformDiscardsAndWrappersListen) {
    EXPECT_FALSE(transport::DefaultPlatform().TraceEnabled());
    transport::PlatformWrapper wrapper(transport::DefaultPlatform());
    EXPECT_TRUE(wrapper.TraceEnabled());
}

}  // namespace
}  // namespace xporttest
