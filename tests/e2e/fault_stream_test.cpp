// What the server's byte stream may hold besides well-formed answers:
// answers one byte at a time, garbage and a mebibyte of text without a frame,
// frames longer than the client takes, and answers that come twice or when
// nothing was asked. None of it crashes the client, reaches the application
// as something it is not, or stops the messages that follow.

#include <cstdio>

#include "e2e/FaultFixture.h"

namespace e2e {
namespace {

class StreamFaultTest : public FaultTest {};

// Information packages code 1 in delivery order: the id each names, or -1.
std::vector<long> NamedIds() {
    std::vector<long> ids;
    for (const auto& e : PackageLog::Get().Entries()) {
        const NetInformation* info = BodyInformation(*e.package);
        if (info == nullptr || info->m_nCode != 1) continue;
        const NetMessage* named = NamedMessage(*e.package);
        ids.push_back(named != nullptr ? static_cast<long>(named->GetId()) : -1);
    }
    return ids;
}

std::vector<unsigned long> MessageIds() {
    std::vector<unsigned long> ids;
    for (const auto& e : PackageLog::Get().Entries()) {
        if (const NetMessage* m = BodyMessage(*e.package)) ids.push_back(m->GetId());
    }
    return ids;
}

// A frame of exactly `length` characters with id 13 and one parameter.
std::string FrameOfLength(std::size_t length, char fill) {
    const std::string head = "<g44>13<p>";
    const std::string tail = "</p></g44>";
    return head + std::string(length - head.size() - tail.size(), fill) + tail;
}

TEST_F(StreamFaultTest, AnswersArrivingOneByteAtATimeAreReassembled) {
    m_proxy->SetSlicing(FaultProxy::kToClient, true, std::chrono::milliseconds(1));
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    for (unsigned long id = 101; id < 106; ++id) {
        NetMessage m = MakeMessage(id, 2, {"sliced"});
        m_client->Send(&m);
    }
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 5));
    EXPECT_EQ(NamedIds(), (std::vector<long>{101, 102, 103, 104, 105}));
    // The log-in answer came whole and decoded, though in single bytes.
    const auto entries = PackageLog::Get().Entries();
    const NetMessage* login = BodyMessage(*entries.front().package);
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(login->GetId(), 1u);
    EXPECT_GE(m_trace.Count("NewPakcage lenght =1"), 20u);
    EXPECT_FALSE(m_trace.Contains("Reconnecting..."));
    EXPECT_TRUE(QueueDrained());
}

TEST_F(StreamFaultTest, GarbageAndAMebibyteWithoutFramesChangeNothing) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    const unsigned int before = Client().TotalReceived();
    // A mebibyte of text with openers and halves of closers but no frame,
    // then binary garbage with zero bytes (which end a received chunk's text).
    std::string garbage;
    const char* pieces[] = {"<g44>7<p>1</p>", "</g4", "4>", "HTTP/1.1 200 OK\r\n",
                            "<p>",            "</p></g4", "plain text "};
    for (std::size_t i = 0; garbage.size() < (1u << 20); ++i) {
        garbage += pieces[i % 7];
        garbage += std::to_string(i);
    }
    garbage.resize(1u << 20);
    for (std::size_t i = 0; i < 65536; ++i) {
        garbage.push_back(static_cast<char>((i * 131 + i / 7) & 0xFF));
    }
    ASSERT_EQ(garbage.find("</g44>"), std::string::npos);
    ASSERT_TRUE(m_proxy->Inject(FaultProxy::kToClient, garbage));
    ASSERT_TRUE(Eventually([&] { return Client().TotalReceived() >= before + garbage.size(); }));

    // The cache was emptied on overflow, again and again, and nothing came of it.
    EXPECT_GT(m_trace.Count("SetToCacheBuf start (CacheBuflenght =0 "), 100u);
    EXPECT_EQ(PackageCount(), 1u);  // the log-in answer
    EXPECT_EQ(Client().InputCount(), 0);

    // The connection is as good as before.
    NetMessage m = MakeMessage(110, 3, {"after the noise"});
    m_client->Send(&m);
    ASSERT_TRUE(WaitDelivered(110, 1));
    EXPECT_EQ(Server()->ConnectionCount(), 1u);
    EXPECT_FALSE(m_trace.Contains("Reconnecting..."));
}

TEST_F(StreamFaultTest, FramesLongerThan2500CharactersAreDroppedAndTheNextOnesKept) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    unsigned int received = Client().TotalReceived();
    auto push = [&](const std::string& text) {
        ASSERT_TRUE(Server()->Push(text));
        received += static_cast<unsigned int>(text.size());
        ASSERT_TRUE(Eventually([&] { return Client().TotalReceived() >= received; }));
    };

    push(FrameOfLength(2500, 'a'));  // the longest frame taken
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_MESSAGE, 13, 1));
    push(FrameOfLength(2501, 'b'));
    ASSERT_TRUE(m_trace.WaitFor("Frame too long (2501 characters), dropped", kWaitMs));
    push(FrameOfLength(4000, 'c'));
    ASSERT_TRUE(m_trace.WaitFor("Frame too long (4000 characters), dropped", kWaitMs));
    // Longer than the cache: it never comes whole, so it is never cut.
    push(FrameOfLength(6000, 'd'));
    push(FrameOfLength(100000, 'e'));
    push("<g44>13<p>after</p></g44>");
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_MESSAGE, 13, 2));

    EXPECT_EQ(MessageIds(), (std::vector<unsigned long>{1, 13, 13}));
    const auto entries = PackageLog::Get().Entries();
    const NetMessage* first = BodyMessage(*entries[1].package);
    const NetMessage* last = BodyMessage(*entries[2].package);
    ASSERT_TRUE(first != nullptr && last != nullptr);
    EXPECT_EQ(ParamText(*first, 0), std::string(2480, 'a'));
    EXPECT_EQ(ParamText(*last, 0), "after");
    EXPECT_EQ(m_trace.Count("Frame too long ("), 2u);
    EXPECT_FALSE(m_trace.Contains("Reconnecting..."));
}

TEST_F(StreamFaultTest, MessagesLongerThan2500CharactersGoOutWhole) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    const std::string big(6000, 'x');
    NetMessage m = MakeMessage(120, 2, {big.c_str(), "tail"});
    m_client->Send(&m);
    ASSERT_TRUE(WaitDelivered(120, 1));
    const auto frames = Server()->FramesWithId(120);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].params, (std::vector<std::string>{big, "tail"}));
    EXPECT_EQ(frames[0].text, "<g44>120<p>" + big + "</p><p>tail</p></g44>");
}

TEST_F(StreamFaultTest, UnexpectedAnswersNeverRemoveAMessageThatWasNotAnswered) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    // Answers with nothing in flight: they reach the application naming no
    // message, and the client does not count them for the next one.
    ASSERT_TRUE(Server()->Push("<g44>7<p>1</p></g44><g44>7<p>0</p></g44>"
                               "<g44>12<p>Keep-Alive</p></g44><g44>1<p>1</p><p>late</p></g44>"));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 7, 1));
    EXPECT_EQ(NamedIds(), (std::vector<long>{-1}));
    auto entries = PackageLog::Get().Entries();
    const NetError* error = BodyError(*entries.back().package);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->m_pMessage, nullptr);

    Server()->SetResultForId(130, FakeServer::kNoAnswer);
    NetMessage m = MakeMessage(130, 2, {"wait for me"});
    m_client->Send(&m);
    ASSERT_TRUE(Server()->WaitForFramesWithId(130, 1, kWait));
    LetClientTimePass(20000);
    EXPECT_EQ(Client().OutputCount(), 1);  // still waiting for its own answer
    EXPECT_EQ(DeliveredCount(130), 0u);

    // Its answer comes: now it is delivered, once, and removed.
    ASSERT_TRUE(Server()->Push("<g44>7<p>1</p></g44>"));
    ASSERT_TRUE(WaitDelivered(130, 1));
    ASSERT_TRUE(Eventually([&] { return Client().OutputCount() == 0; }));
    EXPECT_EQ(Server()->FramesWithId(130).size(), 1u);
    // The late log-in answer was taken as one (connected) but not delivered.
    EXPECT_EQ(PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_MESSAGE, 1), 1u);
    EXPECT_EQ(Client().State(), CNetClient::CONN_CONNECTED);
}

// Answers carry no message id, so a copy of an answer that arrives once the
// next message is on its way counts as that message's answer: the client
// cannot tell. What holds all the same: every message goes to the server
// once, in order (it is removed only after it was written), every answer
// reaches the application, and the results name messages in order.
TEST_F(StreamFaultTest, DuplicatedAnswersStillSendEveryMessageOnceInOrder) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    m_proxy->SetDuplicate(FaultProxy::kToClient, true);
    for (unsigned long id = 140; id < 150; ++id) {
        NetMessage m = MakeMessage(id, 3, {"twice answered"});
        m_client->Send(&m);
    }
    // Every answer arrives twice: twenty results for ten messages.
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 20));
    EXPECT_TRUE(QueueDrained());

    std::vector<long> sent;
    for (const auto& f : Server()->Frames()) {
        if (f.id >= 140) sent.push_back(f.id);
    }
    EXPECT_EQ(sent, (std::vector<long>{140, 141, 142, 143, 144, 145, 146, 147, 148, 149}));
    long last = 0;
    for (long id : NamedIds()) {
        if (id < 0) continue;
        EXPECT_GE(id, last);
        last = id;
    }
    EXPECT_EQ(NamedIds().size(), 20u);
    EXPECT_EQ(Server()->ConnectionCount(), 1u);
    EXPECT_FALSE(m_trace.Contains("Reconnecting..."));
}

}  // namespace
}  // namespace e2e
