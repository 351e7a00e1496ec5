#ifndef TRANSPORT_NET_MESSAGE_H
#define TRANSPORT_NET_MESSAGE_H

#include <cstdint>

#include <transport/Export.h>

// NetObject is the base of everything that travels inside a notification.
// Whoever keeps an object keeps its own Clone; Clone returns a new heap object
// of the same dynamic type that the caller owns.
class TRANSPORT_API NetObject {
public:
    NetObject() = default;
    NetObject(const NetObject&) = default;
    NetObject& operator=(const NetObject&) = default;
    virtual ~NetObject();
    virtual NetObject* Clone() const = 0;
};

// One node of a NetParamList: an owned buffer of exactly m_nLength bytes.
class TRANSPORT_API NetParam {
public:
    NetParam();
    NetParam(const NetParam&) = delete;
    NetParam& operator=(const NetParam&) = delete;
    virtual ~NetParam();

    unsigned char* m_pData;
    std::uint32_t m_nLength;
    NetParam* m_pNext;
    NetParam* m_pPrev;
};

// An ordered list of parameters. Buffers are always copied in and never shared
// between nodes or lists. A text parameter carries its terminating zero byte,
// counted in its length.
//
// Index rules: an index of 0 or below selects the head; an index at or beyond
// the count selects no node. GetAt then reports a null pointer and length 0,
// SetAt changes nothing and returns false.
class TRANSPORT_API NetParamList {
public:
    NetParamList();
    NetParamList(const NetParamList& other);
    NetParamList& operator=(const NetParamList& other);

    // The fifteen virtual operations, in the order of their slots.
    virtual ~NetParamList();
    // The buffer of the node at index (the list keeps it); false for no node.
    virtual bool GetAt(int index, void** data, unsigned long* length) const;
    virtual void GetData(NetParam* node, void** data, unsigned long* length) const;
    // Replace a node's buffer with a copy of length bytes of data.
    virtual bool SetAt(int index, const void* data, unsigned long length);
    virtual void SetData(NetParam* node, const void* data, unsigned long length);
    // Append copies of other's buffers (of this list's own, once); the new tail.
    virtual NetParam* AddList(const NetParamList& other);
    // Append or insert a copy of length bytes of data: the new node, or null
    // when there is no memory or node is not this list's.
    virtual NetParam* AddTail(const void* data, unsigned long length);
    virtual NetParam* InsertBefore(NetParam* node, const void* data, unsigned long length);
    // Destroy one node of this list (another list's is left alone), or all.
    virtual void RemoveAt(NetParam* node);
    virtual void RemoveAll();
    virtual unsigned long GetCount() const;
    // Walking the nodes: null past either end.
    virtual NetParam* GetHead() const;
    virtual NetParam* GetNext(NetParam* node) const;
    virtual NetParam* GetPrev(NetParam* node) const;
    virtual NetParam* GetTail() const;

    NetParam* GetNodeAt(int index) const;  // null for no node

protected:
    NetParam* m_pHead;
    NetParam* m_pTail;
    std::uint32_t m_nParamCount;
};

// The unit of application data: an id, an output priority (1 first, 4 last),
// the parameters and an optional attachment that is copied and destroyed with
// the message but never read by the library.
class TRANSPORT_API NetMessage : public NetObject {
public:
    NetMessage();
    NetMessage(const NetMessage& other);
    NetMessage& operator=(const NetMessage& other);
    ~NetMessage() override;
    NetObject* Clone() const override;

    unsigned long GetId() const { return m_nId; }
    void SetId(unsigned long id) { m_nId = static_cast<std::uint32_t>(id); }
    int GetPriority() const { return m_nPriority; }
    void SetPriority(int priority) { m_nPriority = priority; }
    NetParamList& GetParams() { return m_params; }
    const NetParamList& GetParams() const { return m_params; }
    void SetParams(const NetParamList& params) { m_params = params; }

    // Takes over the attachment; the previous one is destroyed.
    void SetAttachment(NetObject* attachment);
    NetObject* GetAttachment() const { return m_pAttachment; }

    std::uint32_t m_nId;
    std::int32_t m_nPriority;
    NetParamList m_params;
    NetObject* m_pAttachment;
};

#endif
