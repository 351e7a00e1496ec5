// Application messages from end to end: priority order, one request at a
// time, each held until its answer, the delivery results at the handler, and
// messages the server sends on its own.

#include "e2e/E2eFixture.h"

namespace e2e {
namespace {

class MessagingTest : public E2eTest {};

std::vector<long> Ids(const std::vector<FakeServer::Frame>& frames) {
    std::vector<long> ids;
    for (const auto& f : frames) ids.push_back(f.id);
    return ids;
}

TEST_F(MessagingTest, SentByPriorityOneAtATimeEachHeldUntilAnswered) {
    m_server.SetDefaultResult(FakeServer::kNoAnswer);
    E2eClient& client = OpenClient();
    // Queued before the log-in, so the whole set competes by priority.
    const std::vector<NetMessage> messages = {
        MakeMessage(50, 3, {"a"}), MakeMessage(51, 1, {"b"}), MakeMessage(52, 2, {"c"}),
        MakeMessage(53, 1, {"d"}), MakeMessage(54, 4, {"e"})};
    for (const NetMessage& m : messages) client.Send(&m);
    ASSERT_TRUE(client.Login("user", "secret", nullptr, 7, "five", "six"));

    const std::vector<long> order = {51, 53, 52, 50, 54};  // by priority, FIFO within one
    for (std::size_t k = 0; k < order.size(); ++k) {
        ASSERT_TRUE(m_server.WaitForFramesWithId(order[k], 1, kWait)) << "message " << order[k];
        // Nothing else goes out while the message waits for its answer...
        LetClientTimePass(5000);
        EXPECT_EQ(FramesOn(0).size(), k + 2) << "after message " << order[k];
        // ...and it stays queued until then.
        EXPECT_EQ(client.OutputCount(), static_cast<int>(order.size() - k));
        ASSERT_TRUE(m_server.Push("<g44>7<p>1</p></g44>"));
        ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, k + 1));
    }
    std::vector<long> expected = {1};
    expected.insert(expected.end(), order.begin(), order.end());
    EXPECT_EQ(Ids(FramesOn(0)), expected);

    // Each information package names its own message, in order.
    std::vector<long> named;
    for (const auto& e : PackageLog::Get().Entries()) {
        if (const NetMessage* m = NamedMessage(*e.package)) named.push_back(static_cast<long>(m->GetId()));
    }
    EXPECT_EQ(named, order);

    // Answered messages are gone: after a reconnection only the log-in and
    // a new message travel.
    NetMessage marker = MakeMessage(55, 4, {"marker"});
    client.Send(&marker);
    ASSERT_TRUE(m_server.WaitForFramesWithId(55, 1, kWait));
    m_server.SetDefaultResult(1);
    m_server.DropAll();  // the marker, unanswered, goes again
    ASSERT_TRUE(m_server.WaitForFramesWithId(55, 2, kWait));
    EXPECT_EQ(Ids(FramesOn(1)), (std::vector<long>{1, 55}));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, order.size() + 1));
}

TEST_F(MessagingTest, DeliveryResultsNameTheMessageInFlight) {
    m_server.QueueResults({1, 0});
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    const NetMessage first = MakeMessage(60, 2, {"alpha", "beta"});
    const NetMessage second = MakeMessage(61, 2, {"gamma"});
    m_client->Send(&first);
    m_client->Send(&second);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 7, 1));

    auto entries = PackageLog::Get().Entries();
    ASSERT_EQ(entries.size(), 3u);  // log-in answer, information, error
    const NetInformation* info = BodyInformation(*entries[1].package);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->m_nCode, 1u);
    EXPECT_EQ(info->m_nValue1, 0);
    EXPECT_EQ(info->m_nValue2, 0);
    const NetMessage* delivered = NamedMessage(*entries[1].package);
    ASSERT_NE(delivered, nullptr);
    EXPECT_EQ(delivered->GetId(), 60u);
    EXPECT_EQ(ParamTexts(*delivered), (std::vector<std::string>{"alpha", "beta"}));

    const NetError* error = BodyError(*entries[2].package);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->m_nCode, 7u);
    const NetMessage* refused = NamedMessage(*entries[2].package);
    ASSERT_NE(refused, nullptr);
    EXPECT_EQ(refused->GetId(), 61u);
    EXPECT_EQ(ParamTexts(*refused), (std::vector<std::string>{"gamma"}));
    EXPECT_EQ(entries[2].stateAtCall, CNetClient::CONN_CONNECTED);

    // A refused message is answered all the same: it is not sent again.
    const NetMessage third = MakeMessage(62, 2, {"delta"});
    m_client->Send(&third);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 2));
    EXPECT_EQ(Ids(FramesWithoutKeepAlives()), (std::vector<long>{1, 60, 61, 62}));
    EXPECT_EQ(m_server.FramesWithId(60).front().text, "<g44>60<p>alpha</p><p>beta</p></g44>");
}

TEST_F(MessagingTest, CallersMessageIsCopiedAtSend) {
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    m_server.SetDefaultResult(FakeServer::kNoAnswer);
    auto message = std::make_unique<NetMessage>(MakeMessage(70, 2, {"original"}));
    EXPECT_EQ(m_client->Send(message.get()), 1u);
    message->GetParams().SetAt(0, "changed", 8);
    message.reset();
    NetMessage second = MakeMessage(71, 2, {"next"});
    EXPECT_EQ(m_client->Send(&second), 2u);

    ASSERT_TRUE(m_server.WaitForFramesWithId(70, 1, kWait));
    EXPECT_EQ(m_server.FramesWithId(70).front().params, (std::vector<std::string>{"original"}));
}

TEST_F(MessagingTest, ServerMessagesReachHandlerInArrivalOrder) {
    StartClient();
    ASSERT_TRUE(WaitLoggedIn());
    // Two whole frames and half of a third, then the rest of it.
    ASSERT_TRUE(m_server.Push("<g44>20<p>hello</p><p>world</p></g44><g44>21<p>a</p></g44><g44>22<p>b"));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_MESSAGE, 21, 1));
    ASSERT_TRUE(m_server.Push("</p></g44>"));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_MESSAGE, 22, 1));

    std::vector<unsigned long> ids;
    const NetMessage* hello = nullptr;
    auto entries = PackageLog::Get().Entries();
    for (const auto& e : entries) {
        const NetMessage* m = BodyMessage(*e.package);
        ASSERT_NE(m, nullptr);
        ids.push_back(m->GetId());
        if (m->GetId() == 20) hello = m;
    }
    EXPECT_EQ(ids, (std::vector<unsigned long>{1, 20, 21, 22}));
    ASSERT_NE(hello, nullptr);
    EXPECT_EQ(ParamTexts(*hello), (std::vector<std::string>{"hello", "world"}));
}

}  // namespace
}  // namespace e2e
