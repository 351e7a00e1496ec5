#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "message/Base64Codec.h"

namespace {

transport::Base64Codec codec;

// Encodes into a buffer of exactly the documented size plus a guard byte.
std::string Encode(const std::string& data, unsigned long* returned = nullptr) {
    const size_t room = 4 * ((data.size() + 2) / 3) + 1;
    std::vector<char> out(room + 1, '#');
    const unsigned long count =
        codec.ToBase64(reinterpret_cast<const unsigned char*>(data.data()), data.size(), out.data());
    if (returned != nullptr) *returned = count;
    EXPECT_EQ(out[room], '#') << "wrote past 4 * ceil(n / 3) + 1";
    EXPECT_EQ(out[count - 1], '\0');
    return std::string(out.data(), count - 1);
}

// Decodes from a heap copy of exactly the text's length (no zero byte after
// it, so reading past the length is caught) into a buffer with a guard byte.
std::string Decode(const std::string& text, unsigned long* returned = nullptr) {
    std::unique_ptr<char[]> source(new char[text.size() + 1]);
    std::memcpy(source.get(), text.data(), text.size());
    const size_t room = 3 * ((text.size() + 3) / 4);
    std::vector<unsigned char> out(room + 1, 0xEE);
    const unsigned long count = codec.FromBase64(source.get(), text.size(), out.data());
    if (returned != nullptr) *returned = count;
    EXPECT_EQ(out[room], 0xEE) << "wrote past 3 * ceil(n / 4)";
    EXPECT_LE(count, room);
    return std::string(reinterpret_cast<char*>(out.data()), room);
}

TEST(Base64Encode, Rfc4648Vectors) {
    const char* vectors[][2] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},
                                {"foo", "Zm9v"},  {"foob", "Zm9vYg=="},  {"fooba", "Zm9vYmE="},
                                {"foobar", "Zm9vYmFy"}};
    for (const auto& v : vectors) {
        unsigned long count = 0;
        EXPECT_EQ(Encode(v[0], &count), v[1]);
        EXPECT_EQ(count, std::strlen(v[1]) + 1);
    }
    EXPECT_EQ(Encode(std::string("\xff\xfe\x00", 3)), "//4A");
    EXPECT_EQ(Encode(std::string("\xfb\xff", 2)), "+/8=");
}

TEST(Base64Decode, CountsOnlyTheBytesTheTextCarries) {
    const struct {
        const char* text;
        const char* bytes;  // everything written, padding groups included
        unsigned long count;
    } cases[] = {
        {"QUJD", "ABC", 3},      {"QUI=", "AB\0", 2},       {"QUI", "AB\0", 2},
        {"QQ==", "A\0\0", 1},    {"QQ", "A\0\0", 1},        {"QUJDQQ==", "ABCA\0\0", 4},
        {"Zm9vYmFy", "foobar", 6}, {"Q", "\x40\0\0", 0},      {"====", "\0\0\0", 0},
    };
    for (const auto& c : cases) {
        unsigned long count = 0;
        const std::string written = Decode(c.text, &count);
        EXPECT_EQ(count, c.count) << c.text;
        EXPECT_EQ(written, std::string(c.bytes, written.size())) << c.text;
    }
    unsigned long count = 99;
    EXPECT_EQ(Decode("", &count), "");
    EXPECT_EQ(count, 0u);
}

TEST(Base64Decode, ForeignCharactersAreZeroBits) {
    unsigned long count = 0;
    EXPECT_EQ(Decode("!!!!", &count), std::string(3, '\0'));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(Decode(std::string("Q\0J\0", 4), &count), std::string("\x40\x02\x40", 3));
    EXPECT_EQ(count, 3u);
    // Every byte value, including the top half, is safe to feed in.
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i) all[i] = static_cast<char>(i);
    Decode(all, &count);
    EXPECT_EQ(count, 192u);
}

TEST(Base64RoundTrip, RandomDataOfEveryShortLength) {
    std::mt19937 random(20240601);
    for (size_t length = 0; length < 700; ++length) {
        std::string data(length, '\0');
        for (auto& c : data) c = static_cast<char>(random());
        const std::string text = Encode(data);
        ASSERT_EQ(text.size(), 4 * ((length + 2) / 3));
        ASSERT_EQ(text.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                  std::string::npos);
        unsigned long count = 0;
        const std::string back = Decode(text, &count);
        ASSERT_EQ(count, length);
        ASSERT_EQ(back.substr(0, count), data) << "length " << length;
    }
}

}  // namespace
