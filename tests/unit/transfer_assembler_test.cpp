// The transfer assembler: binary data out as Base64 and numbered parts, and
// back, whatever the order the parts arrive in.

#include <gtest/gtest.h>

#include <transport/NetClient.h>

#include <map>
#include <string>
#include <vector>

#include "message/MessageQueue.h"
#include "message/TransferAssembler.h"
#include "support/TestPlatforms.h"

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

class AssemblerTest : public ::testing::Test {
protected:
    CMessageQueue parts;
    transport::test::TraceRecorder trace{transport::DefaultPlatform()};
    transport::TransferAssembler assembler{parts, trace};
};

TEST_F(AssemblerTest, PartsJoinInPartOrderWhateverTheyArriveIn) {
    const Params pieces = {"YWJj", "ZGVm", "Z2g="};  // "abc", "def", "gh"
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
        EXPECT_EQ(trace.Lines(),
                  (std::vector<std::string>{
                      "UnPackageAndSetToInputQueue: 1 of 3 parts of \"doc\" have arrived",
                      "UnPackageAndSetToInputQueue: part 2/3 of \"doc\" replaces an earlier copy"}));
        EXPECT_EQ(Of(*r.whole), (Params{std::string("4\0", 2), std::string("doc\0", 4),
                                        std::string("3/3\0", 4), "abcdefgh" + std::string(1, '\0')}));
    }
    EXPECT_EQ(parts.GetItemCount(), 0);
}

// A transfer whose parts sit in front of another's: each joins whole, and
// the other's parts stay, whichever way the queue is compacted.
TEST_F(AssemblerTest, InterleavedTransfersEachJoinWhole) {
    for (const std::string order : {"aabbb", "babba"}) {
        std::map<char, int> next = {{'a', 1}, {'b', 1}};
        for (const char t : order) {
            const std::string part = std::to_string(next[t]++) + (t == 'a' ? "/3" : "/4");
            EXPECT_TRUE(assembler.Unpackage(Make(10, {{t}, part, t == 'a' ? "QUJD" : "REVG"})).progress);
        }
        auto a = assembler.Unpackage(Make(10, {"a", "3/3", "IQ=="}));
        ASSERT_TRUE(a.whole) << order;
        EXPECT_EQ(Of(*a.whole)[2], std::string("ABCABC!\0", 8));
        EXPECT_EQ(parts.GetItemCount(), 3) << order;
        auto b = assembler.Unpackage(Make(10, {"b", "4/4", "Pw=="}));
        ASSERT_TRUE(b.whole) << order;
        EXPECT_EQ(Of(*b.whole)[2], std::string("DEFDEFDEF?\0", 11));
    }
}

// Each with the reason it is dropped.
TEST_F(AssemblerTest, BadInputIsDropped) {
    const std::string refused = "UnPackageAndSetToInputQueue: ";
    const std::pair<NetMessage, std::string> bad[] = {
        {Make(10, {"f", "0/1", "QUJD"}), "part text \"0/1\" refused"},
        {Make(10, {"f", "2/1", "QUJD"}), "part text \"2/1\" refused"},
        {Make(10, {"f", "a/1", "QUJD"}), "part text \"a/1\" refused"},
        {Make(10, {"f", "1/a", "QUJD"}), "part text \"1/a\" refused"},
        {Make(10, {"f", "1/", "QUJD"}), "part text \"1/\" refused"},
        {Make(10, {"f", "1/1"}), "id 10 has 2 of 3 parameters"},
        {Make(8, {"4", "f", "1/2"}), "id 8 has 3 of 4 parameters"},
        {Make(10, {"f", "1/1", "QU*D"}), "data is not Base64, message dropped"},
        {Make(10, {"f", "1/1", std::string(2501, 'A')}), "piece longer than 2500 characters refused"},
        {Make(301, {"not base64!"}), "data is not Base64, message dropped"},
        {Make(9, {"2", "a", "b", "QUJDR"}), "data is not Base64, message dropped"},
    };
    for (const auto& [m, why] : bad) {
        trace.Clear();
        auto r = assembler.Unpackage(m);
        EXPECT_FALSE(r.whole) << why;
        EXPECT_FALSE(r.progress) << why;
        EXPECT_EQ(r.undecodable, why.rfind("data is not Base64", 0) == 0) << why;
        EXPECT_EQ(trace.Lines(), std::vector<std::string>{refused + why});
    }
    auto block = assembler.Unpackage(Make(9, {"2", "a", "b", "QUJD"}));
    ASSERT_TRUE(block.whole);
    EXPECT_EQ(Of(*block.whole).back(), "ABC");  // the data alone, no zero byte
    assembler.Unpackage(Make(305, {}));
    EXPECT_EQ(trace.Lines().back(), refused + "id 305 has 0 of 1 parameters");
    assembler.Unpackage(Make(20, {"plain"}));
    EXPECT_EQ(trace.Lines().back(), refused + "id is not packaged, delivered as received");
}

TEST_F(AssemblerTest, WhiteSpaceInBase64IsSkippedAndBadDataReported) {
    for (const NetMessage& m : {Make(301, {"QUJD\r\n"}), Make(301, {"QU\n JD\t"}),
                                Make(9, {"2", "a", "b", "QU\r\nJD"})}) {
        auto r = assembler.Unpackage(m);
        ASSERT_TRUE(r.whole);
        EXPECT_STREQ(Of(*r.whole).back().c_str(), "ABC");
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
    EXPECT_EQ(trace.Count("parts queue full, oldest part dropped"), 1u);
    EXPECT_FALSE(assembler.Unpackage(Make(10, {"a", "2/2", "QUJD"})).whole);

    assembler.maxBytes = bytes;  // one part alone exactly fills it
    EXPECT_TRUE(assembler.Unpackage(Make(10, {"d", "1/2", "QUJD"})).progress);
    EXPECT_EQ(parts.GetItemCount(), 1);
    assembler.maxBytes = bytes - 1;
    EXPECT_FALSE(assembler.Unpackage(Make(10, {"e", "1/2", "QUJD"})).progress);
    EXPECT_TRUE(trace.Contains("part 1/2 does not fit the parts queue"));

    assembler.maxBytes = 1 << 20;
    assembler.maxParts = 3;
    EXPECT_FALSE(assembler.Unpackage(Make(10, {"f", "1/4", "QUJD"})).progress);
    EXPECT_TRUE(assembler.Unpackage(Make(10, {"f", "1/3", "QUJD"})).progress);
    EXPECT_TRUE(assembler.Unpackage(Make(10, {"f", "2/3", "QUJD"})).progress);
    EXPECT_EQ(parts.GetItemCount(), 3);  // exactly at the bound: "d" stays
}

TEST_F(AssemblerTest, AQueueEmptiedBehindItsBackIsRecounted) {
    assembler.Unpackage(Make(10, {"a", "1/2", "QUJD"}));
    parts.ClearItems();
    auto r = assembler.Unpackage(Make(10, {"a", "2/2", "QUJD"}));
    EXPECT_TRUE(r.progress);
    EXPECT_FALSE(r.whole);
}

}  // namespace
