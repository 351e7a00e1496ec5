#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <transport/NetMessage.h>

#include "message/Frame.h"

namespace {

using transport::FrameText;
using transport::GetFrameLength;
using transport::ParseFrame;
using transport::WriteFrame;

NetMessage Make(unsigned long id, const std::vector<std::string>& texts) {
    NetMessage message;
    message.SetId(id);
    for (const auto& text : texts) message.GetParams().AddTail(text.c_str(), text.size() + 1);
    return message;
}

// Writes with the capacity every caller uses; the buffer has one byte of slack
// beyond what the contract asks, filled with a marker that must survive.
std::string Write(const NetMessage& message, unsigned long* returned = nullptr) {
    const unsigned long capacity = GetFrameLength(message) + 1;
    std::vector<char> buffer(capacity + 2, '#');
    const unsigned long length = WriteFrame(buffer.data(), capacity, message);
    if (returned != nullptr) *returned = length;
    EXPECT_EQ(buffer[capacity + 1], '#');
    if (length == 0) return {};
    EXPECT_EQ(buffer[length], '\0');
    return std::string(buffer.data(), length);
}

std::vector<std::string> Params(const NetMessage& message) {
    std::vector<std::string> out;
    const NetParamList& params = message.GetParams();
    for (NetParam* node = params.GetHead(); node != nullptr; node = params.GetNext(node)) {
        void* data = nullptr;
        unsigned long length = 0;
        params.GetData(node, &data, &length);
        out.emplace_back(static_cast<const char*>(data), length);
    }
    return out;
}

using Texts = std::vector<std::string>;

TEST(FrameWrite, ParameterEndsAtZeroByteOrAtItsLength) {
    NetMessage message;
    message.SetId(1);
    message.GetParams().AddTail("ab\0cd", 6);
    // A binary parameter without any zero byte, in a buffer of exactly its length.
    std::unique_ptr<char[]> binary(new char[3]{'x', 'y', 'z'});
    message.GetParams().AddTail(binary.get(), 3);
    message.GetParams().AddTail("never read", 0);
    EXPECT_EQ(Write(message), "<g44>1<p>ab</p><p>xyz</p><p></p></g44>");
    EXPECT_EQ(GetFrameLength(message), 15u + 7 * 3 + 5);
}

TEST(FrameWrite, EveryIdWidthFitsTheCapacityCallersPass) {
    EXPECT_EQ(Write(Make(99999, {"a"})), "<g44>99999<p>a</p></g44>");
    EXPECT_EQ(Write(Make(4294967295ul, {"a"})), "<g44>-1<p>a</p></g44>");
    EXPECT_EQ(Write(Make(123456, {})), "<g44>123456</g44>");
    EXPECT_EQ(GetFrameLength(Make(123456, {})), 17u);
    EXPECT_EQ(Write(Make(2147483648ul, {"x"})), "<g44>-2147483648<p>x</p></g44>");
    EXPECT_EQ(Write(Make(2147483647ul, {})), "<g44>2147483647</g44>");
}

TEST(FrameWrite, TooSmallCapacityWritesNothing) {
    NetMessage message = Make(12, {"Keep-Alive"});
    char buffer[40];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(WriteFrame(buffer, 29, message), 0u);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(WriteFrame(buffer, 30, message), 30u);
    EXPECT_EQ(WriteFrame(nullptr, 30, message), 0u);

    const std::string big(5000, 'q');
    NetMessage large = Make(10, {big});
    EXPECT_EQ(FrameText(large), "<g44>10<p>" + big + "</p></g44>");
}

TEST(FrameParse, TheDocumentedShapes) {
    NetMessage message;
    ASSERT_TRUE(ParseFrame(message, "<g44>305<p>QUJD</p><p>hello</p></g44>"));
    EXPECT_EQ(message.GetId(), 305u);
    EXPECT_EQ(message.GetPriority(), 2);
    EXPECT_EQ(Params(message), (Texts{std::string("QUJD", 5), std::string("hello", 6)}));

    NetMessage noId;
    ASSERT_TRUE(ParseFrame(noId, "<g44><p>x</p></g44>"));
    EXPECT_EQ(noId.GetId(), 0u);
    EXPECT_EQ(Params(noId), (Texts{std::string("x", 2)}));

    NetMessage bare;
    ASSERT_TRUE(ParseFrame(bare, "<g44>7</g44>"));
    EXPECT_EQ(bare.GetId(), 7u);
    EXPECT_EQ(bare.GetParams().GetCount(), 0u);

    NetMessage empty;
    ASSERT_TRUE(ParseFrame(empty, "<g44>1<p></p></g44>"));
    EXPECT_EQ(Params(empty), (Texts{std::string(1, '\0')}));
}

TEST(FrameParse, IdTextFollowsAtoi) {
    const struct {
        const char* frame;
        unsigned long id;
    } cases[] = {
        {"<g44> 42</g44>", 42},      {"<g44>4x</g44>", 4},
        {"<g44>-1</g44>", 4294967295ul}, {"<g44>+8</g44>", 8},
        {"<g44>abc</g44>", 0},       {"<g44>\t\n 3</g44>", 3},
        {"<g44>99999999999999999999999</g44>", 4294967295ul},
    };
    for (const auto& c : cases) {
        NetMessage message;
        ASSERT_TRUE(ParseFrame(message, c.frame)) << c.frame;
        EXPECT_EQ(message.GetId(), c.id) << c.frame;
    }
}

TEST(FrameParse, RejectsNonFramesAndLeavesTheMessageAlone) {
    for (const char* text : {"<g44>", "<g44></g4", "", "<G44>1<p>a</p></G44>", "x<g44>1</g44>"}) {
        NetMessage message = Make(77, {"keep"});
        message.SetPriority(4);
        EXPECT_FALSE(ParseFrame(message, text)) << text;
        EXPECT_EQ(message.GetId(), 77u);
        EXPECT_EQ(message.GetPriority(), 4);
        EXPECT_EQ(message.GetParams().GetCount(), 1u);
    }
    NetMessage message;
    EXPECT_FALSE(ParseFrame(message, nullptr));
}

TEST(FrameParse, MalformedParametersStayInsideTheText) {
    NetMessage unterminated;
    ASSERT_TRUE(ParseFrame(unterminated, "<g44>5<p>a</p><p>rest without closer"));
    EXPECT_EQ(Params(unterminated), (Texts{std::string("a", 2)}));

    NetMessage strayCloser;
    ASSERT_TRUE(ParseFrame(strayCloser, "<g44>5</p>junk<p>b</p>skipped<p>c</p></g44>"));
    EXPECT_EQ(Params(strayCloser), (Texts{std::string("b", 2), std::string("c", 2)}));

    NetMessage closerInside;
    ASSERT_TRUE(ParseFrame(closerInside, "<g44>5<p><p>x</p></g44>"));
    EXPECT_EQ(Params(closerInside), (Texts{std::string("<p>x", 5)}));

    // Appends to what the message already holds.
    NetMessage holding = Make(1, {"first"});
    ASSERT_TRUE(ParseFrame(holding, "<g44>2<p>second</p></g44>"));
    EXPECT_EQ(Params(holding).size(), 2u);
}

TEST(FrameRoundTrip, RandomMessagesComeBackUnchanged) {
    std::mt19937 random(4242);
    const std::string alphabet = "abcXYZ019 +/=-_>!\"p/g44";
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> texts(random() % 6);
        for (auto& text : texts) {
            text.resize(random() % 40);
            for (auto& c : text) c = alphabet[random() % alphabet.size()];
        }
        const unsigned long id = random() % 100000;
        NetMessage sent = Make(id, texts);
        const std::string frame = Write(sent);
        ASSERT_EQ(frame, FrameText(sent));
        ASSERT_LE(frame.size(), GetFrameLength(sent));

        NetMessage received;
        ASSERT_TRUE(ParseFrame(received, frame.c_str()));
        EXPECT_EQ(received.GetId(), id);
        Texts expected;
        for (const auto& text : texts) expected.push_back(text + '\0');
        EXPECT_EQ(Params(received), expected);
    }
}

}  // namespace
