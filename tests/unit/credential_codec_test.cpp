#include <gtest/gtest.h>

#include <string>

#include "message/CredentialCodec.h"

namespace {

using transport::DecodeCredential;
using transport::EncodeCredential;

TEST(CredentialCodec, KnownValues) {
    char text[] = "abc";
    EncodeCredential(text, 3);
    EXPECT_STREQ(text, "bdf");
    DecodeCredential(text, 3);
    EXPECT_STREQ(text, "abc");

    // 0x7E at position 1 wraps to a zero byte, which ends the text on the wire.
    char wraps[] = {'a', '\x7e', 'c', '\0'};
    EncodeCredential(wraps, 2);
    EXPECT_EQ(wraps[1], '\0');
    EXPECT_EQ(wraps[2], 'c') << "a byte beyond the length was changed";
}

TEST(CredentialCodec, DecodeUndoesEncodeForSevenBitTextAtEveryPosition) {
    // Long enough for the position to pass 127 and 255.
    std::string text(600, '\0');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>((i * 37 + 5) % 128);
    std::string work = text;
    EncodeCredential(&work[0], work.size());
    EXPECT_NE(work, text);
    for (char c : work) EXPECT_EQ(static_cast<unsigned char>(c) & 0x80, 0);
    DecodeCredential(&work[0], work.size());
    EXPECT_EQ(work, text);
}

TEST(CredentialCodec, TopBitIsLostAndEmptyInputIsUntouched) {
    char high[] = {static_cast<char>(0xC1), '\0'};
    EncodeCredential(high, 1);
    DecodeCredential(high, 1);
    EXPECT_EQ(high[0], 'A');

    char untouched[] = "xyz";
    EncodeCredential(untouched, 0);
    DecodeCredential(untouched, 0);
    EXPECT_STREQ(untouched, "xyz");
    EncodeCredential(nullptr, 5);
}

}  // namespace
