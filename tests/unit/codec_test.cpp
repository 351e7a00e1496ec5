// The codecs of the wire: Base64, the credential transform of the log-in and
// the frame text.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <transport/NetMessage.h>

#include "message/Base64Codec.h"
#include "message/CredentialCodec.h"
#include "message/Frame.h"

namespace {

using Texts = std::vector<std::string>;
transport::Base64Codec codec;

// Into exactly the room the header promises, plus a guard byte.
std::string Encode(const std::string& data) {
    std::vector<char> out(4 * ((data.size() + 2) / 3) + 2, '#');
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const unsigned long count = codec.ToBase64(bytes, data.size(), out.data());
    EXPECT_EQ(out.back(), '#') << "wrote past 4 * ceil(n / 3) + 1";
    EXPECT_EQ(out.at(count - 1), '\0');
    return std::string(out.data(), count - 1);
}

// From a copy without a zero byte after it (a read past the length shows under
// the sanitizer) into exactly the room the header promises, plus a guard byte.
std::string Decode(const std::string& text) {
    std::unique_ptr<char[]> source(new char[text.size()]);
    text.copy(source.get(), text.size());
    std::vector<unsigned char> out(3 * ((text.size() + 3) / 4) + 1, 0xEE);
    const unsigned long count = codec.FromBase64(source.get(), text.size(), out.data());
    EXPECT_EQ(out.back(), 0xEE) << "wrote past 3 * ceil(n / 4)";
    out.resize(count);  // a count past the room fails here, or in the comparison
    return std::string(out.begin(), out.end());
}

TEST(Base64, PaddingAndLengths) {
    const char* const both[][2] = {{"", ""},        {"f", "Zg=="},          {"fo", "Zm8="},
                                   {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}, {"\xfb\xff", "+/8="}};
    for (const auto& [data, text] : both) {
        EXPECT_EQ(Encode(data), text);
        EXPECT_EQ(Decode(text), data) << text;
    }
    // Unpadded, padding only, and characters outside the alphabet (zero bits).
    const std::pair<std::string, std::string> decoded[] = {
        {"QUI", "AB"}, {"QQ", "A"}, {"Q", ""}, {"====", ""}, {"!!!!", std::string(3, '\0')}};
    for (const auto& [text, data] : decoded) EXPECT_EQ(Decode(text), data) << text;
}

TEST(CredentialCodec, ShiftsByPositionWithinSevenBits) {
    // '|' + 4 wraps to a zero byte, 0xC1 loses its top bit; the byte past the length stays.
    std::string work = "abc|\xc1#";
    transport::EncodeCredential(&work[0], 5);
    EXPECT_EQ(work, std::string("bdf\0F#", 6));
    transport::DecodeCredential(&work[0], 5);
    EXPECT_EQ(work, "abc|A#");
    transport::EncodeCredential(nullptr, 5);
}

TEST(FrameWrite, IdWidthsParametersAndCapacity) {
    const struct {
        unsigned long id;
        Texts params;  // stored as given, without a zero byte of their own
        const char* frame;
        unsigned long reserved;
    } rows[] = {
        // A parameter ends at its first zero byte, or at its length when it has none.
        {1, {std::string("ab\0cd", 5), "xyz", ""}, "<g44>1<p>ab</p><p>xyz</p><p></p></g44>", 41},
        {99999, {"a"}, "<g44>99999<p>a</p></g44>", 24},      // wider than the reserve of 4
        {4294967295ul, {"a"}, "<g44>-1<p>a</p></g44>", 23},  // read as signed
        {2147483648ul, {}, "<g44>-2147483648</g44>", 22},
    };
    for (const auto& row : rows) {
        NetMessage message;
        message.SetId(row.id);
        for (const auto& text : row.params) message.GetParams().AddTail(text.data(), text.size());
        EXPECT_EQ(transport::GetFrameLength(message), row.reserved) << row.frame;
        // Exactly the frame's length fits; one less writes nothing at all.
        const unsigned long size = std::strlen(row.frame);
        std::vector<char> buffer(size + 2, '#');
        EXPECT_EQ(transport::WriteFrame(buffer.data(), size - 1, message), 0u);
        EXPECT_EQ(buffer[0], '#');
        EXPECT_EQ(transport::WriteFrame(nullptr, size, message), 0u);
        ASSERT_EQ(transport::WriteFrame(buffer.data(), size, message), size);
        EXPECT_STREQ(buffer.data(), row.frame);
        EXPECT_EQ(buffer[size + 1], '#');
    }
}

// Parses an exact heap copy of frame (a read past the text shows under the
// sanitizer) into a message that holds id 77, priority 4 and one parameter.
void ExpectParsed(const char* frame, bool ok, unsigned long id, const Texts& params) {
    std::unique_ptr<char[]> text(new char[std::strlen(frame) + 1]);
    std::strcpy(text.get(), frame);
    NetMessage message;
    message.SetId(77);
    message.SetPriority(4);
    message.GetParams().AddTail("held", 4);
    EXPECT_EQ(transport::ParseFrame(message, text.get()), ok) << frame;
    EXPECT_EQ(message.GetId(), id) << frame;
    EXPECT_EQ(message.GetPriority(), ok ? 2 : 4) << frame;
    Texts got;  // after what the message held
    for (NetParam* node = message.GetParams().GetHead()->m_pNext; node; node = node->m_pNext) {
        got.emplace_back(reinterpret_cast<char*>(node->m_pData), node->m_nLength);
    }
    EXPECT_EQ(got, params) << frame;
}

TEST(FrameParse, IdsAndParametersStayInsideTheText) {
    const struct {
        const char* frame;
        unsigned long id;
        Texts params;  // each with the zero byte it is stored with
    } rows[] = {
        {"<g44>305<p>QUJD</p><p></p></g44>", 305, {{"QUJD", 5}, {"", 1}}},
        {"<g44><p>x</p></g44>", 0, {{"x", 2}}},
        {"<g44>\t\n +8x</g44>", 8, {}},
        {"<g44>-1</g44>", 4294967295ul, {}},
        {"<g44>18446744073709551616</g44>", 4294967295ul, {}},  // 2^64: clamped as atoi does
        {"<g44>5<p>a</p><p>rest without closer", 5, {{"a", 2}}},
        {"<g44>5</p>junk<p>b</p>skipped<p>c</p></g44>", 5, {{"b", 2}, {"c", 2}}},
        {"<g44>5<p><p>x</p></g44>", 5, {{"<p>x", 5}}},
    };
    for (const auto& row : rows) ExpectParsed(row.frame, true, row.id, row.params);
    for (const char* refused : {"<g44>", "<g44></g4", "", "<G44>1</G44>", "x<g44>1</g44>"}) {
        ExpectParsed(refused, false, 77, {});
    }
    NetMessage message;
    EXPECT_FALSE(transport::ParseFrame(message, nullptr));
}

}  // namespace
