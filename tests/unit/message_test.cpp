#include <gtest/gtest.h>

#include <memory>
#include <string>

#include <transport/NetMessage.h>
#include <transport/NetPackage.h>

namespace {

// An attachment that counts its live instances and, when given a message,
// records how many parameters that message still held when it went.
struct Counted : NetObject {
    static int live;
    int tag;
    const NetMessage* owner = nullptr;
    long paramsAtDestruction = -1;
    static long lastParamsAtDestruction;

    explicit Counted(int t) : tag(t) { ++live; }
    Counted(const Counted& other) : NetObject(other), tag(other.tag) { ++live; }
    ~Counted() override {
        --live;
        if (owner != nullptr) lastParamsAtDestruction = static_cast<long>(owner->GetParams().GetCount());
    }
    NetObject* Clone() const override { return new Counted(*this); }
};
int Counted::live = 0;
long Counted::lastParamsAtDestruction = -1;

class CountedTest : public ::testing::Test {
protected:
    void SetUp() override { Counted::live = 0; }
    void TearDown() override { EXPECT_EQ(Counted::live, 0) << "an attachment leaked or was freed twice"; }
};

std::string ParamText(const NetMessage& message, int index) {
    void* data = nullptr;
    unsigned long length = 0;
    message.GetParams().GetAt(index, &data, &length);
    return std::string(static_cast<const char*>(data), length);
}

using MessageTest = CountedTest;
using PackageTest = CountedTest;

TEST_F(MessageTest, CloneIsDeepAndIndependent) {
    NetMessage message;
    message.SetId(305);
    message.SetPriority(4);
    message.GetParams().AddTail("abc", 4);
    message.SetAttachment(new Counted(7));

    std::unique_ptr<NetObject> object(message.Clone());
    auto* clone = dynamic_cast<NetMessage*>(object.get());
    ASSERT_NE(clone, nullptr);
    message.GetParams().SetAt(0, "zz", 3);
    message.SetAttachment(new Counted(8));

    EXPECT_EQ(clone->GetId(), 305u);
    EXPECT_EQ(clone->GetPriority(), 4);
    EXPECT_EQ(ParamText(*clone, 0), std::string("abc", 4));
    auto* attachment = dynamic_cast<Counted*>(clone->GetAttachment());
    ASSERT_NE(attachment, nullptr);
    EXPECT_EQ(attachment->tag, 7);
    EXPECT_EQ(Counted::live, 2);
}

TEST_F(MessageTest, AttachmentGoesWithTheMessageAfterItsParameters) {
    {
        auto* message = new NetMessage;
        message->GetParams().AddTail("p", 2);
        auto* attachment = new Counted(1);
        attachment->owner = message;
        message->SetAttachment(attachment);
        message->SetAttachment(attachment);  // the same object again: kept, not freed
        EXPECT_EQ(Counted::live, 1);
        delete static_cast<NetObject*>(message);
    }
    EXPECT_EQ(Counted::live, 0);
    EXPECT_EQ(Counted::lastParamsAtDestruction, 0);

    NetMessage message;
    message.SetAttachment(new Counted(1));
    message.SetAttachment(new Counted(2));
    EXPECT_EQ(Counted::live, 1);
    message.SetAttachment(nullptr);
    EXPECT_EQ(Counted::live, 0);
}

TEST_F(MessageTest, AssignmentReplacesEverythingAndSurvivesSelfAssignment) {
    NetMessage source;
    source.SetId(9);
    source.GetParams().AddTail("new", 4);
    source.SetAttachment(new Counted(2));
    NetMessage target;
    target.GetParams().AddTail("old", 4);
    target.GetParams().AddTail("old", 4);
    target.SetAttachment(new Counted(1));

    target = source;
    EXPECT_EQ(Counted::live, 2);
    EXPECT_EQ(target.GetId(), 9u);
    EXPECT_EQ(target.GetParams().GetCount(), 1u);
    EXPECT_NE(target.GetAttachment(), source.GetAttachment());
    EXPECT_EQ(static_cast<Counted*>(target.GetAttachment())->tag, 2);

    NetMessage& alias = target;
    target = alias;
    EXPECT_EQ(target.GetParams().GetCount(), 1u);
    EXPECT_EQ(Counted::live, 2);

    NetParamList params;
    params.AddTail("a", 2);
    params.AddTail("b", 2);
    target.SetParams(params);
    params.RemoveAll();
    EXPECT_EQ(target.GetParams().GetCount(), 2u);
}

TEST_F(PackageTest, SetBodyStoresACloneAndReplacesTheOldBody) {
    NetPackage package;
    EXPECT_EQ(package.m_nKind, 0);
    EXPECT_EQ(package.m_pBody, nullptr);
    {
        Counted body(1);
        package.SetBody(body);
        EXPECT_NE(package.m_pBody, &body);
        EXPECT_EQ(Counted::live, 2);
    }
    EXPECT_EQ(Counted::live, 1);
    package.SetBody(Counted(2));
    EXPECT_EQ(Counted::live, 1);
    EXPECT_EQ(static_cast<Counted*>(package.m_pBody)->tag, 2);
    // The body handed back in: cloned before the old body goes.
    package.SetBody(*package.m_pBody);
    EXPECT_EQ(Counted::live, 1);
    EXPECT_EQ(static_cast<Counted*>(package.m_pBody)->tag, 2);

    NetPackage assigned(NetPackage::KIND_INFORMATION, new Counted(9));
    assigned = package;
    NetPackage& alias = assigned;
    assigned = alias;
    EXPECT_EQ(Counted::live, 2);
    EXPECT_NE(assigned.m_pBody, package.m_pBody);
    EXPECT_EQ(assigned.m_nKind, NetPackage::KIND_MESSAGE);
}

TEST_F(PackageTest, CloneOutlivesTheOriginal) {
    auto* package = new NetPackage(NetPackage::KIND_ERROR, nullptr);
    NetError error;
    error.SetCode(7);
    error.SetAttachment(Counted(3));
    package->SetBody(error);
    std::unique_ptr<NetObject> clone(package->Clone());
    delete package;

    auto* copy = dynamic_cast<NetPackage*>(clone.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->m_nKind, NetPackage::KIND_ERROR);
    auto* body = dynamic_cast<NetError*>(copy->m_pBody);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->m_nCode, 7u);
    ASSERT_NE(dynamic_cast<Counted*>(body->m_pMessage), nullptr);
    EXPECT_EQ(Counted::live, 2);  // the local error's and the clone's

    NetPackage empty;
    std::unique_ptr<NetObject> emptyClone(empty.Clone());
    EXPECT_EQ(static_cast<NetPackage*>(emptyClone.get())->m_pBody, nullptr);
}

TEST_F(PackageTest, InformationCarriesCodeValuesAndAnOwnedMessage) {
    NetInformation information;
    information.SetCode(3);
    information.SetValues(2, 5);
    NetMessage message;
    message.SetId(44);
    information.SetAttachment(message);
    information.SetAttachment(*information.m_pMessage);  // its own attachment again

    std::unique_ptr<NetObject> object(information.Clone());
    auto* clone = dynamic_cast<NetInformation*>(object.get());
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(clone->m_nCode, 3u);
    EXPECT_EQ(clone->m_nValue1, 2);
    EXPECT_EQ(clone->m_nValue2, 5);
    ASSERT_NE(clone->m_pMessage, nullptr);
    EXPECT_NE(clone->m_pMessage, information.m_pMessage);
    EXPECT_EQ(static_cast<NetMessage*>(clone->m_pMessage)->GetId(), 44u);
}

TEST_F(PackageTest, ErrorWithoutAttachmentClonesWithoutOne) {
    NetError error;
    error.SetCode(11);
    std::unique_ptr<NetObject> object(error.Clone());
    auto* clone = static_cast<NetError*>(object.get());
    EXPECT_EQ(clone->m_nCode, 11u);
    EXPECT_EQ(clone->m_pMessage, nullptr);

    error.SetAttachment(Counted(1));
    error.SetAttachment(Counted(2));
    EXPECT_EQ(Counted::live, 1);
    NetError copy(error);
    EXPECT_EQ(Counted::live, 2);
}

}  // namespace
