#include <transport/NetPackage.h>

#include <cstring>

namespace {

NetObject* CloneOrNull(const NetObject* object) { return object ? object->Clone() : nullptr; }

// Replaces an owned pointer with a clone of source. The clone is taken before
// the old object goes, since source may be the old object or part of it.
void ReplaceWithClone(NetObject*& owned, const NetObject& source) {
    NetObject* copy = source.Clone();
    delete owned;
    owned = copy;
}

}  // namespace

NetPackage::NetPackage() : m_nKind(KIND_MESSAGE), m_pBody(nullptr) {}

NetPackage::NetPackage(int kind, NetObject* body) : m_nKind(kind), m_pBody(body) {}

NetPackage::NetPackage(const NetPackage& other)
    : NetObject(other), m_nKind(other.m_nKind), m_pBody(CloneOrNull(other.m_pBody)) {}

NetPackage& NetPackage::operator=(const NetPackage& other) {
    if (this == &other) return *this;
    NetObject* body = CloneOrNull(other.m_pBody);
    delete m_pBody;
    m_pBody = body;
    m_nKind = other.m_nKind;
    return *this;
}

NetPackage::~NetPackage() {
    delete m_pBody;
    m_pBody = nullptr;
}

NetObject* NetPackage::Clone() const { return new NetPackage(m_nKind, CloneOrNull(m_pBody)); }

void NetPackage::SetBody(const NetObject& body) { ReplaceWithClone(m_pBody, body); }

NetInformation::NetInformation() : m_nCode(0), m_nValue1(0), m_nValue2(0), m_pMessage(nullptr) {}

NetInformation::NetInformation(const NetInformation& other)
    : NetObject(other),
      m_nCode(other.m_nCode),
      m_nValue1(other.m_nValue1),
      m_nValue2(other.m_nValue2),
      m_pMessage(CloneOrNull(other.m_pMessage)) {}

NetInformation& NetInformation::operator=(const NetInformation& other) {
    if (this == &other) return *this;
    NetObject* message = CloneOrNull(other.m_pMessage);
    delete m_pMessage;
    m_pMessage = message;
    m_nCode = other.m_nCode;
    m_nValue1 = other.m_nValue1;
    m_nValue2 = other.m_nValue2;
    return *this;
}

NetInformation::~NetInformation() {
    delete m_pMessage;
    m_pMessage = nullptr;
}

NetObject* NetInformation::Clone() const { return new NetInformation(*this); }

void NetInformation::SetAttachment(const NetObject& object) {
    ReplaceWithClone(m_pMessage, object);
}

NetError::NetError() : m_nCode(0), m_pMessage(nullptr) {}

NetError::NetError(const NetError& other)
    : NetObject(other), m_nCode(other.m_nCode), m_pMessage(CloneOrNull(other.m_pMessage)) {}

NetError& NetError::operator=(const NetError& other) {
    if (this == &other) return *this;
    NetObject* message = CloneOrNull(other.m_pMessage);
    delete m_pMessage;
    m_pMessage = message;
    m_nCode = other.m_nCode;
    return *this;
}

NetError::~NetError() {
    delete m_pMessage;
    m_pMessage = nullptr;
}

NetObject* NetError::Clone() const { return new NetError(*this); }

void NetError::SetAttachment(const NetObject& object) { ReplaceWithClone(m_pMessage, object); }

NetConnectionEvent::NetConnectionEvent() : m_nEvent(0), m_nWay(0), m_nCode(0), m_nPort(0) {
    std::memset(m_szHost, 0, sizeof(m_szHost));
}

NetObject* NetConnectionEvent::Clone() const { return new NetConnectionEvent(*this); }
