// The long trace lines (a whole request, a whole received chunk, the cache
// bookkeeping) are formatted only when the platform says someone reads the
// trace; what the receive and send paths do stays the same either way.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TransportTestClient.h"

namespace xporttest {
namespace {

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
        client.SetNetHandler(&HandlerRecord::Handle);
        HandlerRecord::Clear();
        platform.QueueChunk("HTTP/1.1 200 OK\r\n\r\n<g44>5<p>a</p></g44><g44>5<p>b");
        platform.QueueChunk("</p></g44>");
        EXPECT_EQ(client.ReadData(), 49u);
        EXPECT_EQ(client.ReadData(), 10u);
        EXPECT_EQ(HandlerRecord::Count(), 2u);
        client.Queue(5, 2, {"hello"});
        EXPECT_EQ(client.SendData(), 2);
        EXPECT_EQ(platform.Sends(), std::vector<std::string>{"<g44>5<p>hello</p></g44>"});
        // A dropped frame is worth its line whatever the sink: the only sign of the loss.
        std::string frame = "<g44>5<p>" + std::string(2500, 'x') + "</p></g44>";
        client.SetToCacheBuf(&frame[0], static_cast<unsigned long>(frame.size()));
        EXPECT_TRUE(platform.Traced("Frame too long (2519 characters), dropped"));

        int gated = 0;  // two chunks, a request, three cache lines
        for (const std::string& line : platform.Traces()) {
            for (const char* start : {"R E C E I V E D", "S E N T", "SetToCacheBuf start"}) {
                gated += line.rfind(start, 0) == 0;
            }
        }
        EXPECT_EQ(gated, listening ? 6 : 0);
        EXPECT_EQ(platform.Traced("S E N T>>>: <g44>5<p>hello</p></g44> Bytes sent = 24\r\n"
                                  "SendData finished"),
                  listening);
    }
}

TEST(TraceGate, TheDefaultPlatformDiscardsAndWrappersListen) {
    EXPECT_FALSE(transport::DefaultPlatform().TraceEnabled());
    EXPECT_TRUE(transport::PlatformWrapper(transport::DefaultPlatform()).TraceEnabled());
}

}  // namespace
}  // namespace xporttest
