// The Base64 codec and the credential transform of the log-in.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "message/Base64Codec.h"
#include "message/CredentialCodec.h"

namespace {

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
    return std::string(reinterpret_cast<const char*>(out.data()), std::min(count, out.size()));
}

TEST(Base64, PaddingAndLengths) {
    const std::pair<std::string, std::string> both[] = {{"", ""},
                                                        {"f", "Zg=="},
                                                        {"fo", "Zm8="},
                                                        {"foo", "Zm9v"},
                                                        {"foobar", "Zm9vYmFy"},
                                                        {"\xfb\xff", "+/8="},
                                                        {std::string("\xff\xfe\0", 3), "//4A"}};
    for (const auto& [data, text] : both) {
        EXPECT_EQ(Encode(data), text);
        EXPECT_EQ(Decode(text), data) << text;
    }
    // Unpadded, padding only, and characters outside the alphabet (zero bits).
    const std::pair<std::string, std::string> decoded[] = {
        {"QUI", "AB"}, {"QQ", "A"}, {"Q", ""}, {"====", ""}, {"!!!!", std::string(3, '\0')}};
    for (const auto& [text, data] : decoded) EXPECT_EQ(Decode(text), data) << text;
}

TEST(Base64, RandomDataOfEveryShortLengthComesBack) {
    std::mt19937 random(20240601);
    for (size_t length = 0; length < 300; ++length) {
        std::string data(length, '\0');
        for (auto& c : data) c = static_cast<char>(random());
        const std::string text = Encode(data);
        ASSERT_EQ(text.size(), 4 * ((length + 2) / 3));
        ASSERT_EQ(Decode(text), data) << "length " << length;
    }
}

TEST(CredentialCodec, ShiftsByPositionWithinSevenBits) {
    // 0x7C + 4 wraps to a zero byte, 0xC1 loses its top bit; the byte past the length stays.
    std::string work = "abc\x7c\xc1#";
    transport::EncodeCredential(&work[0], 5);
    EXPECT_EQ(work, std::string("bdf\0F#", 6));
    transport::DecodeCredential(&work[0], 5);
    EXPECT_EQ(work,
              "abc\x7c"
              "A#");
    std::string text(600, '\0');  // positions past 127 and 255
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>((i * 37 + 5) % 128);
    work = text;
    transport::EncodeCredential(&work[0], work.size());
    for (char c : work) ASSERT_EQ(c & 0x80, 0);
    transport::DecodeCredential(&work[0], work.size());
    EXPECT_EQ(work, text);
    transport::EncodeCredential(nullptr, 5);
}

}  // namespace
