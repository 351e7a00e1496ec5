#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <transport/NetMessage.h>

#include "client/MessageQueue.h"

namespace {

using Ids = std::vector<unsigned long>;

// Records every destruction by id: each message must go exactly once, in order.
// Only the test's own thread removes messages.
struct Tracked : NetMessage {
    static Ids destroyed;
    Tracked(unsigned long id, int priority) {
        SetId(id);
        SetPriority(priority);
    }
    ~Tracked() override { destroyed.push_back(GetId()); }
};
Ids Tracked::destroyed;

struct QueueTest : ::testing::Test {
    void SetUp() override { Tracked::destroyed.clear(); }
    static NetMessage* Msg(unsigned long id, int priority = 2) { return new Tracked(id, priority); }
    CMessageQueue queue;
};

TEST_F(QueueTest, PriorityOrderAcrossListsFifoWithinAndOnlyOneToFour) {
    const std::pair<unsigned long, int> pushes[] = {{1, 3}, {2, 2},  {3, 2},  {4, 4},
                                                    {5, 1}, {10, 0}, {11, 5}, {12, -3}};
    for (const auto& [id, priority] : pushes) {
        EXPECT_EQ(queue.PushByPriority(Msg(id, priority)), id < 10) << id;
    }
    EXPECT_FALSE(queue.PushByPriority(nullptr));
    EXPECT_EQ(Tracked::destroyed, (Ids{10, 11, 12}));
    queue.PopByPriority(0);
    std::lock_guard<std::mutex> lock(queue.Mutex());  // the variants for a caller that holds it
    for (int priority : {5, -1}) queue.PopByPriorityLocked(priority);
    EXPECT_EQ(queue.PeekFrontLocked(2)->GetId(), 2u);
    EXPECT_EQ(queue.PeekFrontLocked(5), nullptr);
    EXPECT_EQ(queue.GetItemCount(), 5);
    while (NetMessage* front = queue.PeekByPriorityLocked()) {
        queue.PopByPriorityLocked(front->GetPriority());
    }
    EXPECT_EQ(Tracked::destroyed, (Ids{10, 11, 12, 5, 2, 3, 1, 4}));
    EXPECT_EQ(queue.GetItemCount(), 0);
}

TEST_F(QueueTest, ArrayOrderBadIndexesAndClearing) {
    for (unsigned long id : {1, 2, 3}) queue.PushBack(Msg(id));
    queue.PushBack(nullptr);
    for (int index : {-1, 3}) {
        EXPECT_EQ(queue.ItemAt(index), nullptr);
        queue.EraseAt(index);
    }
    queue.EraseAt(1);
    EXPECT_EQ(queue.ItemAt(1)->GetId(), 3u);
    queue.PopFirst();
    EXPECT_EQ(queue.PeekFirst()->GetId(), 3u);
    for (const auto& [id, priority] : {std::pair{4ul, 4}, {5ul, 1}, {6ul, 4}}) {
        queue.PushByPriority(Msg(id, priority));
    }
    queue.ClearPriorityLists();  // from list 4 to list 1; the array stays
    EXPECT_EQ(queue.GetItemCount(), 1);
    queue.ClearItems();
    {
        CMessageQueue left;  // its destructor destroys what the owner left
        left.PushByPriority(Msg(7, 3));
        left.PushBack(Msg(8));
    }
    EXPECT_EQ(Tracked::destroyed, (Ids{2, 1, 4, 6, 5, 3, 7, 8}));
    EXPECT_EQ(queue.GetItemCount(), 0);
}

// The application stores while the send thread serves: nothing is lost or
// goes twice, and each priority stays in order.
TEST_F(QueueTest, ConcurrentPushAndPopKeepEachPriorityInOrder) {
    constexpr unsigned long kCount = 4000;
    std::thread producer([this] {
        for (unsigned long id = 0; id < kCount; ++id) queue.PushByPriority(Msg(id, id % 4 + 1));
    });
    while (Tracked::destroyed.size() < kCount) {
        if (NetMessage* front = queue.PeekByPriority()) {
            queue.PopByPriority(front->GetPriority());
        } else {
            std::this_thread::yield();
        }
    }
    producer.join();
    std::vector<long> last(4, -1);
    for (unsigned long id : Tracked::destroyed) {
        ASSERT_GT(static_cast<long>(id), last[id % 4]);
        last[id % 4] = static_cast<long>(id);
    }
    EXPECT_EQ(queue.GetItemCount(), 0);
}

}  // namespace
