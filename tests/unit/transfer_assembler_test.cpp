// The transfer assembler: binary data out as Base64 and numbered parts, and
// back, whatever the order the parts arrive in.

#include <gtest/gtest.h>

#include <transport/NetClient.h>

#include <string>
#include <vector>

#include "message/Base64Codec.h"
#include "message/MessageQueue.h"
#include "message/TransferAssembler.h"

namespace {

using Params = std::vector<std::string>;

NetMessage Make(unsigned long id, const Params& params, int priority = 2) {
    NetMessage m;
    m.SetId(id);
    m.SetPriority(priority);
    for (const std::string& p : params) {
        m.GetParams().AddTail(p.data(), static_cast<unsigned long>(p.size() + 1));
    }
    return m;
}

// Every parameter with its full length (binary ones hold zero bytes).
Params Of(const NetMessage& m) {
    Params out;
    for (int k = 0; k < static_cast<int>(m.GetParams().GetCount()); ++k) {
        void* data = nullptr;
        unsigned long length = 0;
        m.GetParams().GetAt(k, &data, &length);
        out.emplace_back(static_cast<const char*>(data), length);
    }
    return out;
}

std::string Base64(const std::string& bytes) {
    std::string text((bytes.size() + 2) / 3 * 4 + 1, '\0');
    text.resize(transport::Base64Codec().ToBase64(
                    reinterpret_cast<const unsigned char*>(bytes.data()),
                    static_cast<unsigned long>(bytes.size()), &text[0]) - 1);
    return text;
}

class AssemblerTest : public ::testing::Test {
protected:
    CMessageQueue parts;
    transport::TransferAssembler assembler{parts, transport::DefaultPlatform()};
};

TEST_F(AssemblerTest, BinaryParameterTravelsAsBase64AndBack) {
    const std::string bytes("\0\1\xff<p>", 6);
    auto out = assembler.Package(Make(305, {bytes, "name"}, 3));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->GetPriority(), 3);
    // A parameter carries its counted zero byte: it travels too.
    EXPECT_EQ(Of(*out[0]), (Params{Base64(bytes + '\0') + '\0', std::string("name\0", 5)}));
    auto back = assembler.Unpackage(*out[0]);
    ASSERT_TRUE(back.whole);
    EXPECT_EQ(Of(*back.whole), (Params{bytes + '\0' + '\0', std::string("name\0", 5)}));
    EXPECT_TRUE(assembler.Package(Make(305, {bytes}, 5)).empty());
}

TEST_F(AssemblerTest, ObjectsGoInPiecesOf2048) {
    // With its zero byte, 1535 bytes make exactly 2048 characters: a last
    // part with an empty piece follows.
    for (std::size_t size : {std::size_t{0}, std::size_t{1534}, std::size_t{1535}, std::size_t{4000}}) {
        const std::string object(size, 'x');
        auto out = assembler.Package(Make(10, {"f", object}));
        const std::string text = Base64(object + '\0');
        const std::size_t count = text.size() / 2048 + 1;
        ASSERT_EQ(out.size(), count) << size;
        std::string joined;
        for (std::size_t i = 0; i < count; ++i) {
            const Params p = Of(*out[i]);
            EXPECT_EQ(p[1], std::to_string(i + 1) + "/" + std::to_string(count) + '\0');
            EXPECT_LE(p[2].size(), 2049u);
            joined += p[2].substr(0, p[2].size() - 1);
        }
        EXPECT_TRUE(joined == text) << size;
    }
}

TEST_F(AssemblerTest, PartsJoinInPartOrderWhateverTheyArriveIn) {
    const Params pieces = {Base64("abc"), Base64("def"), Base64("gh")};
    // Part 2 twice: the later copy replaces the earlier one.
    const struct { int part; std::string piece; } arrivals[] = {
        {3, pieces[2]}, {2, "AAAA"}, {2, pieces[1]}, {1, pieces[0]}};
    for (const auto& a : arrivals) {
        auto r = assembler.Unpackage(
            Make(8, {"4", "doc", std::to_string(a.part) + "/3", a.piece}));
        EXPECT_EQ(r.answers, a.part == 1);
        EXPECT_EQ(r.total, 3);
        if (a.part != 1) {
            EXPECT_TRUE(r.progress && !r.whole);
            EXPECT_EQ(r.part, static_cast<int>(parts.GetItemCount()));  // parts held
            continue;
        }
        ASSERT_TRUE(r.whole);
        EXPECT_EQ(Of(*r.whole), (Params{std::string("4\0", 2), std::string("doc\0", 4),
                                        std::string("3/3\0", 4), "abcdefgh" + std::string(1, '\0')}));
    }
    EXPECT_EQ(parts.GetItemCount(), 0);
}

TEST_F(AssemblerTest, BadInputIsDropped) {
    const NetMessage bad[] = {
        Make(10, {"f", "0/1", "QUJD"}),  Make(10, {"f", "2/1", "QUJD"}),
        Make(10, {"f", "a/1", "QUJD"}),  Make(10, {"f", "1/1"}),
        Make(10, {"f", "1/a", "QUJD"}),  Make(10, {"f", "1/", "QUJD"}),
        Make(10, {"f", "1/1", "QU*D"}),  Make(10, {"f", "1/1", std::string(2501, 'A')}),
        Make(301, {"not base64!"}),     Make(9, {"2", "a", "b", "QUJDR"}),
    };
    for (const NetMessage& m : bad) {
        auto r = assembler.Unpackage(m);
        EXPECT_FALSE(r.whole) << Of(m)[0];
        EXPECT_FALSE(r.progress) << Of(m)[0];
    }
    auto block = assembler.Unpackage(Make(9, {"2", "a", "b", "QUJD"}));
    ASSERT_TRUE(block.whole);
    EXPECT_EQ(Of(*block.whole).back(), "ABC");  // the data alone, no zero byte
}

TEST_F(AssemblerTest, WhiteSpaceInBase64IsSkippedAndBadDataReported) {
    const struct {
        NetMessage message;
        bool whole;
    } cases[] = {
        {Make(301, {"QUJD\r\n"}), true},
        {Make(301, {"QU\n JD\t"}), true},
        {Make(9, {"2", "a", "b", "QU\r\nJD"}), true},
        {Make(301, {"QU*D"}), false},
    };
    for (const auto& c : cases) {
        auto r = assembler.Unpackage(c.message);
        EXPECT_EQ(static_cast<bool>(r.whole), c.whole);
        EXPECT_EQ(r.undecodable, !c.whole);
    }
    assembler.Unpackage(Make(10, {"w", "2/2", "RA==\r\n"}));
    auto joined = assembler.Unpackage(Make(10, {"w", "1/2", "QU\r\nJD"}));
    ASSERT_TRUE(joined.whole);
    EXPECT_EQ(Of(*joined.whole)[2], std::string("ABCD\0", 5));
    assembler.Unpackage(Make(10, {"x", "2/2", "R*=="}));
    EXPECT_TRUE(assembler.Unpackage(Make(10, {"x", "1/2", "QUJD"})).undecodable);
}

TEST_F(AssemblerTest, TheQueueIsBoundedByPartsAndBytes) {
    const NetMessage part = Make(10, {"a", "1/2", "QUJD"});
    const std::size_t bytes = 2 + 4 + 5;
    assembler.maxBytes = 2 * bytes;
    EXPECT_TRUE(assembler.Unpackage(part).progress);
    EXPECT_TRUE(assembler.Unpackage(Make(10, {"b", "1/2", "QUJD"})).progress);
    EXPECT_EQ(parts.GetItemCount(), 2);  // exactly at the bound
    EXPECT_TRUE(assembler.Unpackage(Make(10, {"c", "1/2", "QUJD"})).progress);
    EXPECT_EQ(parts.GetItemCount(), 2);  // the oldest went
    EXPECT_FALSE(assembler.Unpackage(Make(10, {"a", "2/2", "QUJD"})).whole);

    assembler.maxBytes = bytes;  // one part alone exactly fills it
    EXPECT_TRUE(assembler.Unpackage(Make(10, {"d", "1/2", "QUJD"})).progress);
    EXPECT_EQ(parts.GetItemCount(), 1);
    assembler.maxBytes = bytes - 1;
    EXPECT_FALSE(assembler.Unpackage(Make(10, {"e", "1/2", "QUJD"})).progress);

    assembler.maxBytes = 1 << 20;
    assembler.maxParts = 3;
    EXPECT_FALSE(assembler.Unpackage(Make(10, {"f", "1/4", "QUJD"})).progress);
    EXPECT_TRUE(assembler.Unpackage(Make(10, {"f", "1/3", "QUJD"})).progress);
}

TEST_F(AssemblerTest, AQueueEmptiedBehindItsBackIsRecounted) {
    assembler.Unpackage(Make(10, {"a", "1/2", "QUJD"}));
    parts.ClearItems();
    auto r = assembler.Unpackage(Make(10, {"a", "2/2", "QUJD"}));
    EXPECT_TRUE(r.progress);
    EXPECT_FALSE(r.whole);
}

}  // namespace
