// The parameter list, the message and the notification classes: buffers and
// attachments are owned, copied deep and destroyed exactly once.

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <transport/NetPackage.h>

namespace {

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
    NetParam* head = list.InsertBefore(list.GetHead(), "<", 1);
    EXPECT_EQ(head, list.GetHead());
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
    std::string source = "hello world";
    NetParamList list = ListOf({source});
    source[0] = 'X';
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

// An attachment that counts the instances alive; each test ends with none.
struct Counted : NetObject {
    static int live;
    int tag;
    explicit Counted(int t) : tag(t) { ++live; }
    Counted(const Counted& other) : NetObject(other), tag(other.tag) { ++live; }
    ~Counted() override { --live; }
    NetObject* Clone() const override { return new Counted(*this); }
};
int Counted::live = 0;

int Tag(const NetObject* object) {
    auto* counted = dynamic_cast<const Counted*>(object);
    return counted != nullptr ? counted->tag : -1;
}

struct Owned : ::testing::Test {
    void SetUp() override { Counted::live = 0; }
    void TearDown() override { EXPECT_EQ(Counted::live, 0) << "leaked or freed twice"; }
};

TEST_F(Owned, MessageCopiesAreDeep) {
    NetMessage message;
    message.SetId(305);
    message.SetPriority(4);
    message.GetParams().AddTail("abc", 4);
    message.SetAttachment(new Counted(7));
    message.SetAttachment(message.GetAttachment());  // the same object: kept
    std::unique_ptr<NetMessage> clone(static_cast<NetMessage*>(message.Clone()));
    NetMessage assigned;
    assigned.SetAttachment(new Counted(1));
    assigned = message;
    assigned = static_cast<NetMessage&>(assigned);
    message.GetParams().SetAt(0, "zz", 3);
    message.SetAttachment(new Counted(8));
    for (const NetMessage* copy : {clone.get(), &assigned}) {
        EXPECT_EQ(copy->GetId() * 10 + copy->GetPriority(), 3054u);
        EXPECT_EQ(Contents(copy->GetParams()), (Texts{std::string("abc", 4)}));
        EXPECT_EQ(Tag(copy->GetAttachment()), 7);
    }
    message.SetAttachment(nullptr);
    EXPECT_EQ(Counted::live, 2);
}

TEST_F(Owned, PackagesOwnTheirBodies) {
    NetPackage package;
    package.SetBody(Counted(1));
    package.SetBody(*package.m_pBody);  // its own body handed back: cloned before it goes
    NetPackage assigned(NetPackage::KIND_INFORMATION, new Counted(9));
    assigned = package;
    assigned = static_cast<NetPackage&>(assigned);
    EXPECT_EQ(assigned.m_nKind, NetPackage::KIND_MESSAGE);
    EXPECT_EQ(Tag(assigned.m_pBody), 1);
    EXPECT_EQ(Counted::live, 2);

    auto* error = new NetError;
    error->SetAttachment(Counted(3));
    error->SetAttachment(*error->m_pMessage);
    auto* original = new NetPackage(NetPackage::KIND_ERROR, error);
    std::unique_ptr<NetPackage> clone(static_cast<NetPackage*>(original->Clone()));
    delete original;
    EXPECT_EQ(clone->m_nKind, NetPackage::KIND_ERROR);
    EXPECT_EQ(Tag(static_cast<NetError*>(clone->m_pBody)->m_pMessage), 3);
    NetInformation information;
    information.SetAttachment(Counted(4));
    std::unique_ptr<NetInformation> copy(static_cast<NetInformation*>(information.Clone()));
    EXPECT_EQ(Tag(copy->m_pMessage), 4);
    EXPECT_EQ(Counted::live, 5);
}

}  // namespace
