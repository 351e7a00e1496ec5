#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <transport/NetMessage.h>

#include "message/MessageQueue.h"

namespace {

// Records every destruction by id, so a test can check that each message went
// exactly once and in which order.
struct Tracked : NetMessage {
    static std::mutex mutex;
    static std::vector<unsigned long> destroyed;

    Tracked(unsigned long id, int priority) {
        SetId(id);
        SetPriority(priority);
    }
    ~Tracked() override {
        std::lock_guard<std::mutex> lock(mutex);
        destroyed.push_back(GetId());
    }
};
std::mutex Tracked::mutex;
std::vector<unsigned long> Tracked::destroyed;

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override { Tracked::destroyed.clear(); }
    void TearDown() override {
        queue.ClearPriorityLists();
        queue.ClearItems();
        std::map<unsigned long, int> times;
        for (unsigned long id : Tracked::destroyed) ++times[id];
        for (const auto& entry : times) EXPECT_EQ(entry.second, 1) << "message " << entry.first;
    }
    static NetMessage* Msg(unsigned long id, int priority = 2) { return new Tracked(id, priority); }
    static std::vector<unsigned long> Destroyed() { return Tracked::destroyed; }

    CMessageQueue queue;
};

using Ids = std::vector<unsigned long>;

TEST_F(QueueTest, LowerNumberFirstAndFifoWithinAPriority) {
    queue.PushByPriority(Msg(1, 3));
    queue.PushByPriority(Msg(2, 2));
    queue.PushByPriority(Msg(3, 2));
    EXPECT_EQ(queue.GetItemCount(), 3);
    EXPECT_EQ(queue.PeekByPriority()->GetId(), 2u);
    queue.PopByPriority(2);
    EXPECT_EQ(queue.PeekByPriority()->GetId(), 3u);
    queue.PopByPriority(2);
    EXPECT_EQ(queue.PeekByPriority()->GetId(), 1u);
    EXPECT_EQ(Destroyed(), (Ids{2, 3}));
    EXPECT_EQ(queue.GetItemCount(), 1);
}

TEST_F(QueueTest, PopOfAnEmptyOrInvalidPriorityChangesNothing) {
    queue.PushByPriority(Msg(1, 3));
    for (int priority : {1, 0, -1, 5}) queue.PopByPriority(priority);
    EXPECT_EQ(queue.GetItemCount(), 1);
    EXPECT_TRUE(Destroyed().empty());
    EXPECT_EQ(queue.PeekByPriority()->GetId(), 1u);
}

TEST_F(QueueTest, PriorityOutsideOneToFourIsDestroyedAndNotCounted) {
    EXPECT_FALSE(queue.PushByPriority(Msg(10, 0)));
    EXPECT_FALSE(queue.PushByPriority(Msg(11, 5)));
    EXPECT_FALSE(queue.PushByPriority(Msg(12, -3)));
    EXPECT_FALSE(queue.PushByPriority(nullptr));
    EXPECT_TRUE(queue.PushByPriority(Msg(13, 4)));
    EXPECT_TRUE(queue.PushByPriority(Msg(14, 1)));
    EXPECT_EQ(queue.GetItemCount(), 2);
    EXPECT_EQ(Destroyed(), (Ids{10, 11, 12}));
}

TEST_F(QueueTest, ClearPriorityListsGoesFromListFourToListOne) {
    queue.PushByPriority(Msg(1, 1));
    queue.PushByPriority(Msg(4, 4));
    queue.PushByPriority(Msg(2, 2));
    queue.PushByPriority(Msg(5, 4));
    queue.PushByPriority(Msg(3, 3));
    queue.PushBack(Msg(9));
    queue.ClearPriorityLists();
    EXPECT_EQ(Destroyed(), (Ids{4, 5, 3, 2, 1}));
    EXPECT_EQ(queue.GetItemCount(), 1);  // the array keeps its message
    EXPECT_EQ(queue.PeekByPriority(), nullptr);
}

TEST_F(QueueTest, ArrayKeepsArrivalOrderThroughErasures) {
    EXPECT_EQ(queue.PeekFirst(), nullptr);
    queue.PushBack(Msg(1));
    queue.PushBack(Msg(2));
    queue.PushBack(Msg(3));
    queue.PushBack(nullptr);
    EXPECT_EQ(queue.GetItemCount(), 3);
    EXPECT_EQ(queue.ItemAt(-1), nullptr);
    EXPECT_EQ(queue.ItemAt(3), nullptr);
    queue.EraseAt(3);
    queue.EraseAt(-1);
    EXPECT_EQ(queue.GetItemCount(), 3);

    queue.EraseAt(1);
    EXPECT_EQ(queue.ItemAt(0)->GetId(), 1u);
    EXPECT_EQ(queue.ItemAt(1)->GetId(), 3u);
    queue.PopFirst();
    EXPECT_EQ(queue.PeekFirst()->GetId(), 3u);
    queue.PushBack(Msg(4));
    queue.ClearItems();
    queue.PopFirst();
    EXPECT_EQ(Destroyed(), (Ids{2, 1, 3, 4}));
    EXPECT_EQ(queue.GetItemCount(), 0);
}

TEST_F(QueueTest, LockedVariantsWorkUnderTheQueuesOwnLock) {
    queue.PushByPriority(Msg(1, 2));
    queue.PushByPriority(Msg(2, 1));
    queue.Lock();
    bool otherGotLock = true;
    std::thread([&] {
        otherGotLock = queue.Mutex().try_lock();
        if (otherGotLock) queue.Mutex().unlock();
    }).join();
    EXPECT_FALSE(otherGotLock);
    EXPECT_EQ(queue.PeekByPriorityLocked()->GetId(), 2u);
    queue.PopByPriorityLocked(1);
    EXPECT_EQ(queue.PeekByPriorityLocked()->GetId(), 1u);
    queue.ClearPriorityListsLocked();
    EXPECT_EQ(queue.PeekByPriorityLocked(), nullptr);
    queue.Unlock();
    EXPECT_EQ(queue.GetItemCount(), 0);
    EXPECT_EQ(Destroyed(), (Ids{2, 1}));
}

TEST(QueueLifetime, DestructorDestroysWhatTheOwnerLeft) {
    Tracked::destroyed.clear();
    {
        CMessageQueue queue;
        queue.PushByPriority(new Tracked(1, 3));
        queue.PushBack(new Tracked(2, 2));
    }
    EXPECT_EQ(Tracked::destroyed, (Ids{1, 2}));
}

// One thread stores while another removes, as the application and the send
// thread do: nothing is lost, nothing goes twice, each priority stays FIFO.
TEST_F(QueueTest, ConcurrentPushAndPopByPriority) {
    constexpr unsigned long kCount = 4000;
    std::atomic<bool> countWentNegative{false};
    std::thread producer([&] {
        for (unsigned long id = 0; id < kCount; ++id) {
            queue.PushByPriority(Msg(id, static_cast<int>(id % 4) + 1));
            if (queue.GetItemCount() < 0) countWentNegative = true;
        }
    });
    std::vector<std::vector<unsigned long>> removed(4);
    unsigned long total = 0;
    while (total < kCount) {
        NetMessage* front = queue.PeekByPriority();
        if (front == nullptr) {
            std::this_thread::yield();
            continue;
        }
        const int priority = front->GetPriority();
        removed[priority - 1].push_back(front->GetId());
        queue.PopByPriority(priority);
        ++total;
    }
    producer.join();
    EXPECT_FALSE(countWentNegative);
    EXPECT_EQ(queue.GetItemCount(), 0);
    EXPECT_EQ(queue.PeekByPriority(), nullptr);
    EXPECT_EQ(Destroyed().size(), kCount);
    for (int k = 0; k < 4; ++k) {
        ASSERT_EQ(removed[k].size(), kCount / 4);
        for (size_t i = 0; i < removed[k].size(); ++i) EXPECT_EQ(removed[k][i], i * 4 + k);
    }
}

TEST_F(QueueTest, ConcurrentPushBackAndPopFirstKeepOrder) {
    constexpr unsigned long kCount = 4000;
    std::thread producer([&] {
        for (unsigned long id = 0; id < kCount; ++id) queue.PushBack(Msg(id));
    });
    Ids seen;
    while (seen.size() < kCount) {
        NetMessage* first = queue.PeekFirst();
        if (first == nullptr) {
            std::this_thread::yield();
            continue;
        }
        seen.push_back(first->GetId());
        queue.PopFirst();
    }
    producer.join();
    EXPECT_EQ(queue.GetItemCount(), 0);
    for (unsigned long i = 0; i < kCount; ++i) ASSERT_EQ(seen[i], i);
    EXPECT_EQ(Destroyed(), seen);
}

}  // namespace
