// Binary data from end to end: objects sent as numbered parts (id 10) and
// binary messages (ids 300 to 399) go through a server on loopback that
// sends each of them back; every byte must arrive, in order, and nothing
// more, with progress for each part but the last.

#include <algorithm>
#include <random>
#include <thread>

#include "e2e/E2eFixture.h"
#include "support/EchoServer.h"

namespace e2e {
namespace {

using transport::test::EchoServer;

constexpr std::size_t kPiece = 2048;
constexpr std::size_t kMiB = 1024 * 1024;

struct TransferClient : E2eClient {
    explicit TransferClient(transport::Platform& platform) : E2eClient(platform) {}
    int PartsQueued() { return m_pPartsQueue->GetItemCount(); }
};

// Every byte value, zero and 0xFF included, in an order that depends on the seed.
std::string MakeObject(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>(i < 256 ? i : random() & 0xFF);
    }
    std::shuffle(bytes.begin(), bytes.end(), random);
    return bytes;
}

// Base64 (RFC 4648, padded), written out independently of the library's codec.
std::string Base64(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t rest = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            bits = bits << 8 | (k < rest ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        }
        out += kAlphabet[bits >> 18 & 63];
        out += kAlphabet[bits >> 12 & 63];
        out += rest > 1 ? kAlphabet[bits >> 6 & 63] : '=';
        out += rest > 2 ? kAlphabet[bits & 63] : '=';
    }
    return out;
}

std::string ParamBytes(const NetMessage& message, int index) {
    void* data = nullptr;
    unsigned long length = 0;
    if (!message.GetParams().GetAt(index, &data, &length) || data == nullptr) return std::string();
    return std::string(static_cast<const char*>(data), length);
}

// A message with a text parameter (name) and a binary one, or only the binary one.
NetMessage BinaryMessage(unsigned long id, int priority, const std::string& name,
                         const std::string& object, const char* trailing = nullptr) {
    NetMessage m;
    m.SetId(id);
    m.SetPriority(priority);
    NetParamList list;
    if (id == 10) list.AddTail(name.c_str(), static_cast<unsigned long>(name.size() + 1));
    list.AddTail(object.data(), static_cast<unsigned long>(object.size()));
    if (trailing != nullptr) {
        list.AddTail(trailing, static_cast<unsigned long>(std::strlen(trailing) + 1));
    }
    m.SetParams(list);
    return m;
}

std::size_t PartsFor(std::size_t objectSize) {
    const std::size_t counted = Base64(std::string(objectSize, 'x')).size() + 1;
    return (counted + kPiece - 1) / kPiece;
}

// The progress packages (information code 3) in order: (part, total).
std::vector<std::pair<int, int>> Progress(const std::vector<PackageLog::Entry>& entries) {
    std::vector<std::pair<int, int>> out;
    for (const auto& e : entries) {
        const NetInformation* info = BodyInformation(*e.package);
        if (info != nullptr && info->m_nCode == 3) out.emplace_back(info->m_nValue1, info->m_nValue2);
    }
    return out;
}

std::vector<const NetMessage*> MessagesWithId(const std::vector<PackageLog::Entry>& entries,
                                              unsigned long id) {
    std::vector<const NetMessage*> out;
    for (const auto& e : entries) {
        const NetMessage* m = BodyMessage(*e.package);
        if (m != nullptr && m->GetId() == id) out.push_back(m);
    }
    return out;
}

std::size_t ErrorCount(const std::vector<PackageLog::Entry>& entries) {
    std::size_t n = 0;
    for (const auto& e : entries) n += BodyError(*e.package) != nullptr;
    return n;
}

class TransferTest : public E2eTest {
protected:
    // 60 s of the client's time in 6 s real: a megabyte's 683 round trips
    // under the sanitizers stay far inside the response time-out.
    TransferTest() : E2eTest(10) {}

    void SetUp() override {
        E2eTest::SetUp();
        m_ports.MapPort(800, m_echo.Port());
    }

    TransferClient& Start() {
        auto client = std::make_unique<TransferClient>(*m_top);
        TransferClient& ref = *client;
        m_client = std::move(client);
        PackageLog::Get().Reset(m_client.get());
        m_client->SetNetHandler(&PackageLog::Handler);
        EXPECT_TRUE(m_client->Open(m_params));
        EXPECT_TRUE(m_client->Login("user", "secret", nullptr, 7, "five", "six"));
        EXPECT_TRUE(WaitLoggedIn());
        return ref;
    }

    // Real-time wait for a condition the handler does not report.
    static bool Eventually(const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + kWait;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    static bool WaitForMessages(unsigned long id, std::size_t n) {
        return PackageLog::Get().WaitUntil(
            [&](const std::vector<PackageLog::Entry>& e) { return MessagesWithId(e, id).size() >= n; });
    }

    // The parts of the named object the server received, in order.
    std::vector<EchoServer::Frame> PartsOf(const std::string& name) const {
        std::vector<EchoServer::Frame> out;
        for (const auto& f : m_echo.FramesWithId(10)) {
            if (!f.params.empty() && f.params[0] == name) out.push_back(f);
        }
        return out;
    }

    // What the server received of an object: its name and the part texts
    // unchanged, full pieces but the last, and the pieces joined give exactly
    // the object's Base64 text.
    void ExpectOnTheWire(const std::string& name, const std::string& object) const {
        const std::string text = Base64(object);
        const std::size_t n = PartsFor(object.size());
        const auto parts = PartsOf(name);
        ASSERT_EQ(parts.size(), n);
        std::string joined;
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(parts[i].params.size(), 3u) << "part " << i + 1;
            EXPECT_EQ(parts[i].params[1], std::to_string(i + 1) + "/" + std::to_string(n));
            if (i + 1 < n) {
                EXPECT_EQ(parts[i].params[2].size(), kPiece) << "part " << i + 1;
            }
            joined += parts[i].params[2];
        }
        EXPECT_TRUE(joined == text) << "joined pieces differ from the object's Base64 text";
    }

    // The reassembled object at the handler: the parameters of the last part
    // with the decoded object, its true length plus one counted zero byte.
    static void ExpectObject(const NetMessage& m, const std::string& leading,
                             const std::string& name, const std::string& object) {
        const std::size_t n = PartsFor(object.size());
        const int first = leading.empty() ? 0 : 1;
        ASSERT_EQ(m.GetParams().GetCount(), static_cast<unsigned long>(first + 3));
        if (!leading.empty()) {
            EXPECT_EQ(ParamText(m, 0), leading);
        }
        EXPECT_EQ(ParamText(m, first), name);
        EXPECT_EQ(ParamText(m, first + 1), std::to_string(n) + "/" + std::to_string(n));
        const std::string data = ParamBytes(m, first + 2);
        ASSERT_EQ(data.size(), object.size() + 1);
        EXPECT_EQ(data.back(), '\0');
        EXPECT_TRUE(data.compare(0, object.size(), object) == 0) << "object bytes differ";
    }

    EchoServer m_echo;
};

// ---- Objects in numbered parts ----

struct ObjectCase {
    std::size_t size;
    bool asServerTransfer;  // comes back as id 8 instead of id 10
};

void PrintTo(const ObjectCase& c, std::ostream* out) {
    *out << c.size << " bytes" << (c.asServerTransfer ? ", back as id 8" : "");
}

class ObjectRoundTrip : public TransferTest,
                        public ::testing::WithParamInterface<ObjectCase> {};

TEST_P(ObjectRoundTrip, EveryByteComesBackWithProgressForEachPartButTheLast) {
    const ObjectCase c = GetParam();
    m_echo.SetPartsAsServerTransfer(c.asServerTransfer);
    TransferClient& client = Start();
    const std::string name = "object " + std::to_string(c.size) + ".bin";
    const std::string object = MakeObject(c.size, static_cast<unsigned>(c.size));
    const std::size_t n = PartsFor(c.size);

    const NetMessage message = BinaryMessage(10, 3, name, object);
    client.Send(&message);
    const unsigned long backId = c.asServerTransfer ? 8 : 10;
    ASSERT_TRUE(WaitForMessages(backId, 1)) << "no object came back";
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, n));

    ExpectOnTheWire(name, object);

    const auto entries = PackageLog::Get().Entries();
    std::vector<std::pair<int, int>> expected;
    for (std::size_t i = 1; i < n; ++i) {
        expected.emplace_back(static_cast<int>(i), static_cast<int>(n));
    }
    EXPECT_EQ(Progress(entries), expected);
    const auto objects = MessagesWithId(entries, backId);
    ASSERT_EQ(objects.size(), 1u);
    ExpectObject(*objects[0], c.asServerTransfer ? "4" : "", name, object);
    // The object comes after all of its progress.
    std::size_t objectAt = 0;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (BodyMessage(*entries[i].package) == objects[0]) objectAt = i;
    }
    for (std::size_t i = objectAt; i < entries.size(); ++i) {
        const NetInformation* info = BodyInformation(*entries[i].package);
        EXPECT_FALSE(info != nullptr && info->m_nCode == 3) << "progress after the object";
    }
    EXPECT_EQ(ErrorCount(entries), 0u);
    EXPECT_EQ(PackageLog::Count(entries, NetPackage::KIND_INFORMATION, 1), n);

    // Nothing of the transfer is left behind on either side.
    EXPECT_EQ(client.PartsQueued(), 0);
    EXPECT_TRUE(Eventually([&] { return client.OutputCount() == 0; }));
}

std::string ObjectCaseName(const ::testing::TestParamInfo<ObjectCase>& info) {
    return std::to_string(info.param.size) + (info.param.asServerTransfer ? "_id8" : "_id10");
}

INSTANTIATE_TEST_SUITE_P(Sizes, ObjectRoundTrip,
                         ::testing::Values(ObjectCase{0, false}, ObjectCase{1, false},
                                           ObjectCase{1535, false}, ObjectCase{1536, false},
                                           ObjectCase{1537, false}, ObjectCase{3000, false},
                                           ObjectCase{kMiB, false}, ObjectCase{0, true},
                                           ObjectCase{1536, true}, ObjectCase{3000, true},
                                           ObjectCase{kMiB, true}),
                         ObjectCaseName);

TEST_F(TransferTest, AnUrgentObjectOvertakesALongOneAndBothArriveWhole) {
    TransferClient& client = Start();
    const std::string slow = MakeObject(120000, 1);  // 79 parts
    const std::string urgent = MakeObject(5000, 2);  // 4 parts
    const NetMessage slowMessage = BinaryMessage(10, 4, "slow", slow);
    const NetMessage urgentMessage = BinaryMessage(10, 1, "urgent", urgent);
    // The urgent object is sent while the first part of the slow one waits
    // for its answer.
    m_echo.HoldAnswers();
    client.Send(&slowMessage);
    ASSERT_TRUE(m_echo.WaitForFramesWithId(10, 1, kWait));
    client.Send(&urgentMessage);
    m_echo.ReleaseAnswers();
    ASSERT_TRUE(WaitForMessages(10, 2));

    // On the wire the urgent parts came right after the first slow part.
    std::vector<std::string> order;
    for (const auto& f : m_echo.FramesWithId(10)) order.push_back(f.params[0] + " " + f.params[1]);
    ASSERT_EQ(order.size(), 83u);
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + 6),
              (std::vector<std::string>{"slow 1/79", "urgent 1/4", "urgent 2/4", "urgent 3/4",
                                        "urgent 4/4", "slow 2/79"}));
    ExpectOnTheWire("slow", slow);
    ExpectOnTheWire("urgent", urgent);

    const auto entries = PackageLog::Get().Entries();
    const auto objects = MessagesWithId(entries, 10);
    ASSERT_EQ(objects.size(), 2u);
    ExpectObject(*objects[0], "", "urgent", urgent);
    ExpectObject(*objects[1], "", "slow", slow);
    // Progress of both, interleaved: 78 + 3 packages.
    EXPECT_EQ(Progress(entries).size(), 78u + 3u);
    EXPECT_EQ(client.PartsQueued(), 0);
}

// ---- Binary messages (ids 300 to 399) ----

struct BinaryCase {
    unsigned long id;
    std::size_t size;
};

void PrintTo(const BinaryCase& c, std::ostream* out) {
    *out << "id " << c.id << ", " << c.size << " bytes";
}

class BinaryRoundTrip : public TransferTest, public ::testing::WithParamInterface<BinaryCase> {};

TEST_P(BinaryRoundTrip, TheFirstParameterComesBackByteForByte) {
    const BinaryCase c = GetParam();
    TransferClient& client = Start();
    const std::string object = MakeObject(c.size, static_cast<unsigned>(c.size + c.id));
    const NetMessage message = BinaryMessage(c.id, 2, "", object, "tag");
    client.Send(&message);
    ASSERT_TRUE(WaitForMessages(c.id, 1));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));

    // One frame, the Base64 text first, the other parameter as it was.
    const auto frames = m_echo.FramesWithId(static_cast<long>(c.id));
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].params.size(), 2u);
    EXPECT_TRUE(frames[0].params[0] == Base64(object));
    EXPECT_EQ(frames[0].params[1], "tag");

    const auto entries = PackageLog::Get().Entries();
    const auto back = MessagesWithId(entries, c.id);
    ASSERT_EQ(back.size(), 1u);
    ASSERT_EQ(back[0]->GetParams().GetCount(), 2u);
    const std::string data = ParamBytes(*back[0], 0);
    ASSERT_EQ(data.size(), c.size + 1);  // the true length and the counted zero byte
    EXPECT_EQ(data.back(), '\0');
    EXPECT_TRUE(data.compare(0, c.size, object) == 0) << "bytes differ";
    EXPECT_EQ(ParamBytes(*back[0], 1), std::string("tag", 4));
    EXPECT_TRUE(Progress(entries).empty());
    EXPECT_EQ(ErrorCount(entries), 0u);
    EXPECT_TRUE(Eventually([&] { return client.OutputCount() == 0; }));
}

std::string BinaryCaseName(const ::testing::TestParamInfo<BinaryCase>& info) {
    return "id" + std::to_string(info.param.id) + "_" + std::to_string(info.param.size);
}

INSTANTIATE_TEST_SUITE_P(Sizes, BinaryRoundTrip,
                         ::testing::Values(BinaryCase{300, 0}, BinaryCase{305, 1},
                                           BinaryCase{342, 1535}, BinaryCase{399, 1536},
                                           BinaryCase{305, 1537}, BinaryCase{399, 2},
                                           BinaryCase{300, 1000}),
                         BinaryCaseName);

// A binary message is never split: one longer than a frame reaches the server
// whole, and the server's equally long answer is refused by the client
// without harm to the connection.
class LongBinaryMessage : public TransferTest,
                          public ::testing::WithParamInterface<std::size_t> {};

TEST_P(LongBinaryMessage, ReachesTheServerWholeAndItsEchoIsRefused) {
    const std::size_t size = GetParam();
    TransferClient& client = Start();
    const std::string object = MakeObject(size, 7);
    const NetMessage message = BinaryMessage(320, 2, "", object, "tag");
    client.Send(&message);
    ASSERT_TRUE(m_echo.WaitForFramesWithId(320, 1, kWait));
    const auto frames = m_echo.FramesWithId(320);
    ASSERT_EQ(frames[0].params.size(), 2u);
    EXPECT_TRUE(frames[0].params[0] == Base64(object));
    EXPECT_EQ(frames[0].params[1], "tag");

    // A short one after it travels normally on the same connection.
    const std::string small = MakeObject(100, 8);
    const NetMessage after = BinaryMessage(321, 2, "", small, "after");
    client.Send(&after);
    ASSERT_TRUE(WaitForMessages(321, 1));
    const auto entries = PackageLog::Get().Entries();
    EXPECT_TRUE(MessagesWithId(entries, 320).empty());
    EXPECT_EQ(ParamBytes(*MessagesWithId(entries, 321)[0], 0), small + std::string(1, '\0'));
    EXPECT_EQ(ErrorCount(entries), 0u);
    EXPECT_EQ(m_echo.FramesWithId(1).size(), 1u) << "the connection was lost";
    if (size < 5000) {
        // Short enough to be cut whole from the receive cache, and refused.
        EXPECT_TRUE(m_trace.Contains("Frame too long"));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LongBinaryMessage, ::testing::Values(3000, kMiB));

}  // namespace
}  // namespace e2e
