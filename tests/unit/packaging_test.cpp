// What PackageAndSetToOutputQueue puts on the output queue: the Base64 first
// parameter of ids 300 to 399, and the numbered parts of an id 10 object.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "PackagingTestClient.h"
#include "message/Base64Codec.h"

namespace {

using namespace packaging_test;

std::string ToBase64(const std::string& bytes) {
    std::vector<char> text((bytes.size() + 2) / 3 * 4 + 1);
    transport::Base64Codec().ToBase64(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<unsigned long>(bytes.size()), text.data());
    return std::string(text.data());
}

class PackagingTest : public ::testing::Test {
protected:
    void SetUp() override { client.m_hSendSemaphore = platform.CreateSemaphore(0, 1 << 20); }
    void TearDown() override {
        platform.CloseHandle(client.m_hSendSemaphore);
        client.m_hSendSemaphore = nullptr;
    }

    std::vector<std::unique_ptr<NetMessage>> Package(const NetMessage& message) {
        client.PackageAndSetToOutputQueue(&message);
        return DrainOutput(*client.m_pOutputQueue);
    }

    RecordingPlatform platform;
    TestClient client{platform};
};

TEST_F(PackagingTest, FirstParameterOfIds300To399TravelsAsBase64) {
    for (unsigned long id : {300ul, 305ul, 399ul}) {
        NetMessage message;
        message.SetId(id);
        message.SetPriority(3);
        AddBytes(message, "ABC");  // binary: no zero byte of its own
        AddText(message, "x");
        const long releasesBefore = platform.Releases();

        const auto out = Package(message);

        ASSERT_EQ(out.size(), 1u) << id;
        EXPECT_EQ(out[0]->GetId(), id);
        EXPECT_EQ(out[0]->GetPriority(), 3);
        ASSERT_EQ(out[0]->GetParams().GetCount(), 2u);
        EXPECT_EQ(Param(*out[0], 0), std::string("QUJD", 5));
        EXPECT_EQ(Param(*out[0], 1), std::string("x", 2));
        EXPECT_EQ(platform.Releases() - releasesBefore, 1);
    }
}

TEST_F(PackagingTest, BinaryWithZeroBytesAndTextsWithoutTheirZeroByteArePackagedWhole) {
    NetMessage message;
    message.SetId(310);
    AddBytes(message, std::string("\0\xff\0", 3));
    AddBytes(message, "abc");     // a text parameter that lacks its zero byte
    AddBytes(message, "de\0fg");  // only up to the zero byte travels
    AddBytes(message, std::string());

    const auto out = Package(message);

    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0]->GetParams().GetCount(), 4u);
    EXPECT_EQ(Param(*out[0], 0), ToBase64(std::string("\0\xff\0", 3)) + '\0');
    EXPECT_EQ(Param(*out[0], 1), std::string("abc", 4));
    EXPECT_EQ(Param(*out[0], 2), std::string("de", 3));
    EXPECT_EQ(Param(*out[0], 3), std::string("", 1));
}

TEST_F(PackagingTest, MissingBinaryParameterIsSentAsAnEmptyObject) {
    NetMessage message;
    message.SetId(301);

    const auto out = Package(message);

    ASSERT_EQ(out.size(), 1u);
    ASSERT_EQ(out[0]->GetParams().GetCount(), 1u);
    EXPECT_EQ(Param(*out[0], 0), std::string("", 1));
    EXPECT_EQ(platform.CountStarting("PackageAndSetToOutputQueue: id 301 has no parameter 0"), 1);
}

struct PartsCase {
    std::size_t objectBytes;
    std::vector<std::size_t> pieceLengths;
};

class PartsTest : public PackagingTest, public ::testing::WithParamInterface<PartsCase> {};

// The Base64 text of 1534 to 1536 bytes has exactly 2048 characters: its
// terminating zero byte then makes a second part with an empty piece.
INSTANTIATE_TEST_SUITE_P(Sizes, PartsTest,
                         ::testing::Values(PartsCase{0, {0}}, PartsCase{1000, {1336}},
                                           PartsCase{1533, {2044}}, PartsCase{1535, {2048, 0}},
                                           PartsCase{1536, {2048, 0}}, PartsCase{1537, {2048, 4}},
                                           PartsCase{3000, {2048, 1952}},
                                           PartsCase{4608, {2048, 2048, 2048, 0}}));

TEST_P(PartsTest, Id10ObjectTravelsInNumberedPartsOf2048Characters) {
    const PartsCase& c = GetParam();
    const std::string object = Object(c.objectBytes);
    NetMessage message;
    message.SetId(10);
    message.SetPriority(4);
    AddText(message, "photo.jpg");
    AddBytes(message, object);
    AddText(message, "ignored");
    const long releasesBefore = platform.Releases();

    const auto out = Package(message);

    const std::size_t n = c.pieceLengths.size();
    ASSERT_EQ(out.size(), n);
    EXPECT_EQ(platform.Releases() - releasesBefore, static_cast<long>(n));
    std::string joined;
    for (std::size_t i = 0; i < n; ++i) {
        SCOPED_TRACE("part " + std::to_string(i + 1));
        const NetMessage& part = *out[i];
        EXPECT_EQ(part.GetId(), 10u);
        EXPECT_EQ(part.GetPriority(), 4);
        ASSERT_EQ(part.GetParams().GetCount(), 3u);
        EXPECT_EQ(Param(part, 0), std::string("photo.jpg", 10));
        EXPECT_EQ(Param(part, 1), std::to_string(i + 1) + "/" + std::to_string(n) + '\0');
        const std::string piece = Param(part, 2);
        ASSERT_EQ(piece.size(), c.pieceLengths[i] + 1);
        EXPECT_EQ(piece.back(), '\0');
        joined += piece.substr(0, piece.size() - 1);
    }
    EXPECT_EQ(joined, ToBase64(object));
}

TEST_F(PackagingTest, Id10WithoutObjectOrNameSendsOneEmptyPart) {
    NetMessage nameOnly = MakeMessage(10, 2, {"report"});
    auto out = Package(nameOnly);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Param(*out[0], 0), std::string("report", 7));
    EXPECT_EQ(Param(*out[0], 1), std::string("1/1", 4));
    EXPECT_EQ(Param(*out[0], 2), std::string("", 1));
    EXPECT_EQ(platform.CountStarting("PackageAndSetToOutputQueue: id 10 has no parameter 1"), 1);

    NetMessage empty;
    empty.SetId(10);
    out = Package(empty);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(Param(*out[0], 0), std::string("", 1));
    EXPECT_EQ(Param(*out[0], 1), std::string("1/1", 4));
}

TEST_F(PackagingTest, PriorityOutsideOneToFourQueuesNothing) {
    for (int priority : {0, 5, -1}) {
        NetMessage message = MakeMessage(10, priority, {"n", "data"});
        client.PackageAndSetToOutputQueue(&message);
        NetMessage single = MakeMessage(300, priority, {"data"});
        client.PackageAndSetToOutputQueue(&single);
    }
    client.PackageAndSetToOutputQueue(nullptr);
    EXPECT_EQ(client.m_pOutputQueue->GetItemCount(), 0);
    EXPECT_EQ(platform.Releases(), 0);
    EXPECT_EQ(platform.CountStarting("PackageAndSetToOutputQueue: priority"), 6);
}

}  // namespace
