// What UnPackageAndSetToInputQueue hands the application: decoded single-frame
// data (ids 9, 300 to 399), progress and reassembled objects of multi-part
// transfers (ids 8, 10), and clear refusals of malformed input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PackagingTestClient.h"
#include "message/Base64Codec.h"
#include "message/PartsLedger.h"

namespace {

using namespace packaging_test;

std::string ToBase64(const std::string& bytes) {
    std::vector<char> text((bytes.size() + 2) / 3 * 4 + 1);
    transport::Base64Codec().ToBase64(reinterpret_cast<const unsigned char*>(bytes.data()),
                                      static_cast<unsigned long>(bytes.size()), text.data());
    return std::string(text.data());
}

class UnpackagingTest : public ::testing::Test {
protected:
    void SetUp() override {
        Recorder::Packages().clear();
        client.SetNetHandler(&Recorder::Handler);
        client.m_hSendEvents[0] = platform.CreateEvent();
    }
    void TearDown() override {
        platform.CloseHandle(client.m_hSendEvents[0]);
        client.m_hSendEvents[0] = nullptr;
        Recorder::Packages().clear();
    }

    void Receive(const NetMessage& message) {
        NetMessage copy(message);
        client.UnPackageAndSetToInputQueue(&copy);
    }
    // A part as the server writes it: ids 8 carry the leading "4".
    void ReceivePart(unsigned long id, const std::string& name, const std::string& partText,
                     const std::string& piece) {
        if (id == 8) {
            Receive(MakeMessage(8, 2, {"4", name, partText, piece}));
        } else {
            Receive(MakeMessage(id, 2, {name, partText, piece}));
        }
    }
    std::vector<std::unique_ptr<NetPackage>>& Packages() { return Recorder::Packages(); }
    const NetMessage& MessageAt(std::size_t i) {
        EXPECT_EQ(Packages().at(i)->m_nKind, NetPackage::KIND_MESSAGE);
        return *static_cast<const NetMessage*>(Packages().at(i)->m_pBody);
    }
    void ExpectProgress(std::size_t i, int part, int total) {
        ASSERT_EQ(Packages().at(i)->m_nKind, NetPackage::KIND_INFORMATION);
        const auto* info = static_cast<const NetInformation*>(Packages().at(i)->m_pBody);
        EXPECT_EQ(info->m_nCode, 3u);
        EXPECT_EQ(info->m_nValue1, part);
        EXPECT_EQ(info->m_nValue2, total);
        EXPECT_EQ(info->m_pMessage, nullptr);
    }
    bool ResponseSet() {
        const bool set = platform.WaitOne(client.m_hSendEvents[0], 0) == transport::kWaitObject0;
        platform.ResetEvent(client.m_hSendEvents[0]);
        return set;
    }
    int PartsQueued() { return client.m_pPartsQueue->GetItemCount(); }

    RecordingPlatform platform;
    TestClient client{platform};
};

// ---- single frames ----

TEST_F(UnpackagingTest, Id305DeliversDecodedBytesWithACountedZeroByte) {
    NetMessage message = MakeMessage(305, 2, {"QUJD", "x"});
    message.SetPriority(2);
    Receive(message);

    ASSERT_EQ(Packages().size(), 1u);
    const NetMessage& body = MessageAt(0);
    EXPECT_EQ(body.GetId(), 305u);
    EXPECT_EQ(body.GetPriority(), 2);
    ASSERT_EQ(body.GetParams().GetCount(), 2u);
    EXPECT_EQ(Param(body, 0), std::string("ABC", 4));
    EXPECT_EQ(Param(body, 1), std::string("x", 2));
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue"), 1);
    EXPECT_FALSE(ResponseSet());
}

TEST_F(UnpackagingTest, PaddingAddsNoBytes) {
    Receive(MakeMessage(300, 2, {"QQ=="}));
    Receive(MakeMessage(300, 2, {"QUI="}));
    Receive(MakeMessage(300, 2, {"QUI"}));
    Receive(MakeMessage(300, 2, {""}));
    ASSERT_EQ(Packages().size(), 4u);
    EXPECT_EQ(Param(MessageAt(0), 0), std::string("A", 2));
    EXPECT_EQ(Param(MessageAt(1), 0), std::string("AB", 3));
    EXPECT_EQ(Param(MessageAt(2), 0), std::string("AB", 3));
    EXPECT_EQ(Param(MessageAt(3), 0), std::string("", 1));
}

TEST_F(UnpackagingTest, Id9DataHasExactlyTheDecodedLength) {
    Receive(MakeMessage(9, 2, {"2", "pic", "1/1", "QUI="}));
    ASSERT_EQ(Packages().size(), 1u);
    const NetMessage& body = MessageAt(0);
    EXPECT_EQ(body.GetId(), 9u);
    ASSERT_EQ(body.GetParams().GetCount(), 4u);
    EXPECT_EQ(Param(body, 0), std::string("2", 2));
    EXPECT_EQ(Param(body, 1), std::string("pic", 4));
    EXPECT_EQ(Param(body, 2), std::string("1/1", 4));
    EXPECT_EQ(Param(body, 3), "AB");
    EXPECT_EQ(PartsQueued(), 0);
}

TEST_F(UnpackagingTest, LongSingleFrameDecodesIntoAnAreaOfItsOwnSize) {
    // Far beyond one 2500-character frame: the area grows with the text.
    const std::string object = Object(60000);
    Receive(MakeMessage(399, 2, {ToBase64(object), "tail"}));
    Receive(MakeMessage(9, 2, {"2", "big", "1/1", ToBase64(object)}));
    ASSERT_EQ(Packages().size(), 2u);
    EXPECT_EQ(Param(MessageAt(0), 0), object + '\0');
    EXPECT_EQ(Param(MessageAt(0), 1), std::string("tail", 5));
    EXPECT_EQ(Param(MessageAt(1), 3), object);
}

TEST_F(UnpackagingTest, MissingSingleFrameParametersReadAsEmpty) {
    Receive(MakeMessage(300, 2, {}));
    Receive(MakeMessage(9, 2, {"2", "pic"}));
    ASSERT_EQ(Packages().size(), 2u);
    ASSERT_EQ(MessageAt(0).GetParams().GetCount(), 1u);
    EXPECT_EQ(Param(MessageAt(0), 0), std::string("", 1));
    ASSERT_EQ(MessageAt(1).GetParams().GetCount(), 4u);
    EXPECT_EQ(Param(MessageAt(1), 1), std::string("pic", 4));
    EXPECT_EQ(Param(MessageAt(1), 2), std::string("", 1));
    EXPECT_EQ(Param(MessageAt(1), 3), "");
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: id 300 has 0 of 1 parameters"),
              1);
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: id 9 has 2 of 4 parameters"), 1);
}

TEST_F(UnpackagingTest, TextOutsideTheBase64AlphabetIsDropped) {
    for (const char* text : {"QU!D", "QUJD\r\n", "QQ==QUJD", "Q===", "QUJDQ", "QQ=", "QU JD"}) {
        Receive(MakeMessage(305, 2, {text}));
        Receive(MakeMessage(9, 2, {"2", "pic", "1/1", text}));
    }
    EXPECT_TRUE(Packages().empty());
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: data is not Base64"), 14);
}

// ---- multi-part transfers ----

TEST_F(UnpackagingTest, PartsReportProgressThenTheJoinedObject) {
    const std::string object = "Hello, parts!";  // 20 Base64 characters
    const std::string text = ToBase64(object);
    ReceivePart(10, "greeting", "1/3", text.substr(0, 8));
    ReceivePart(10, "greeting", "2/3", text.substr(8, 8));
    EXPECT_EQ(PartsQueued(), 2);
    ReceivePart(10, "greeting", "3/3", text.substr(16));

    ASSERT_EQ(Packages().size(), 3u);
    ExpectProgress(0, 1, 3);
    ExpectProgress(1, 2, 3);
    const NetMessage& body = MessageAt(2);
    EXPECT_EQ(body.GetId(), 10u);
    EXPECT_EQ(body.GetPriority(), 2);
    ASSERT_EQ(body.GetParams().GetCount(), 3u);
    EXPECT_EQ(Param(body, 0), std::string("greeting", 9));
    EXPECT_EQ(Param(body, 1), std::string("3/3", 4));
    EXPECT_EQ(Param(body, 2), object + '\0');
    EXPECT_EQ(PartsQueued(), 0);
    EXPECT_FALSE(ResponseSet());
}

TEST_F(UnpackagingTest, Id8FirstPartAnswersTheMessageInFlight) {
    const std::string text = ToBase64("server data");
    ReceivePart(8, "s", "1/2", text.substr(0, 8));
    EXPECT_TRUE(ResponseSet());
    ReceivePart(8, "s", "2/2", text.substr(8));
    EXPECT_FALSE(ResponseSet());

    ASSERT_EQ(Packages().size(), 2u);
    ExpectProgress(0, 1, 2);
    const NetMessage& body = MessageAt(1);
    EXPECT_EQ(body.GetId(), 8u);
    ASSERT_EQ(body.GetParams().GetCount(), 4u);
    EXPECT_EQ(Param(body, 0), std::string("4", 2));
    EXPECT_EQ(Param(body, 1), std::string("s", 2));
    EXPECT_EQ(Param(body, 2), std::string("2/2", 4));
    EXPECT_EQ(Param(body, 3), std::string("server data", 12));

    ReceivePart(10, "t", "1/2", "QUJD");
    EXPECT_FALSE(ResponseSet()) << "id 10 parts never answer";
}

TEST_F(UnpackagingTest, PartsArrivingOutOfOrderAreJoinedByPartNumber) {
    const std::string text = ToBase64("0123456789AB");  // 16 characters
    ReceivePart(10, "o", "3/4", text.substr(8, 4));
    ReceivePart(10, "o", "1/4", text.substr(0, 4));
    ReceivePart(10, "o", "4/4", text.substr(12, 4));
    EXPECT_EQ(PartsQueued(), 3) << "the last part alone does not complete a transfer";
    ReceivePart(10, "o", "2/4", text.substr(4, 4));

    ASSERT_EQ(Packages().size(), 4u);
    ExpectProgress(0, 3, 4);
    ExpectProgress(1, 1, 4);
    ExpectProgress(2, 4, 4);
    EXPECT_EQ(Param(MessageAt(3), 2), std::string("0123456789AB", 13));
    EXPECT_EQ(Param(MessageAt(3), 1), std::string("2/4", 4));
    EXPECT_EQ(PartsQueued(), 0);
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: 3 of 4 parts of \"o\""), 1);
}

TEST_F(UnpackagingTest, InterleavedTransfersStayApart) {
    const std::string a = ToBase64("first object");
    const std::string b = ToBase64("second thing");
    ReceivePart(10, "a", "1/2", a.substr(0, 8));
    ReceivePart(10, "b", "1/2", b.substr(0, 8));
    ReceivePart(8, "a", "1/2", b.substr(0, 8));  // same name and total, other id
    ReceivePart(10, "a", "1/3", "QUJD");         // same name, other total
    ReceivePart(10, "a", "2/2", a.substr(8));
    ReceivePart(10, "b", "2/2", b.substr(8));

    ASSERT_EQ(Packages().size(), 6u);
    EXPECT_EQ(Param(MessageAt(4), 2), std::string("first object", 13));
    EXPECT_EQ(Param(MessageAt(5), 2), std::string("second thing", 13));
    ASSERT_EQ(PartsQueued(), 2);
    EXPECT_EQ(client.m_pPartsQueue->ItemAt(0)->GetId(), 8u);
    EXPECT_EQ(Text(*client.m_pPartsQueue->ItemAt(1), 1), "1/3");
}

TEST_F(UnpackagingTest, SinglePartTransferAndEmptyObject) {
    ReceivePart(10, "e", "1/1", "");
    ASSERT_EQ(Packages().size(), 1u);
    EXPECT_EQ(Param(MessageAt(0), 2), std::string("", 1));
    EXPECT_EQ(PartsQueued(), 0);
}

// ---- malformed parts ----

TEST_F(UnpackagingTest, PartsMissingParametersAreRefused) {
    Receive(MakeMessage(10, 2, {"name", "1/1"}));
    Receive(MakeMessage(8, 2, {"4", "name", "1/1"}));
    Receive(MakeMessage(10, 2, {}));
    EXPECT_TRUE(Packages().empty());
    EXPECT_EQ(PartsQueued(), 0);
    EXPECT_FALSE(ResponseSet());
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: id 10 has 2 of 3 parameters"),
              1);
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: id 8 has 3 of 4 parameters"), 1);
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: id 10 has 0 of 3 parameters"),
              1);
}

TEST_F(UnpackagingTest, BadPartTextsAreRefused) {
    // Anything but "i/n" with 1 to 9 digits a side and 1 <= i <= n; the last
    // "/" splits, so "1/2/2" is part "1/2" of 2.
    const std::vector<std::string> texts = {"",
                                            "12",
                                            "/3",
                                            "1/",
                                            "a/3",
                                            "1/3x",
                                            "0/3",
                                            "4/3",
                                            "1/0",
                                            "-1/3",
                                            "+1/3",
                                            " 1/3",
                                            "1234567890/1234567890",
                                            "1/1234567890",
                                            "x/1/2",
                                            "1/2/2"};
    for (const std::string& text : texts) {
        ReceivePart(10, "n", text, "QUJD");
        ReceivePart(8, "n", text, "QUJD");
    }
    EXPECT_TRUE(Packages().empty());
    EXPECT_EQ(PartsQueued(), 0);
    EXPECT_FALSE(ResponseSet());
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: part text"),
              static_cast<int>(2 * texts.size()));
}

TEST_F(UnpackagingTest, NineDigitsAreTheMostAPartTextSideMayHave) {
    // Nine digits are the most a side may have.
    client.m_pInternals->partsMaxCount = 1000000000;
    ReceivePart(10, "n", "999999999/999999999", "QUJD");
    ASSERT_EQ(Packages().size(), 1u);
    ExpectProgress(0, 999999999, 999999999);
}

TEST_F(UnpackagingTest, PieceLongerThanItsShareOfTheAreaIsRefused) {
    ReceivePart(10, "n", "1/2", std::string(2501, 'A'));
    EXPECT_TRUE(Packages().empty());
    EXPECT_EQ(PartsQueued(), 0);
    ReceivePart(10, "n", "1/1", std::string(2500, 'A'));
    ASSERT_EQ(Packages().size(), 1u);
    EXPECT_EQ(Param(MessageAt(0), 2).size(), 1876u);
}

TEST_F(UnpackagingTest, JoinedTextThatIsNotBase64IsDropped) {
    ReceivePart(10, "n", "1/2", "QQ==");  // padding in the middle of the joined text
    ReceivePart(10, "n", "2/2", "QUJD");
    ReceivePart(10, "m", "1/1", "QU*D");
    ASSERT_EQ(Packages().size(), 1u);
    ExpectProgress(0, 1, 2);
    EXPECT_EQ(PartsQueued(), 0) << "the parts of a dropped transfer are not kept";
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: data is not Base64"), 2);
}

TEST_F(UnpackagingTest, TransferLargerThanThePartsQueueIsRefused) {
    client.m_pInternals->partsMaxCount = 4;
    ReceivePart(8, "big", "1/5", "QUJD");
    EXPECT_TRUE(Packages().empty());
    EXPECT_EQ(PartsQueued(), 0);
    EXPECT_TRUE(ResponseSet()) << "the server answered all the same";
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: part 1/5 does not fit"), 1);
}

TEST_F(UnpackagingTest, FullPartsQueueDropsTheOldestParts) {
    client.m_pInternals->partsMaxCount = 3;
    const std::string b = ToBase64("bbbbbb");
    ReceivePart(10, "a", "1/3", "QUJD");
    ReceivePart(10, "a", "2/3", "QUJD");
    ReceivePart(10, "b", "1/2", b.substr(0, 4));
    ReceivePart(10, "b", "2/2", b.substr(4));  // pushes out a's part 1

    ASSERT_EQ(Packages().size(), 4u);
    EXPECT_EQ(Param(MessageAt(3), 2), std::string("bbbbbb", 7));
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: parts queue full"), 1);
    ASSERT_EQ(PartsQueued(), 1);
    EXPECT_EQ(Text(*client.m_pPartsQueue->ItemAt(0), 1), "2/3");

    ReceivePart(10, "a", "3/3", "QUJD");  // a's part 1 is gone: no object
    ASSERT_EQ(Packages().size(), 5u);
    ExpectProgress(4, 3, 3);
    EXPECT_EQ(PartsQueued(), 2);
}

TEST_F(UnpackagingTest, PartsQueueIsBoundedInBytes) {
    const std::string piece(400, 'A');
    client.m_pInternals->partsMaxBytes = 1000;
    ReceivePart(10, "a", "1/9", piece);
    ReceivePart(10, "a", "2/9", piece);
    EXPECT_EQ(PartsQueued(), 2);
    ReceivePart(10, "a", "3/9", piece);  // 3 x ~410 bytes do not fit
    EXPECT_EQ(PartsQueued(), 2);
    EXPECT_EQ(Text(*client.m_pPartsQueue->ItemAt(0), 1), "2/9");

    client.m_pInternals->partsMaxBytes = 300;  // one part alone is too large
    ReceivePart(10, "a", "4/9", piece);
    EXPECT_EQ(platform.CountStarting("UnPackageAndSetToInputQueue: part 4/9 does not fit"), 1);
    EXPECT_EQ(PartsQueued(), 2);
}

TEST_F(UnpackagingTest, PartsQueueEmptiedBehindItsBackIsRecounted) {
    const std::string text = ToBase64("after close");
    ReceivePart(10, "c", "1/2", text.substr(0, 8));
    client.m_pPartsQueue->ClearItems();  // as Close(true) does
    ReceivePart(10, "c", "2/2", text.substr(8));
    EXPECT_EQ(Packages().size(), 2u);
    ExpectProgress(1, 2, 2);
    ReceivePart(10, "c", "1/2", text.substr(0, 8));
    ASSERT_EQ(Packages().size(), 3u);
    EXPECT_EQ(Param(MessageAt(2), 2), std::string("after close", 12));
}

// ---- the pieces underneath ----

TEST(PartTextTest, ReadsOnlyWellFormedCounts) {
    int part = 0;
    int total = 0;
    EXPECT_TRUE(transport::ParsePartText("2/3", 3, &part, &total));
    EXPECT_EQ(part, 2);
    EXPECT_EQ(total, 3);
    EXPECT_TRUE(transport::ParsePartText("007/010", 7, &part, &total));
    EXPECT_EQ(part, 7);
    EXPECT_EQ(total, 10);
    // The length bounds the read: the text need not end in a zero byte.
    EXPECT_TRUE(transport::ParsePartText("1/29999", 3, &part, &total));
    EXPECT_EQ(total, 2);
    EXPECT_FALSE(transport::ParsePartText(nullptr, 0, &part, &total));
    EXPECT_FALSE(transport::ParsePartText("1/1", 2, &part, &total));
}

TEST(EraseEntriesTest, KeepsTheOrderOfTheRestWhicheverWayItErases) {
    struct Case {
        int count;
        std::vector<int> erase;
    };
    // Tail erases, erases spread through the queue (copies kept instead), all, none.
    for (const Case& c : {Case{6, {4, 5}}, Case{6, {0, 2, 4}}, Case{6, {0, 1, 2, 3}},
                          Case{3, {0, 1, 2}}, Case{3, {}}, Case{8, {0, 1, 2, 3, 4, 5, 6}}}) {
        CMessageQueue queue;
        for (int i = 0; i < c.count; ++i) {
            auto* message = new NetMessage;
            message->SetId(static_cast<unsigned long>(i));
            queue.PushBack(message);
        }
        transport::EraseEntries(queue, c.erase);
        std::vector<unsigned long> left;
        for (int i = 0; i < queue.GetItemCount(); ++i) left.push_back(queue.ItemAt(i)->GetId());
        std::vector<unsigned long> expected;
        for (int i = 0; i < c.count; ++i) {
            if (std::find(c.erase.begin(), c.erase.end(), i) == c.erase.end()) {
                expected.push_back(static_cast<unsigned long>(i));
            }
        }
        EXPECT_EQ(left, expected);
        queue.ClearItems();
    }
}

}  // namespace
