// The long trace lines (a whole request, a whole received chunk, the cache
// bookkeeping) are formatted only when the platform says someone reads the
// trace; what the receive and send paths do stays the same either way.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TransportTestClient.h"

namespace xporttest {
namespace {

using Lines = std::vector<std::string>;

// Records whatever still reaches Trace, so a test sees what was formatted
// even when the sink says nobody listens.
struct GatedPlatform : ScriptedSocketPlatform {
    explicit GatedPlatform(bool on) : listening(on) {}
    bool TraceEnabled() override { return listening; }
    const bool listening;
};

TEST(TraceGate, PathsWorkAlikeAndLongLinesWaitForAListener) {
    for (bool listening : {true, false}) {
        SCOPED_TRACE(listening ? "listening" : "nobody listens");
        GatedPlatform platform(listening);
        TestClient client(platform);
        client.Prepare();
        client.SetState(CNetClient::CONN_CONNECTED);
        client.m_nConnType = CNetClient::CONNTYPE_DIRECT;
        client.m_bSocketConnected = true;
        client.SetNetHandler(&HandlerRecord::Handle);
        HandlerRecord::Clear();
        platform.QueueChunk("HTTP/1.1 200 OK\r\n\r\n<g44>5<p>a</p></g44><g44>5<p>b");
        platform.QueueChunk("</p></g44>");
        EXPECT_EQ(client.ReadData(), 49u);
        EXPECT_EQ(client.ReadData(), 10u);
        ASSERT_EQ(HandlerRecord::Count(), 2u);
        EXPECT_EQ(ParamText(HandlerRecord::MessageAt(1), 0), "b");
        client.Queue(5, 2, {"hello"});
        EXPECT_EQ(client.SendData(), 2);
        EXPECT_EQ(platform.Sends(), Lines{"<g44>5<p>hello</p></g44>"});
        // A dropped frame is worth its line whatever the sink: the only sign of the loss.
        std::string frame = "<g44>5<p>" + std::string(2500, 'x') + "</p></g44>";
        client.SetToCacheBuf(&frame[0], static_cast<unsigned long>(frame.size()));
        EXPECT_TRUE(platform.Traced("Frame too long (2519 characters), dropped"));
        EXPECT_TRUE(platform.Traced("Reading data started"));  // the sink decides on short ones

        Lines gated;
        for (const std::string& line : platform.Traces()) {
            for (const char* start : {"R E C E I V E D", "S E N T", "SetToCacheBuf start"}) {
                if (line.rfind(start, 0) == 0) gated.push_back(line);
            }
        }
        const Lines whole = {
            "SetToCacheBuf start (CacheBuflenght =0  NewPakcage lenght =49",
            "R E C E I V E D<<<: HTTP/1.1 200 OK\r\n\r\n<g44>5<p>a</p></g44><g44>5<p>b",
            "SetToCacheBuf start (CacheBuflenght =10  NewPakcage lenght =10",
            "R E C E I V E D<<<: </p></g44>",
            "S E N T>>>: <g44>5<p>hello</p></g44> Bytes sent = 24\r\nSendData finished",
            "SetToCacheBuf start (CacheBuflenght =0  NewPakcage lenght =2519"};
        EXPECT_EQ(gated, listening ? whole : Lines{});
    }
}

TEST(TraceGate, TheDefaultPlatformDiscardsAndWrappersListen) {
    EXPECT_FALSE(transport::DefaultPlatform().TraceEnabled());
    EXPECT_TRUE(transport::PlatformWrapper(transport::DefaultPlatform()).TraceEnabled());
}

}  // namespace
}  // namespace xporttest
