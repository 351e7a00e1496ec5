// A client destroyed with messages still queued destroys each of them once.

#include <gtest/gtest.h>

#include <transport/NetClient.h>

namespace {

struct CountedAttachment : NetObject {
    static int created;
    static int destroyed;
    CountedAttachment() { ++created; }
    CountedAttachment(const CountedAttachment& other) : NetObject(other) { ++created; }
    ~CountedAttachment() override { ++destroyed; }
    NetObject* Clone() const override { return new CountedAttachment(*this); }
};
int CountedAttachment::created = 0;
int CountedAttachment::destroyed = 0;

TEST(ClientLifetime, QueuedMessagesGoWithTheClientExactlyOnce) {
    {
        CNetClient client;
        for (int priority = 1; priority <= 4; ++priority) {
            NetMessage message;  // Send queues a copy; this one stays ours
            message.SetId(5);
            message.SetPriority(priority);
            message.GetParams().AddTail("queued", 7);
            message.SetAttachment(new CountedAttachment);
            EXPECT_EQ(client.Send(&message), static_cast<unsigned>(priority));
        }
        // Only the copies in the client's queues are left.
        ASSERT_EQ(CountedAttachment::created - CountedAttachment::destroyed, 4);
    }
    EXPECT_EQ(CountedAttachment::destroyed, CountedAttachment::created);
}

}  // namespace
