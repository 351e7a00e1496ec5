#include <cstdint>
#include <cstring>
#include <new>

#include <transport/NetMessage.h>

namespace {

// A buffer of exactly length bytes holding a copy of data (zeros when data is
// null). Null when the allocation fails or the length does not fit a node's
// 32-bit length; the caller then changes nothing.
unsigned char* CopyBuffer(const void* data, unsigned long length) {
    if (length > UINT32_MAX) return nullptr;
    unsigned char* buffer = new (std::nothrow) unsigned char[length];
    if (buffer == nullptr || length == 0) return buffer;
    if (data != nullptr) {
        std::memcpy(buffer, data, length);
    } else {
        std::memset(buffer, 0, length);
    }
    return buffer;
}

NetParam* NewNode(const void* data, unsigned long length) {
    unsigned char* buffer = CopyBuffer(data, length);
    if (buffer == nullptr) return nullptr;
    NetParam* node = new (std::nothrow) NetParam;
    if (node == nullptr) {
        delete[] buffer;
        return nullptr;
    }
    node->m_pData = buffer;
    node->m_nLength = static_cast<std::uint32_t>(length);
    return node;
}

}  // namespace

NetParamList::NetParamList() : m_pHead(nullptr), m_pTail(nullptr), m_nParamCount(0) {}

NetParamList::NetParamList(const NetParamList& other) : NetParamList() { AddList(other); }

NetParamList& NetParamList::operator=(const NetParamList& other) {
    if (this == &other) return *this;
    RemoveAll();
    AddList(other);
    return *this;
}

NetParamList::~NetParamList() { NetParamList::RemoveAll(); }

bool NetParamList::GetAt(int index, void** data, unsigned long* length) const {
    NetParam* node = GetNodeAt(index);
    GetData(node, data, length);
    return node != nullptr;
}

void NetParamList::GetData(NetParam* node, void** data, unsigned long* length) const {
    if (data != nullptr) *data = node ? node->m_pData : nullptr;
    if (length != nullptr) *length = node ? node->m_nLength : 0;
}

bool NetParamList::SetAt(int index, const void* data, unsigned long length) {
    NetParam* node = GetNodeAt(index);
    if (node == nullptr) return false;
    SetData(node, data, length);
    return true;
}

void NetParamList::SetData(NetParam* node, const void* data, unsigned long length) {
    if (node == nullptr) return;
    // Copy first: data may point into the buffer being replaced.
    unsigned char* buffer = CopyBuffer(data, length);
    if (buffer == nullptr) return;
    delete[] node->m_pData;
    node->m_pData = buffer;
    node->m_nLength = static_cast<std::uint32_t>(length);
}

NetParam* NetParamList::AddList(const NetParamList& other) {
    // Counted up front so that appending a list to itself copies each of its
    // original nodes once instead of chasing its own growing tail.
    unsigned long remaining = other.GetCount();
    for (NetParam* node = other.GetHead(); node != nullptr && remaining > 0;
         node = other.GetNext(node), --remaining) {
        void* data = nullptr;
        unsigned long length = 0;
        other.GetData(node, &data, &length);
        AddTail(data, length);
    }
    return GetTail();
}

NetParam* NetParamList::AddTail(const void* data, unsigned long length) {
    NetParam* node = NewNode(data, length);
    if (node == nullptr) return nullptr;
    node->m_pPrev = m_pTail;
    if (m_pTail != nullptr) {
        m_pTail->m_pNext = node;
    } else {
        m_pHead = node;
    }
    m_pTail = node;
    ++m_nParamCount;
    return node;
}

NetParam* NetParamList::InsertBefore(NetParam* node, const void* data, unsigned long length) {
    // A node of another list (or none) would break both lists' chains.
    NetParam* at = m_pHead;
    while (at != nullptr && at != node) at = at->m_pNext;
    if (at == nullptr) return nullptr;

    NetParam* added = NewNode(data, length);
    if (added == nullptr) return nullptr;
    added->m_pNext = node;
    added->m_pPrev = node->m_pPrev;
    if (node->m_pPrev != nullptr) {
        node->m_pPrev->m_pNext = added;
    } else {
        m_pHead = added;
    }
    node->m_pPrev = added;
    ++m_nParamCount;
    return added;
}

void NetParamList::RemoveAt(NetParam* node) {
    NetParam* at = m_pHead;
    while (at != nullptr && at != node) at = at->m_pNext;
    if (at == nullptr) return;

    if (node->m_pPrev != nullptr) {
        node->m_pPrev->m_pNext = node->m_pNext;
    } else {
        m_pHead = node->m_pNext;
    }
    if (node->m_pNext != nullptr) {
        node->m_pNext->m_pPrev = node->m_pPrev;
    } else {
        m_pTail = node->m_pPrev;
    }
    --m_nParamCount;
    delete node;
}

void NetParamList::RemoveAll() {
    NetParam* node = m_pHead;
    while (node != nullptr) {
        NetParam* next = node->m_pNext;
        delete node;
        node = next;
    }
    m_pHead = nullptr;
    m_pTail = nullptr;
    m_nParamCount = 0;
}

unsigned long NetParamList::GetCount() const { return m_nParamCount; }

NetParam* NetParamList::GetHead() const { return m_pHead; }

NetParam* NetParamList::GetNext(NetParam* node) const { return node ? node->m_pNext : nullptr; }

NetParam* NetParamList::GetPrev(NetParam* node) const { return node ? node->m_pPrev : nullptr; }

NetParam* NetParamList::GetTail() const { return m_pTail; }

NetParam* NetParamList::GetNodeAt(int index) const {
    NetParam* node = GetHead();
    for (int remaining = index; remaining > 0 && node != nullptr; --remaining) {
        node = GetNext(node);
    }
    return node;
}
