#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <transport/NetMessage.h>

namespace {

// The stored parameters as strings of exactly their lengths, checking on the
// way that the chain is consistent in both directions and with the count.
std::vector<std::string> Contents(const NetParamList& list) {
    std::vector<std::string> forward;
    NetParam* last = nullptr;
    for (NetParam* node = list.GetHead(); node != nullptr; node = list.GetNext(node)) {
        EXPECT_EQ(list.GetPrev(node), last);
        void* data = nullptr;
        unsigned long length = 0;
        list.GetData(node, &data, &length);
        forward.emplace_back(static_cast<const char*>(data), length);
        last = node;
    }
    EXPECT_EQ(list.GetTail(), last);
    EXPECT_EQ(list.GetCount(), forward.size());
    size_t backward = 0;
    for (NetParam* node = list.GetTail(); node != nullptr; node = list.GetPrev(node)) ++backward;
    EXPECT_EQ(backward, forward.size());
    return forward;
}

void Add(NetParamList& list, const std::string& text) { list.AddTail(text.data(), text.size()); }

NetParamList ListOf(const std::vector<std::string>& texts) {
    NetParamList list;
    for (const auto& text : texts) Add(list, text);
    return list;
}

using Texts = std::vector<std::string>;

TEST(ParamListIndex, EmptyListHasNoNodeAtAnyIndex) {
    NetParamList list;
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_EQ(list.GetNodeAt(0), nullptr);
    EXPECT_EQ(list.GetNodeAt(-1), nullptr);
    void* data = &list;
    unsigned long length = 99;
    EXPECT_FALSE(list.GetAt(0, &data, &length));
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_FALSE(list.SetAt(0, "x", 1));
    EXPECT_EQ(list.GetCount(), 0u);
    EXPECT_EQ(list.GetNext(nullptr), nullptr);
    EXPECT_EQ(list.GetPrev(nullptr), nullptr);
}

TEST(ParamListIndex, BoundariesOfGetNodeAtGetAtAndSetAt) {
    NetParamList list = ListOf({"a", "b", "c"});
    EXPECT_EQ(list.GetNodeAt(-3), list.GetHead());
    EXPECT_EQ(list.GetNodeAt(0), list.GetHead());
    EXPECT_EQ(list.GetNodeAt(2), list.GetTail());
    EXPECT_EQ(list.GetNodeAt(3), nullptr);
    EXPECT_EQ(list.GetNodeAt(INT_MAX), nullptr);

    void* data = nullptr;
    unsigned long length = 0;
    ASSERT_TRUE(list.GetAt(1, &data, &length));
    EXPECT_EQ(std::string(static_cast<char*>(data), length), "b");
    EXPECT_FALSE(list.GetAt(3, &data, &length));
    EXPECT_EQ(data, nullptr);

    EXPECT_FALSE(list.SetAt(3, "zz", 2));
    EXPECT_TRUE(list.SetAt(-5, "head", 4));
    EXPECT_EQ(Contents(list), (Texts{"head", "b", "c"}));
}

TEST(ParamListBuffers, AreCopiedInAndHandedOutInPlace) {
    char source[] = "abc";
    NetParamList list;
    NetParam* node = list.AddTail(source, sizeof source);
    source[0] = 'X';
    void* data = nullptr;
    unsigned long length = 0;
    list.GetData(node, &data, &length);
    EXPECT_EQ(length, 4u);
    EXPECT_STREQ(static_cast<char*>(data), "abc");
    // The handed-out pointer is the node's own buffer: changes stick.
    static_cast<char*>(data)[0] = 'z';
    list.GetAt(0, &data, &length);
    EXPECT_STREQ(static_cast<char*>(data), "zbc");

    NetParam* empty = list.AddTail("ignored", 0);
    list.GetData(empty, &data, &length);
    EXPECT_EQ(length, 0u);
    NetParam* zeros = list.AddTail(nullptr, 3);
    list.GetData(zeros, &data, &length);
    EXPECT_EQ(std::memcmp(data, "\0\0\0", 3), 0);
    EXPECT_EQ(list.GetCount(), 3u);
}

TEST(ParamListBuffers, SetAtFromItsOwnBufferKeepsTheBytes) {
    NetParamList list = ListOf({"x", "hello world"});
    void* data = nullptr;
    unsigned long length = 0;
    list.GetAt(1, &data, &length);
    // The source is the buffer being replaced.
    ASSERT_TRUE(list.SetAt(1, static_cast<char*>(data) + 6, 5));
    EXPECT_EQ(Contents(list), (Texts{"x", "world"}));
    list.SetData(list.GetHead(), "", 0);
    list.SetData(nullptr, "ignored", 7);
    EXPECT_EQ(Contents(list), (Texts{"", "world"}));
}

TEST(ParamListLinks, InsertBeforeHeadMiddleAndForeignNode) {
    NetParamList list = ListOf({"b", "d"});
    NetParam* head = list.InsertBefore(list.GetHead(), "a", 1);
    EXPECT_EQ(list.GetHead(), head);
    list.InsertBefore(list.GetTail(), "c", 1);
    EXPECT_EQ(Contents(list), (Texts{"a", "b", "c", "d"}));

    NetParamList other = ListOf({"o"});
    EXPECT_EQ(list.InsertBefore(other.GetHead(), "x", 1), nullptr);
    EXPECT_EQ(list.InsertBefore(nullptr, "x", 1), nullptr);
    EXPECT_EQ(Contents(list), (Texts{"a", "b", "c", "d"}));
    EXPECT_EQ(Contents(other), (Texts{"o"}));
}

TEST(ParamListLinks, RemoveAtEveryPosition) {
    NetParamList list = ListOf({"a", "b", "c", "d"});
    NetParam* formerPrev = list.GetPrev(list.GetTail());
    list.RemoveAt(list.GetTail());
    EXPECT_EQ(list.GetTail(), formerPrev);
    list.RemoveAt(list.GetNodeAt(1));
    EXPECT_EQ(Contents(list), (Texts{"a", "c"}));
    list.RemoveAt(list.GetHead());
    EXPECT_EQ(Contents(list), (Texts{"c"}));

    NetParamList other = ListOf({"o"});
    list.RemoveAt(other.GetHead());  // not ours: nothing happens
    list.RemoveAt(nullptr);
    EXPECT_EQ(Contents(other), (Texts{"o"}));

    list.RemoveAt(list.GetHead());
    EXPECT_EQ(list.GetHead(), nullptr);
    EXPECT_EQ(list.GetTail(), nullptr);
    EXPECT_EQ(list.GetCount(), 0u);
    Add(list, "again");
    EXPECT_EQ(Contents(list), (Texts{"again"}));
}

TEST(ParamListCopy, AddListAppendsCopiesAndReturnsTheNewTail) {
    NetParamList list = ListOf({"1", "2"});
    NetParamList other = ListOf({"3", "4", "5"});
    NetParam* tail = list.AddList(other);
    EXPECT_EQ(tail, list.GetTail());
    EXPECT_EQ(Contents(list), (Texts{"1", "2", "3", "4", "5"}));
    other.SetAt(0, "changed", 7);
    EXPECT_EQ(Contents(list)[2], "3");

    NetParamList empty;
    EXPECT_EQ(list.AddList(empty), list.GetTail());
    EXPECT_EQ(list.GetCount(), 5u);
}

TEST(ParamListCopy, AddListOfItselfCopiesEachOriginalNodeOnce) {
    NetParamList list = ListOf({"a", "b"});
    list.AddList(list);
    EXPECT_EQ(Contents(list), (Texts{"a", "b", "a", "b"}));
}

TEST(ParamListCopy, AssignmentAndCopyAreDeep) {
    NetParamList source = ListOf({"x", "y"});
    NetParamList target = ListOf({"old1", "old2", "old3"});
    target = source;
    source.SetAt(0, "changed", 7);
    source.RemoveAt(source.GetTail());
    EXPECT_EQ(Contents(target), (Texts{"x", "y"}));

    NetParamList& alias = target;
    target = alias;
    EXPECT_EQ(Contents(target), (Texts{"x", "y"}));

    NetParamList copy(target);
    target.RemoveAll();
    EXPECT_EQ(Contents(copy), (Texts{"x", "y"}));
    EXPECT_EQ(Contents(target), Texts{});
}

}  // namespace
