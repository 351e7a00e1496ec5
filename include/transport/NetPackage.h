#ifndef TRANSPORT_NET_PACKAGE_H
#define TRANSPORT_NET_PACKAGE_H

#include <cstdint>

#include <transport/NetMessage.h>

// What the handler receives. m_nKind tells the class of m_pBody:
// 0 a NetMessage, 1 a NetInformation, 2 a NetError, 3 a NetConnectionEvent
// (only for a client that asked for them: CNetClient::SetConnectionEvents).
// A package handed to the handler belongs to the library and lives only for
// the call; Clone what you keep.
class TRANSPORT_API NetPackage : public NetObject {
public:
    enum { KIND_MESSAGE = 0, KIND_INFORMATION = 1, KIND_ERROR = 2, KIND_CONNECTION = 3 };

    NetPackage();
    NetPackage(int kind, NetObject* body);  // takes over body
    NetPackage(const NetPackage& other);
    NetPackage& operator=(const NetPackage& other);
    ~NetPackage() override;
    NetObject* Clone() const override;

    void SetKind(int kind) { m_nKind = kind; }
    // Destroys the current body and stores a clone of the argument.
    void SetBody(const NetObject& body);

    std::int32_t m_nKind;
    NetObject* m_pBody;
};

// Information codes: 1 the message in flight was answered positively
// (m_pMessage names it); 3 a part of a multi-part transfer arrived
// (m_nValue1 of m_nValue2).
class TRANSPORT_API NetInformation : public NetObject {
public:
    NetInformation();
    NetInformation(const NetInformation& other);
    NetInformation& operator=(const NetInformation& other);
    ~NetInformation() override;
    NetObject* Clone() const override;

    void SetCode(unsigned long code) { m_nCode = static_cast<std::uint32_t>(code); }
    void SetValues(int value1, int value2) {
        m_nValue1 = value1;
        m_nValue2 = value2;
    }
    void SetAttachment(const NetObject& object);

    std::uint32_t m_nCode;
    std::int32_t m_nValue1;
    std::int32_t m_nValue2;
    NetObject* m_pMessage;
};

// Error codes: 7 the message in flight was refused (m_pMessage names it, or
// the log-in message while logging in); 11 the reconnection limit was
// reached; 13 received binary data was not Base64 and was dropped
// (m_pMessage names the message received); 14 a queued message was dropped
// to make room under the queue's bound (m_pMessage names it; delivered on the
// thread that called Send); 15 TLS did not come up (m_pMessage: a message
// whose id is the failure, kErrTlsHandshake..kErrTlsSetup of Platform.h, and
// whose text parameters are the reason and the host; nothing was sent on that
// connection); any other code comes from the server.
class TRANSPORT_API NetError : public NetObject {
public:
    NetError();
    NetError(const NetError& other);
    NetError& operator=(const NetError& other);
    ~NetError() override;
    NetObject* Clone() const override;

    void SetCode(unsigned long code) { m_nCode = static_cast<std::uint32_t>(code); }
    void SetAttachment(const NetObject& object);

    std::uint32_t m_nCode;
    NetObject* m_pMessage;
};

// What the connection is doing, for a client that asked to be told
// (CNetClient::SetConnectionEvents). Delivered on the main or the
// network-event thread.
class TRANSPORT_API NetConnectionEvent : public NetObject {
public:
    enum {
        RESOLVING = 1,     // looking up m_szHost
        CONNECTING = 2,    // to m_szHost:m_nPort, by way m_nWay
        CONNECTED = 3,     // the socket is up; the log-in goes next
        LOGGED_IN = 4,     // the server accepted the log-in
        DISCONNECTED = 5,  // the attempt failed or the line dropped; m_nCode says why
        GAVE_UP = 6,       // the reconnection limit was reached (error 11 follows)
    };
    NetConnectionEvent();
    NetObject* Clone() const override;

    std::int32_t m_nEvent;
    std::int32_t m_nWay;     // CNetClient::CONNTYPE_DIRECT, _TUNNEL or _HTTP
    std::int32_t m_nCode;    // DISCONNECTED: the socket error code (10054 reset, 10060 time-out, ...)
    std::uint32_t m_nPort;
    char m_szHost[256];      // the host entry in use, zero-terminated
};

#endif
