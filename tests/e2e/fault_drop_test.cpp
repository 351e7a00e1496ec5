// Connections that keep dropping: every few messages, and in the middle of
// the very first log-in. Every message still reaches the server and is
// answered, in its priority's order, with at most one copy more per drop.

#include <map>

#include "e2e/FaultFixture.h"

namespace e2e {
namespace {

class DropTest : public FaultTest {};

// The ids named by the delivery results, in delivery order.
std::vector<long> NamedIds() {
    std::vector<long> ids;
    for (const auto& e : PackageLog::Get().Entries()) {
        const NetInformation* info = BodyInformation(*e.package);
        const NetMessage* named = NamedMessage(*e.package);
        if (info != nullptr && info->m_nCode == 1 && named != nullptr) {
            ids.push_back(static_cast<long>(named->GetId()));
        }
    }
    return ids;
}

TEST_F(DropTest, ALineThatDropsEveryFewMessagesLosesNothing) {
    StartFaultClient();
    ASSERT_TRUE(WaitLoggedIn());
    // Each connection is cut right after it carried its fourth frame to the
    // server (the log-in and three messages): the third one's answer is lost.
    m_proxy->DropEveryFrames(FaultProxy::kToServer, 4);
    m_proxy->DropAll();
    constexpr int kMessages = 24;
    std::map<int, std::vector<long>> sentByPriority;
    for (int i = 0; i < kMessages; ++i) {
        const int priority = 1 + (i * 7) % 4;
        const long id = 500 + i;
        NetMessage m = MakeMessage(static_cast<unsigned long>(id), priority,
                                   {std::string(static_cast<std::size_t>(10 + i * 40), 'm').c_str()});
        m_client->Send(&m);
        sentByPriority[priority].push_back(id);
    }
    ASSERT_TRUE(Eventually([&] { return Client().OutputCount() == 0; }));

    const std::size_t drops = m_proxy->Cut();
    EXPECT_GE(drops, kMessages / 3u);
    // Per priority, the server saw the messages in the order they were sent;
    // a message seen again comes right after its first copy.
    std::map<int, std::vector<long>> seen;
    std::map<long, int> priorityOf;
    for (const auto& [priority, ids] : sentByPriority) {
        for (long id : ids) priorityOf[id] = priority;
    }
    std::size_t copies = 0;
    std::map<long, int> times;
    for (const auto& f : Server()->Frames()) {
        if (f.id < 500) continue;
        ++copies;
        ++times[f.id];
        std::vector<long>& list = seen[priorityOf[f.id]];
        if (list.empty() || list.back() != f.id) list.push_back(f.id);
    }
    EXPECT_EQ(seen, sentByPriority);
    EXPECT_LE(copies - kMessages, drops);
    for (const auto& [id, n] : times) EXPECT_LE(n, 2) << id;
    // Every message answered once at the application.
    std::map<long, int> answered;
    for (long id : NamedIds()) ++answered[id];
    EXPECT_EQ(answered.size(), static_cast<std::size_t>(kMessages));
    for (const auto& [id, n] : answered) EXPECT_EQ(n, 1) << id;
    // Each new connection began with the log-in.
    std::map<std::size_t, long> firstOn;
    for (const auto& f : Server()->Frames()) firstOn.emplace(f.connection, f.id);
    for (const auto& [connection, id] : firstOn) EXPECT_EQ(id, 1) << connection;
}

TEST_F(DropTest, ADropInTheFirstLogInSendsTheClientOnToAWayThatWorks) {
    // Nothing has worked yet, so the client walks on: the tunnel (whose port
    // refuses) and then HTTP, through which it logs in and delivers.
    m_proxy->DropAfterBytes(FaultProxy::kToServer, 12);
    StartFaultClient();
    NetMessage m = MakeMessage(520, 2, {"via http"});
    m_client->Send(&m);
    ASSERT_TRUE(WaitLoggedIn());
    ASSERT_TRUE(WaitDelivered(520, 1));

    EXPECT_EQ(m_proxy->Cut(), 1u);
    const std::string cut = Server()->Received(0);
    EXPECT_EQ(cut, LoginFrame("user", "secret").substr(0, 12));
    const auto frames = Server()->FramesWithId(520);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].viaHttp);
    EXPECT_TRUE(m_trace.Contains("conntype=1"));
    EXPECT_TRUE(m_trace.Contains("conntype=2"));
    EXPECT_EQ(DeliveredCount(520), 1u);
}

}  // namespace
}  // namespace e2e
