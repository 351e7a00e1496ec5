// The parameter list, the message, the notification classes and the message
// queue: buffers and attachments are owned, copied deep and destroyed once.

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <transport/NetPackage.h>

#include "message/MessageQueue.h"

namespace {

using Ids = std::vector<unsigned long>;
using Texts = std::vector<std::string>;

// The parameters, checking on the way that the links agree both ways and with the count.
Texts Contents(const NetParamList& list) {
    Texts out;
    NetParam* last = nullptr;
    for (NetParam* node = list.GetHead(); node != nullptr; last = node, node = list.GetNext(node)) {
        EXPECT_EQ(list.GetPrev(node), last);
        out.emplace_back(reinterpret_cast<const char*>(node->m_pData), node->m_nLength);
    }
    EXPECT_EQ(list.GetTail(), last);
    EXPECT_EQ(list.GetCount(), out.size());
    return out;
}

NetParamList ListOf(const Texts& texts) {
    NetParamList list;
    for (const auto& text : texts) list.AddTail(text.data(), text.size());
    return list;
}

TEST(ParamList, IndexesAndLinksAtEveryPosition) {
    NetParamList list = ListOf({"a", "b", "c"});
    for (const auto& [index, text] : {std::pair{INT_MIN, "a"}, {0, "a"}, {2, "c"}, {3, ""}}) {
        void* data = &list;
        unsigned long length = 99;
        EXPECT_EQ(list.GetAt(index, &data, &length), *text != '\0') << index;
        EXPECT_EQ(std::string(static_cast<char*>(data), length), text);  // none: null, 0
    }
    EXPECT_FALSE(list.SetAt(INT_MAX, "z", 1));
    EXPECT_TRUE(list.SetAt(INT_MIN, "z", 1));
    NetParamList other = ListOf({"o"});
    list.InsertBefore(list.GetHead(), "<", 1);
    list.InsertBefore(list.GetTail(), "-", 1);
    EXPECT_EQ(list.InsertBefore(other.GetHead(), "x", 1), nullptr);  // not this list's
    EXPECT_EQ(list.InsertBefore(nullptr, "x", 1), nullptr);
    EXPECT_EQ(Contents(list), (Texts{"<", "z", "b", "-", "c"}));
    list.RemoveAt(other.GetHead());
    list.RemoveAt(list.GetTail());
    list.RemoveAt(list.GetNodeAt(1));
    list.RemoveAt(list.GetHead());
    EXPECT_EQ(Contents(list), (Texts{"b", "-"}));
    EXPECT_EQ(Contents(other), (Texts{"o"}));
}

TEST(ParamList, BuffersAreCopiedAndCopiesAreDeep) {
    NetParamList list = ListOf({"hello world"});
    list.AddTail(nullptr, 2);
    ASSERT_TRUE(list.SetAt(0, list.GetHead()->m_pData + 6, 5));  // from the buffer it replaces
    NetParam* tail = list.AddList(list);                         // each original node once
    EXPECT_EQ(tail, list.GetTail());
    const Texts expected{"world", std::string(2, '\0'), "world", std::string(2, '\0')};
    NetParamList copy(list);
    NetParamList assigned = ListOf({"old"});
    assigned = list;
    assigned = static_cast<NetParamList&>(assigned);
    list.SetAt(0, "z", 1);
    list.RemoveAll();
    EXPECT_EQ(Contents(copy), expected);
    EXPECT_EQ(Contents(assigned), expected);
    EXPECT_EQ(Contents(list), Texts{});
}

// A message, also used as an attachment, that logs its destructions by id;
// each test ends with as many destroyed as were made.
struct Tracked : NetMessage {
    static std::size_t made;
    static Ids destroyed;
    Tracked(unsigned long id, int priority) {
        SetId(id);
        SetPriority(priority);
        ++made;
    }
    Tracked(const Tracked& other) : NetMessage(other) { ++made; }
    ~Tracked() override { destroyed.push_back(GetId()); }
    NetObject* Clone() const override { return new Tracked(*this); }
};
std::size_t Tracked::made = 0;
Ids Tracked::destroyed;
unsigned long Id(const NetObject* object) { return static_cast<const Tracked*>(object)->GetId(); }

struct Owned : ::testing::Test {
    Owned() { Tracked::destroyed.clear(); }
    void TearDown() override { EXPECT_EQ(Tracked::destroyed.size(), Tracked::made - before); }
    const std::size_t before = Tracked::made;
    static NetMessage* Msg(unsigned long id, int priority = 2) { return new Tracked(id, priority); }
};

TEST_F(Owned, MessageCopiesAreDeep) {
    NetMessage message;
    message.SetId(305);
    message.SetPriority(4);
    message.GetParams().AddTail("abc", 4);
    message.SetAttachment(Msg(7));
    message.SetAttachment(message.GetAttachment());  // the same object: kept
    std::unique_ptr<NetMessage> clone(static_cast<NetMessage*>(message.Clone()));
    NetMessage assigned;
    assigned.SetAttachment(Msg(1));
    assigned = message;
    message.GetParams().SetAt(0, "zz", 3);
    message.SetAttachment(Msg(8));
    for (const NetMessage* copy : {clone.get(), &assigned}) {
        EXPECT_EQ(std::make_pair(copy->GetId(), copy->GetPriority()), std::make_pair(305ul, 4));
        EXPECT_EQ(Contents(copy->GetParams()), (Texts{std::string("abc", 4)}));
        EXPECT_EQ(Id(copy->GetAttachment()), 7u);
    }
}

TEST_F(Owned, PackagesOwnTheirBodies) {
    NetPackage package;
    package.SetBody(Tracked(1, 2));
    package.SetBody(*package.m_pBody);  // its own body handed back: cloned before it goes
    NetPackage assigned(NetPackage::KIND_INFORMATION, Msg(9));
    assigned = package;
    EXPECT_EQ(assigned.m_nKind, NetPackage::KIND_MESSAGE);
    EXPECT_EQ(Id(assigned.m_pBody), 1u);

    auto* error = new NetError;
    error->SetAttachment(Tracked(3, 2));
    error->SetAttachment(*error->m_pMessage);
    auto* original = new NetPackage(NetPackage::KIND_ERROR, error);
    std::unique_ptr<NetPackage> clone(static_cast<NetPackage*>(original->Clone()));
    delete original;
    EXPECT_EQ(clone->m_nKind, NetPackage::KIND_ERROR);
    EXPECT_EQ(Id(static_cast<NetError*>(clone->m_pBody)->m_pMessage), 3u);
    NetInformation information;
    information.SetAttachment(Tracked(4, 2));
    std::unique_ptr<NetInformation> copy(static_cast<NetInformation*>(information.Clone()));
    EXPECT_EQ(Id(copy->m_pMessage), 4u);
}

TEST_F(Owned, QueueServesByPriorityFifoWithinAndOnlyOneToFour) {
    CMessageQueue queue;
    queue.PushBack(Msg(13));  // the array beside the lists
    const std::pair<unsigned long, int> pushes[] = {{1, 3}, {2, 2},  {3, 2},  {4, 4},
                                                    {5, 1}, {10, 0}, {11, 5}, {12, -3}};
    for (const auto& [id, priority] : pushes) {
        EXPECT_EQ(queue.PushByPriority(Msg(id, priority)), id < 10) << id;
    }
    EXPECT_FALSE(queue.PushByPriority(nullptr));
    EXPECT_EQ(queue.GetItemCount(), 6);
    queue.PopByPriority(0);
    for (int k = 0; k < 2; ++k) queue.PopByPriority(queue.PeekByPriority()->GetPriority());
    std::vector<NetMessage*> unlinked;
    {
        std::lock_guard<std::mutex> lock(queue.Mutex());  // the variants for a caller that holds it
        for (int priority : {5, -1}) EXPECT_EQ(queue.UnlinkFrontLocked(priority), nullptr);
        for (int priority : {0, 5}) EXPECT_EQ(queue.PeekFrontLocked(priority), nullptr);
        EXPECT_EQ(queue.PeekFrontLocked(2)->GetId(), 3u);
        unlinked.push_back(queue.UnlinkFrontLocked(2));
        for (NetMessage* m : queue.UnlinkAllLocked()) unlinked.push_back(m);
        EXPECT_EQ(Tracked::destroyed, (Ids{10, 11, 12, 5, 2}));  // nothing under the lock
    }
    for (NetMessage* m : unlinked) delete m;
    EXPECT_EQ(Tracked::destroyed, (Ids{10, 11, 12, 5, 2, 3, 4, 1}));
    EXPECT_EQ(queue.GetItemCount(), 1);
}

TEST_F(Owned, QueueArrayOrderBadIndexesAndClearing) {
    CMessageQueue queue;
    for (unsigned long id : {1, 2, 3, 4}) queue.PushBack(Msg(id));
    queue.PushBack(nullptr);
    queue.EraseAt(3);  // the last: its old slot must not be read again
    for (int index : {-1, 3}) {
        EXPECT_EQ(queue.ItemAt(index), nullptr);
        queue.EraseAt(index);
    }
    queue.EraseAt(1);
    EXPECT_EQ(queue.ItemAt(1)->GetId(), 3u);
    queue.PopFirst();
    EXPECT_EQ(queue.PeekFirst()->GetId(), 3u);
    for (const auto& [id, priority] : {std::pair{5ul, 4}, {6ul, 1}, {7ul, 4}}) {
        queue.PushByPriority(Msg(id, priority));
    }
    queue.ClearPriorityLists();  // from list 4 to list 1; the array stays
    EXPECT_EQ(queue.GetItemCount(), 1);
    queue.ClearItems();
    {
        CMessageQueue left;  // its destructor destroys what the owner left
        left.PushByPriority(Msg(8, 3));
        left.PushBack(Msg(9));
    }
    EXPECT_EQ(Tracked::destroyed, (Ids{4, 2, 1, 5, 7, 6, 3, 8, 9}));
    EXPECT_EQ(queue.GetItemCount(), 0);
}

}  // namespace
