// A client destroyed with messages still queued destroys each of them once;
// its copies share everything and release nothing.

#include <gtest/gtest.h>

#include <transport/NetClient.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

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

NetMessage Queued() {
    NetMessage message;
    message.SetId(5);
    message.GetParams().AddTail("queued", 7);
    message.SetAttachment(new CountedAttachment);
    return message;
}

TEST(ClientLifetime, QueuedMessagesGoExactlyOnceAndCopiesReleaseNothing) {
    {
        CNetClient client;
        for (int priority = 1; priority <= 4; ++priority) {
            NetMessage message = Queued();  // Send queues a copy; this one stays ours
            message.SetPriority(priority);
            EXPECT_EQ(client.Send(&message), static_cast<unsigned>(priority));
        }
        // Only the copies in the client's queues are left.
        ASSERT_EQ(CountedAttachment::created - CountedAttachment::destroyed, 4);
    }
    EXPECT_EQ(CountedAttachment::destroyed, CountedAttachment::created);

    // Copies share the queue and release nothing.
    const int before = CountedAttachment::destroyed;
    CNetClient client;
    const NetMessage message = Queued();
    client.Send(&message);
    {
        CNetClient copy(client);
        CNetClient assigned;
        assigned.Send(&message);
        assigned = copy;  // gives up its own queue first
        EXPECT_EQ(CountedAttachment::destroyed, before + 1);
        EXPECT_EQ(assigned.Send(&message), 2u);
        EXPECT_EQ(copy.GetQueuedCount(), 2);
    }
    EXPECT_EQ(CountedAttachment::destroyed, before + 1);
    client.Send(&message);
    EXPECT_EQ(client.GetQueuedCount(), 3);
    NetClientParams params{};
    std::strcpy(params.szHost1, "127.0.0.1");
#ifdef __unix__
    const auto descriptors = [] {
        const std::filesystem::directory_iterator all("/proc/self/fd");
        return std::distance(begin(all), end(all));
    };
#else
    const auto descriptors = [] { return 0; };  // counted where /proc lists them
#endif
    const auto open = descriptors();
    EXPECT_TRUE(client.Open(params));  // its events were not closed by a copy
    client.Login("u", "p", "", 0, "", "");  // the worker threads poll a socket
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(client.Close(true));
    EXPECT_EQ(descriptors(), open) << "a thread or socket left a descriptor behind";
    EXPECT_EQ(client.GetQueuedCount(), 0);
    EXPECT_EQ(CountedAttachment::destroyed, before + 4);
}

}  // namespace
