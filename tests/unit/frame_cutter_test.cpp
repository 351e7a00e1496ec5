// The frame cutter: whole frames out of a stream however it is chunked.

#include <gtest/gtest.h>

#include <transport/NetMessage.h>

#include <string>
#include <vector>

#include "message/PartsLedger.h"
#include "transport/FrameCutter.h"

namespace {

struct Cutter {
    char cache[transport::FrameCutter::kCapacity + 1] = {};
    transport::FrameCutter cutter{cache};
    std::vector<std::size_t> tooLong;

    // "id:first parameter" of each frame cut from the chunks, in order.
    std::vector<std::string> Feed(const std::vector<std::string>& chunks) {
        std::vector<std::string> cut;
        for (const std::string& chunk : chunks) {
            cutter.Take(chunk.data(), chunk.size());
            std::vector<std::unique_ptr<NetMessage>> frames;
            cutter.Cut(&frames, &tooLong);
            for (auto& m : frames) {
                cut.push_back(std::to_string(m->GetId()) + ":" + transport::ParamText(*m, 0));
            }
        }
        return cut;
    }
};

struct Case {
    std::vector<std::string> chunks;
    std::vector<std::string> frames;
    std::string left;  // what the cache keeps for the next chunk
};

TEST(FrameCutter, CutsWholeFramesAndKeepsTheRest) {
    const Case cases[] = {
        {{"<g44>7<p>1</p></g44>"}, {"7:1"}, ""},
        {{"<g44>7<p>1</p></g4", "4>"}, {"7:1"}, ""},
        {{"<g4", "4>3<p>a</p></g44><g44>4"}, {"3:a"}, "<g44>4"},
        // HTTP lines before a frame go with it; a closer without opener is ignored.
        {{"HTTP/1.1 200 OK\r\n\r\n</g44><g44>2<p>x</p></g44>tail"}, {"2:x"}, "tail"},
        // A frame whose closer was lost is dropped by the next opener.
        {{"x<g44>5<p>lost</p><g44>6<p>kept</p></g44>"}, {"6:kept"}, ""},
        {{"<g44>1<p>a</p></g44><g44>2<p>b</p></g44>"}, {"1:a", "2:b"}, ""},
        // Bytes after a zero byte are not text.
        {{std::string("<g44>9<p>z</p></g44>\0<g44>8", 26)}, {"9:z"}, ""},
    };
    for (const Case& c : cases) {
        Cutter cutter;
        EXPECT_EQ(cutter.Feed(c.chunks), c.frames) << c.chunks[0];
        EXPECT_EQ(std::string(cutter.cache), c.left) << c.chunks[0];
        EXPECT_EQ(cutter.cutter.Cached(), c.left.size());
    }
}

TEST(FrameCutter, RecountsACacheWrittenBehindItsBack) {
    Cutter cutter;
    cutter.Feed({"<g44>4<p>"});
    std::string copied = "<g44>3<p>c";
    std::copy(copied.begin(), copied.end(), cutter.cache);
    cutter.cache[copied.size()] = '\0';
    EXPECT_EQ(cutter.Feed({"</p></g44>"}), (std::vector<std::string>{"3:c"}));
}

}  // namespace
