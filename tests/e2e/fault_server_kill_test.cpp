// The server dies at the worst moments: in the middle of a frame (either
// way), between a message and its answer, and in the middle of multi-part
// transfers (either way). The client keeps trying while it is away; once a
// server is back on the same port, every queued message arrives whole and is
// answered once, and nothing of the broken frames reaches the application.

#include <map>

#include "e2e/FaultFixture.h"

namespace e2e {
namespace {

class ServerKillTest : public FaultTest {};

// Standard Base64, written out here so that it cannot share a fault with the
// client's codec.
std::string DecodeBase64(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string out;
    unsigned bits = 0;
    int held = 0;
    for (char c : text) {
        const int v = value(c);
        if (v < 0) break;  // padding ends the data
        bits = (bits << 6) | static_cast<unsigned>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>((bits >> held) & 0xFF));
        }
    }
    return out;
}

std::string EncodeBase64(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

// An object whose bytes are all different from their neighbours, zeros included.
std::string ObjectBytes(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

TEST_F(ServerKillTest, KilledInTheMiddleOfAFrameTheMessageGoesWholeToTheNextServer) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    // From now on the client's bytes reach the server one at a time.
    m_proxy->SetSlicing(FaultProxy::kToServer, true, std::chrono::milliseconds(3));
    const std::string payload(120, 'p');
    NetMessage m = MakeMessage(201, 2, {payload.c_str()});
    m_client->Send(&m);

    // The server holds the start of the frame, not its end, when it dies.
    ASSERT_TRUE(Eventually([&] {
        const std::string got = Server()->Received(0);
        const std::size_t start = got.find("<g44>201");
        return start != std::string::npos && got.size() > start + 20;
    }));
    const std::string partial = Server()->Received(0);
    EXPECT_EQ(partial.find("</g44>", partial.find("<g44>201")), std::string::npos);
    EXPECT_TRUE(Server()->FramesWithId(201).empty());
    KillServer();
    m_proxy->SetSlicing(FaultProxy::kToServer, false);

    // The client notices, and keeps trying while nobody answers.
    ASSERT_TRUE(m_trace.WaitFor("WSAECONNRESET: Connection reset by peer.", kWaitMs));
    ASSERT_TRUE(m_proxy->WaitForAccepted(m_proxy->Accepted() + 2, kWait));
    EXPECT_EQ(DeliveredCount(201), 0u);
    EXPECT_EQ(Client().OutputCount(), 1);

    FakeServer& back = RestartServer();
    ASSERT_TRUE(WaitDelivered(201, 1));
    const auto frames = back.FramesWithId(201);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].params, (std::vector<std::string>{payload}));
    EXPECT_EQ(IdsOn(back, frames[0].connection), (std::vector<long>{1, 201}));
    EXPECT_EQ(DeliveredCount(201), 1u);
    EXPECT_TRUE(QueueDrained());
    EXPECT_EQ(Client().State(), CNetClient::CONN_CONNECTED);
    EXPECT_TRUE(m_trace.Contains("Socket shutdown"));
}

TEST_F(ServerKillTest, KilledInTheMiddleOfItsAnswerTheHalfFrameIsNeverDelivered) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    // The answer "<g44>7<p>1</p></g44>" gets as far as "<g44>7<p", then the
    // line and the server are gone.
    m_proxy->DropAfterBytes(FaultProxy::kToClient, 8);
    NetMessage m = MakeMessage(202, 3, {"answer me"});
    m_client->Send(&m);
    ASSERT_TRUE(m_proxy->WaitForCut(1, kWait));
    KillServer();
    ASSERT_TRUE(m_trace.WaitFor("WSAECONNRESET: Connection reset by peer.", kWaitMs));
    ASSERT_TRUE(m_proxy->WaitForAccepted(m_proxy->Accepted() + 1, kWait));

    FakeServer& back = RestartServer();
    ASSERT_TRUE(WaitDelivered(202, 1));
    // The half frame in the cache is dropped when the new log-in answer comes.
    EXPECT_EQ(PackageCount(), 2u);  // the first log-in answer and one result
    EXPECT_EQ(DeliveredCount(202), 1u);
    ASSERT_EQ(back.FramesWithId(202).size(), 1u);
    EXPECT_EQ(IdsOn(back, back.FramesWithId(202)[0].connection), (std::vector<long>{1, 202}));
    EXPECT_TRUE(QueueDrained());
}

TEST_F(ServerKillTest, KilledBetweenAMessageAndItsAnswerTheMessageIsSentAgain) {
    Server()->SetResultForId(203, FakeServer::kNoAnswer);
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    NetMessage m = MakeMessage(203, 1, {"once more"});
    m_client->Send(&m);
    ASSERT_TRUE(Server()->WaitForFramesWithId(203, 1, kWait));
    KillServer();
    ASSERT_TRUE(m_proxy->WaitForAccepted(m_proxy->Accepted() + 1, kWait));
    EXPECT_EQ(Client().OutputCount(), 1);  // still waiting for its answer

    FakeServer& back = RestartServer();
    ASSERT_TRUE(WaitDelivered(203, 1));
    ASSERT_EQ(back.FramesWithId(203).size(), 1u);
    EXPECT_EQ(back.FramesWithId(203)[0].params, (std::vector<std::string>{"once more"}));
    EXPECT_EQ(DeliveredCount(203), 1u);
    EXPECT_TRUE(QueueDrained());
    // One disconnection, one copy more at the server: the old one got it too.
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_ERROR, 7), 0u);
}

TEST_F(ServerKillTest, KilledInTheMiddleOfAnOutgoingTransferThePartsArriveWholeInOrder) {
    // 5000 bytes are 6668 Base64 characters: four parts. The first is
    // answered, the second is not, and then the server dies.
    Server()->QueueResults({1, FakeServer::kNoAnswer});
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    const std::string object = ObjectBytes(5000);
    NetMessage m;
    m.SetId(10);
    m.SetPriority(2);
    NetParamList params;
    params.AddTail("photo", 6);
    params.AddTail(object.data(), static_cast<unsigned long>(object.size()));
    m.SetParams(params);
    m_client->Send(&m);
    ASSERT_TRUE(Server()->WaitForFramesWithId(10, 2, kWait));
    const auto before = Server()->FramesWithId(10);
    KillServer();
    ASSERT_TRUE(m_proxy->WaitForAccepted(m_proxy->Accepted() + 1, kWait));
    EXPECT_EQ(Client().OutputCount(), 3);  // parts 2 to 4

    FakeServer& back = RestartServer();
    ASSERT_TRUE(WaitDelivered(10, 4));
    const auto after = back.FramesWithId(10);
    ASSERT_EQ(before.size(), 2u);
    ASSERT_EQ(after.size(), 3u);
    std::vector<std::string> partTexts;
    for (const auto& f : before) partTexts.push_back(f.params.at(1));
    for (const auto& f : after) partTexts.push_back(f.params.at(1));
    EXPECT_EQ(partTexts, (std::vector<std::string>{"1/4", "2/4", "2/4", "3/4", "4/4"}));

    // Joined by part number, the pieces are the object.
    std::map<std::string, std::string> pieces;
    for (const auto& f : before) pieces[f.params.at(1)] = f.params.at(2);
    for (const auto& f : after) pieces[f.params.at(1)] = f.params.at(2);
    std::string joined;
    for (const auto& p : pieces) joined += p.second;
    EXPECT_EQ(DecodeBase64(joined), object);
    EXPECT_EQ(DeliveredCount(10), 4u);
    EXPECT_TRUE(QueueDrained());
}

TEST_F(ServerKillTest, KilledInTheMiddleOfAnIncomingTransferTheResentTransferIsDeliveredOnce) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    const std::string object = ObjectBytes(3000);
    const std::string text = EncodeBase64(object);
    const std::size_t size = (text.size() + 2) / 3;
    auto part = [&](int i) {
        return "<g44>8<p>4</p><p>doc</p><p>" + std::to_string(i) + "/3</p><p>" +
               text.substr(static_cast<std::size_t>(i - 1) * size, size) + "</p></g44>";
    };
    ASSERT_TRUE(Server()->Push(part(1) + part(2)));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 3, 2));
    EXPECT_EQ(Client().PartsCount(), 2);
    KillServer();
    ASSERT_TRUE(m_proxy->WaitForAccepted(m_proxy->Accepted() + 1, kWait));

    // The new server sends the whole transfer again.
    FakeServer& back = RestartServer();
    ASSERT_TRUE(back.WaitForFramesWithId(1, 1, kWait));
    ASSERT_TRUE(Eventually([&] { return Client().State() == CNetClient::CONN_CONNECTED; }));
    ASSERT_TRUE(back.Push(part(1) + part(2) + part(3)));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_MESSAGE, 8, 1));

    std::size_t objects = 0;
    for (const auto& e : PackageLog::Get().Entries()) {
        const NetMessage* body = BodyMessage(*e.package);
        if (body == nullptr || body->GetId() != 8) continue;
        ++objects;
        ASSERT_EQ(body->GetParams().GetCount(), 4u);
        EXPECT_EQ(ParamText(*body, 1), "doc");
        EXPECT_EQ(ParamText(*body, 2), "3/3");
        void* data = nullptr;
        unsigned long length = 0;
        body->GetParams().GetAt(3, &data, &length);
        ASSERT_EQ(length, object.size() + 1);  // the data and its counted zero byte
        EXPECT_EQ(std::string(static_cast<const char*>(data), object.size()), object);
    }
    EXPECT_EQ(objects, 1u);
    EXPECT_EQ(m_trace.Count("replaces an earlier copy"), 2u);
    EXPECT_EQ(Client().PartsCount(), 0);
}

}  // namespace
}  // namespace e2e
