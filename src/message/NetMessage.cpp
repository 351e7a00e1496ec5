#include <transport/NetMessage.h>

// Out of line so that the vtable of the family is emitted once, in the library.
NetObject::~NetObject() = default;

NetParam::NetParam() : m_pData(nullptr), m_nLength(0), m_pNext(nullptr), m_pPrev(nullptr) {}

NetParam::~NetParam() {
    delete[] m_pData;
    m_pData = nullptr;
    m_nLength = 0;
    m_pNext = nullptr;
    m_pPrev = nullptr;
}

NetMessage::NetMessage() : m_nId(0), m_nPriority(2), m_params(), m_pAttachment(nullptr) {}

NetMessage::NetMessage(const NetMessage& other)
    : NetObject(other),
      m_nId(other.m_nId),
      m_nPriority(other.m_nPriority),
      m_params(other.m_params),
      m_pAttachment(other.m_pAttachment ? other.m_pAttachment->Clone() : nullptr) {}

NetMessage& NetMessage::operator=(const NetMessage& other) {
    if (this == &other) return *this;
    // Clone before releasing ours: the other attachment may hang off this message.
    NetObject* attachment = other.m_pAttachment ? other.m_pAttachment->Clone() : nullptr;
    m_nId = other.m_nId;
    m_nPriority = other.m_nPriority;
    m_params = other.m_params;
    delete m_pAttachment;
    m_pAttachment = attachment;
    return *this;
}

NetMessage::~NetMessage() {
    // Parameters go first, then the attachment.
    m_params.RemoveAll();
    delete m_pAttachment;
    m_pAttachment = nullptr;
}

NetObject* NetMessage::Clone() const { return new NetMessage(*this); }

void NetMessage::SetAttachment(NetObject* attachment) {
    if (attachment == m_pAttachment) return;
    delete m_pAttachment;
    m_pAttachment = attachment;
}
