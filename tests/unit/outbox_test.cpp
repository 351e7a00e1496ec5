// The outbox: what goes on the wire next, and what an answer removes.

#include <gtest/gtest.h>

#include <transport/NetClient.h>

#include <atomic>
#include <cstring>
#include <string>

#include "client/Outbox.h"

namespace {

NetMessage* Message(unsigned long id, int priority, const char* text = "t",
                    NetObject* attachment = nullptr) {
    auto* m = new NetMessage;
    if (attachment != nullptr) m->SetAttachment(attachment);
    m->SetId(id);
    m->SetPriority(priority);
    m->GetParams().AddTail(text, static_cast<unsigned long>(std::strlen(text) + 1));
    return m;
}

// An attachment that notes, as it is destroyed, whether the queue's lock was free.
struct LockProbe : NetObject {
    LockProbe(CMessageQueue& q, int& f) : queue(q), freeAtDeath(f) {}
    ~LockProbe() override {
        if (queue.Mutex().try_lock()) {
            ++freeAtDeath;
            queue.Mutex().unlock();
        }
    }
    NetObject* Clone() const override { return new LockProbe(queue, freeAtDeath); }
    CMessageQueue& queue;
    int& freeAtDeath;
};

class OutboxTest : public ::testing::Test {
protected:
    void SetUp() override { semaphore = platform.CreateSemaphore(0, 65536); }
    void TearDown() override {
        outbox.Clear();
        outbox.SetLogin(nullptr);
        platform.CloseHandle(semaphore);
    }
    // The request for the line, or "-" when there is nothing to send.
    std::string Next(bool loggedIn, int connType = CNetClient::CONNTYPE_DIRECT,
                     bool tunnelOpen = false) {
        std::string request;
        return outbox.Next({loggedIn, connType, tunnelOpen, "h", 800}, &request, &priority, &id)
                   ? request
                   : "-";
    }

    transport::Platform& platform = transport::DefaultPlatform();
    CMessageQueue queue;
    NetMessage* inFlight = nullptr;
    NetMessage* login = nullptr;
    transport::Handle semaphore = nullptr;
    std::atomic<long> previous{0};
    transport::Outbox outbox{queue, inFlight, login, semaphore, previous, platform};
    int priority = -1;
    int id = -1;
};

// Each message leaves outside the queue's lock.
TEST_F(OutboxTest, AnAnswerRemovesOnlyTheFrontWhileLoggedIn) {
    int free = 0;
    outbox.Queue(Message(20, 2, "t", new LockProbe(queue, free)));
    Next(true);
    outbox.Answered(priority, false);  // the line dropped meanwhile
    EXPECT_EQ(queue.GetItemCount(), 1);
    Next(true);
    outbox.Queue(Message(21, 1, "t", new LockProbe(queue, free)));  // a new front of a higher list
    outbox.Answered(priority, true);
    EXPECT_EQ(queue.GetItemCount(), 1);
    Next(true);
    outbox.Queue(Message(22, 1, "t", new LockProbe(queue, free)));
    outbox.Clear();  // Close(true) before the answer
    outbox.Answered(priority, true);
    EXPECT_EQ(queue.GetItemCount(), 0);
    EXPECT_EQ(free, 3);
}

TEST_F(OutboxTest, LogInFirstWrappedForTheWay) {
    outbox.Queue(Message(20, 1));
    EXPECT_EQ(Next(false), "-");  // no log-in stored yet
    outbox.SetLogin(Message(1, 2, "user"));
    const std::string frame = "<g44>1<p>user</p></g44>";
    EXPECT_EQ(Next(false), frame);
    EXPECT_EQ(priority, 0);
    EXPECT_EQ(inFlight, nullptr);
    EXPECT_EQ(Next(false, CNetClient::CONNTYPE_TUNNEL), "CONNECT h:800 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(Next(false, CNetClient::CONNTYPE_TUNNEL, true), frame);
    // The POST's bytes are checked whole by Walk.PostWrapsEveryRequest...
    EXPECT_EQ(Next(true, CNetClient::CONNTYPE_HTTP).substr(0, 5), "POST ");
    EXPECT_EQ(priority, 1);
    Next(true, CNetClient::CONNTYPE_TUNNEL);  // a CONNECT carries no queued message
    EXPECT_EQ(priority, 0);
    EXPECT_EQ(inFlight, nullptr);
}

TEST_F(OutboxTest, PackagesNameTheLogInWhileLoggingIn) {
    outbox.SetLogin(Message(1, 2, "user"));
    NetError error;
    outbox.AttachInFlight(error, false);
    EXPECT_EQ(error.m_pMessage, nullptr);
    outbox.AttachInFlight(error, true);
    ASSERT_NE(error.m_pMessage, nullptr);
    EXPECT_EQ(static_cast<NetMessage*>(error.m_pMessage)->GetId(), 1u);
    outbox.Queue(Message(20, 1));
    Next(true);
    outbox.AttachInFlight(error, true);  // the message in flight comes first
    EXPECT_EQ(static_cast<NetMessage*>(error.m_pMessage)->GetId(), 20u);
}

}  // namespace
