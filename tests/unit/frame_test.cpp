#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <transport/NetMessage.h>

#include "message/Frame.h"

namespace {

using Texts = std::vector<std::string>;

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
        {"<g44>99999999999999999999999</g44>", 4294967295ul, {}},  // clamped as atoi does
        {"<g44>5<p>a</p><p>rest without closer", 5, {{"a", 2}}},
        {"<g44>5</p>junk<p>b</p>skipped<p>c</p></g44>", 5, {{"b", 2}, {"c", 2}}},
        {"<g44>5<p><p>x</p></g44>", 5, {{"<p>x", 5}}},
    };
    for (const auto& row : rows) {
        // An exact heap copy: a read past the text shows under the sanitizer.
        std::unique_ptr<char[]> text(new char[std::strlen(row.frame) + 1]);
        std::strcpy(text.get(), row.frame);
        NetMessage message;
        message.SetPriority(4);
        message.GetParams().AddTail("held", 4);
        ASSERT_TRUE(transport::ParseFrame(message, text.get())) << row.frame;
        EXPECT_EQ(message.GetId(), row.id) << row.frame;
        EXPECT_EQ(message.GetPriority(), 2);
        Texts got;  // after what the message held
        for (NetParam* node = message.GetParams().GetHead()->m_pNext; node; node = node->m_pNext) {
            got.emplace_back(reinterpret_cast<char*>(node->m_pData), node->m_nLength);
        }
        EXPECT_EQ(got, row.params) << row.frame;
    }
    const char* const refused[] = {"<g44>",        "<g44></g4",     "",
                                   "<G44>1</G44>", "x<g44>1</g44>", nullptr};
    for (const char* text : refused) {
        NetMessage message;
        message.SetId(77);
        message.SetPriority(4);
        EXPECT_FALSE(transport::ParseFrame(message, text)) << (text ? text : "null");
        EXPECT_EQ(message.GetId(), 77u);
        EXPECT_EQ(message.GetPriority(), 4);
    }
}

}  // namespace
