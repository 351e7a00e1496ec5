// Binary data from end to end through an echoing peer: binary messages (ids
// 300 to 399) as Base64 in one frame, objects (id 10) out in numbered parts
// of 2048 characters, and parts coming in (ids 8 and 10) reassembled, in any
// order. Every byte must arrive, and nothing more.

#include <algorithm>
#include <random>

#include "e2e/E2eFixture.h"
#include "message/Base64Codec.h"

namespace e2e {
namespace {

constexpr std::size_t kPiece = 2048;

std::string Base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    transport::Base64Codec codec;
    text.resize(codec.ToBase64(reinterpret_cast<const unsigned char*>(bytes.data()),
                               static_cast<unsigned long>(bytes.size()), &text[0]) - 1);
    return text;
}

// Every byte value, zeros included, in an order of the seed's.
std::string Object(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i < 256 ? i : random());
    std::shuffle(bytes.begin(), bytes.end(), random);
    return bytes;
}

// The parts of an object: its Base64 text and a counted zero byte.
std::size_t PartsFor(std::size_t size) { return (Base64(std::string(size, 'x')).size() + kPiece) / kPiece; }

class Transfer : public E2e {
protected:
    Transfer() { UseClock(10); }  // a mebibyte's round trips stay far inside the response time-out
    // The message with this id that reached the handler, or null.
    static std::shared_ptr<const NetMessage> Received(unsigned long id) {
        for (const auto& p : PackageLog::All()) {
            const auto* m = dynamic_cast<const NetMessage*>(p->m_pBody);
            if (m != nullptr && m->GetId() == id) return std::shared_ptr<const NetMessage>(p, m);
        }
        return nullptr;
    }
};

struct BinaryCase {
    unsigned long id;
    std::size_t size;
};

class Binary : public Transfer, public ::testing::WithParamInterface<BinaryCase> {};

TEST_P(Binary, OneFrameOfBase64AndTheSameBytesBack) {
    const BinaryCase c = GetParam();
    peer_.SetRule([](const Frame& f) { return ScriptedPeer::Echo(f); });
    LogIn();
    const std::string object = Object(c.size, static_cast<unsigned>(c.id + c.size));
    Send(Message(c.id, {"tag"}, 2, &object, 0));
    ASSERT_TRUE(Have("msg " + std::to_string(c.id)));
    EXPECT_EQ(peer_.Frames().at(1).text, "<g44>" + std::to_string(c.id) + "<p>" + Base64(object) + "</p><p>tag</p></g44>");
    const auto back = Received(c.id);
    ASSERT_EQ(back->GetParams().GetCount(), 2u);
    EXPECT_TRUE(ParamBytes(*back, 0) == object + '\0');  // the true length and a counted zero
    EXPECT_EQ(ParamBytes(*back, 1), std::string("tag", 4));
    EXPECT_EQ(Packages().at(1), "info 1 0/0 " + std::to_string(c.id));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Binary,
                         ::testing::Values(BinaryCase{300, 0}, BinaryCase{305, 1}, BinaryCase{342, 1535},
                                           BinaryCase{399, 1536}, BinaryCase{305, 1537}));

// Longer than any thread but the send thread writes: it goes whole all the
// same, and the next request after its answer.
TEST_F(Transfer, ALongRequestGoesWholeAndTheNextAfterIt) {
    LogIn();
    const std::string object = Object(30000, 3);
    Send(Message(301, {}, 2, &object, 0));
    Send(Message(20, {"next"}));
    ASSERT_TRUE(Have("info 1 0/0 ", 2));
    const auto frames = peer_.Frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1].text, "<g44>301<p>" + Base64(object) + "</p></g44>");
    EXPECT_EQ(frames[2].id, 20);
}

struct ObjectCase {
    std::size_t size;
    bool id8;  // echoed as the server's own transfer (id 8, a leading "4")
};

class Parts : public Transfer, public ::testing::WithParamInterface<ObjectCase> {};

// Out in parts of 2048 characters, each answered before the next, back in
// parts with progress for every part but the last, and reassembled.
TEST_P(Parts, EveryByteComesBackWithProgressForEachPartButTheLast) {
    const ObjectCase c = GetParam();
    peer_.SetRule([c](const Frame& f) { return ScriptedPeer::Echo(f, c.id8); });
    LogIn();
    const std::string object = Object(c.size, static_cast<unsigned>(c.size));
    const std::size_t n = PartsFor(c.size);
    Send(Message(10, {"obj.bin"}, 3, &object, 1));
    ASSERT_TRUE(Have(c.id8 ? "msg 8 " : "msg 10 "));
    ASSERT_TRUE(Have("info 1 ", n));

    std::string joined;
    Lines expected = {"msg 1 1|ok"};
    for (std::size_t i = 0; i < n; ++i) {
        const Frame part = peer_.Frames().at(i + 1);
        const std::string of = std::to_string(i + 1) + "/" + std::to_string(n);
        ASSERT_EQ(part.params.size(), 3u);
        EXPECT_EQ(part.params[0] + " " + part.params[1], "obj.bin " + of);
        EXPECT_TRUE(i + 1 == n || part.params[2].size() == kPiece) << of;
        joined += part.params[2];
        expected.push_back("info 1 0/0 10");
        if (i + 1 < n) expected.push_back("info 3 " + of + " -");
    }
    EXPECT_TRUE(joined == Base64(object));
    const auto back = Received(c.id8 ? 8 : 10);
    expected.push_back(Describe(*PackageLog::All().at(expected.size())));
    EXPECT_EQ(Packages(), expected);
    const int first = c.id8 ? 1 : 0;
    ASSERT_EQ(back->GetParams().GetCount(), static_cast<unsigned long>(first + 3));
    EXPECT_EQ(ParamBytes(*back, first + 1), std::to_string(n) + "/" + std::to_string(n) + '\0');
    EXPECT_TRUE(ParamBytes(*back, first + 2) == object + '\0');
    EXPECT_TRUE(Eventually([&] { return client_->Queued() == 0 && client_->Parts() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(Sizes, Parts,
                         ::testing::Values(ObjectCase{0, false}, ObjectCase{1, false},
                                           ObjectCase{1535, false}, ObjectCase{1536, false},
                                           ObjectCase{1537, false}, ObjectCase{1u << 20, false},
                                           ObjectCase{3000, true}, ObjectCase{1u << 20, true}));

}  // namespace
}  // namespace e2e
