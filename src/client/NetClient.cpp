// The client object: construction, destruction, copying and the small
// accessors that every worker thread uses.

#include <transport/NetClient.h>

#include <cstring>

#include "client/ClientInternals.h"
#include "message/MessageQueue.h"
#include "message/CredentialCodec.h"

using transport::Handle;

INetClient::~INetClient() = default;

CNetClient::CNetClient() : CNetClient(transport::DefaultPlatform()) {}

CNetClient::CNetClient(transport::Platform& platform)
    : m_socket(transport::kInvalidSocket),
      m_serverAddr(),
      m_hNetEvents(),
      m_hSendEvents(),
      m_hMainEvents(),
      m_pszCurrentHost(nullptr),
      m_hMainThread(nullptr),
      m_hNetEventThread(nullptr),
      m_hSendDataThread(nullptr),
      m_connectionState(CONN_NOT_CONNECTED),
      m_nSentCount(0),
      m_pLoginMessage(nullptr),
      m_pSendingMessage(nullptr),
      m_nReconCount(0),
      m_hSendSemaphore(nullptr),
      m_hConnection(nullptr),
      m_lPrevSendCount(0),
      m_bSendPending(false),
      m_bNetThreadRunning(false),
      m_nLastConnType(CONNTYPE_NONE),
      m_nConnType(CONNTYPE_NONE),
      m_bConnecting(false),
      m_nPort(0),
      m_bTunnelOpen(false),
      m_dwLastSendTick(0),
      m_dwLastRecvTick(0),
      m_bSocketConnected(false),
      m_clientParams(),
      m_nAttemptCount(0),
      m_nHostIndex(0),
      m_nMaxReconCount(MAXRECONCOUNT),
      m_bLoginPending(false),
      m_hDisconnectSentEvent(nullptr),
      m_nTotalSent(0),
      m_nTotalReceived(0),
      m_bKeepAlivePending(false),
      m_bMainThreadExit(false),
      m_bNetThreadExited(false),
      m_bSendThreadExit(false),
      m_pNetHandler(nullptr),
      m_bOpened(false),
      m_pOutputQueue(nullptr),
      m_pInputQueue(nullptr),
      m_pPartsQueue(nullptr),
      m_cacheBuf(),
      m_pPlatform(&platform),
      m_hStandbyEvent(nullptr),
      m_pInternals(nullptr),
      m_bOwner(true) {
    std::memset(&m_clientParams, 0, sizeof(m_clientParams));
    ZeroReconCount();
    m_pOutputQueue = new CMessageQueue;
    m_pInputQueue = new CMessageQueue;
    m_pPartsQueue = new CMessageQueue;
    m_pInternals = new transport::ClientInternals(*m_pOutputQueue, m_pSendingMessage,
                                                  m_pLoginMessage, m_hSendSemaphore,
                                                  m_lPrevSendCount, *m_pPartsQueue, m_cacheBuf,
                                                  *m_pPlatform);
    SetConnectionState(CONN_NOT_CONNECTED);
    std::memset(m_cacheBuf, 0, sizeof(m_cacheBuf));
    for (Handle& event : m_hMainEvents) event = m_pPlatform->CreateEvent();
    // Slot 4 later holds the bearer's connection handle; keep the event made
    // here so that the destructor can close it.
    m_hStandbyEvent = m_hMainEvents[4];
    m_hDisconnectSentEvent = m_pPlatform->CreateEvent();
    m_nLastConnType = CONNTYPE_NONE;
    m_nConnType = CONNTYPE_NONE;
    NetClientTrace("VERSION CVS 1.74", true);
}

CNetClient::CNetClient(const CNetClient& other) : INetClient(other) {
    m_pInternals = nullptr;
    m_bOwner = false;
    *this = other;
}

CNetClient& CNetClient::operator=(const CNetClient& other) {
    if (this == &other) return *this;
    if (m_bOwner && m_pInternals != nullptr) {
        // The assigned-to object gives up what it owned before it shares the
        // source's objects. It must not be running.
        if (m_hMainThread || m_hSendDataThread || m_hNetEventThread) Close(false);
        ReleaseOwnedObjects();
    }
    m_socket = other.m_socket.load();
    m_serverAddr = other.m_serverAddr;
    for (int i = 0; i < 2; ++i) m_hNetEvents[i] = other.m_hNetEvents[i];
    for (int i = 0; i < 2; ++i) m_hSendEvents[i] = other.m_hSendEvents[i];
    for (int i = 0; i < 6; ++i) m_hMainEvents[i] = other.m_hMainEvents[i];
    m_pszCurrentHost = other.m_pszCurrentHost.load();
    m_hMainThread = other.m_hMainThread;
    m_hNetEventThread = other.m_hNetEventThread.load();
    m_hSendDataThread = other.m_hSendDataThread;
    m_connectionState = other.m_connectionState.load();
    m_nSentCount = other.m_nSentCount.load();
    m_pLoginMessage = other.m_pLoginMessage;
    m_pSendingMessage = other.m_pSendingMessage;
    m_nReconCount = other.m_nReconCount.load();
    m_hSendSemaphore = other.m_hSendSemaphore;
    m_hConnection = other.m_hConnection;
    m_lPrevSendCount = other.m_lPrevSendCount.load();
    m_bSendPending = other.m_bSendPending.load();
    m_bNetThreadRunning = other.m_bNetThreadRunning.load();
    m_nLastConnType = other.m_nLastConnType.load();
    m_nConnType = other.m_nConnType.load();
    m_bConnecting = other.m_bConnecting.load();
    m_nPort = other.m_nPort.load();
    m_bTunnelOpen = other.m_bTunnelOpen.load();
    m_dwLastSendTick = other.m_dwLastSendTick.load();
    m_dwLastRecvTick = other.m_dwLastRecvTick.load();
    m_bSocketConnected = other.m_bSocketConnected.load();
    m_clientParams = other.m_clientParams;
    m_nAttemptCount = other.m_nAttemptCount.load();
    m_nHostIndex = other.m_nHostIndex;
    m_nMaxReconCount = other.m_nMaxReconCount.load();
    m_bLoginPending = other.m_bLoginPending.load();
    m_hDisconnectSentEvent = other.m_hDisconnectSentEvent;
    m_nTotalSent = other.m_nTotalSent.load();
    m_nTotalReceived = other.m_nTotalReceived.load();
    m_bKeepAlivePending = other.m_bKeepAlivePending.load();
    m_bMainThreadExit = other.m_bMainThreadExit.load();
    m_bNetThreadExited = other.m_bNetThreadExited.load();
    m_bSendThreadExit = other.m_bSendThreadExit.load();
    m_pNetHandler = other.m_pNetHandler.load();
    m_bOpened = other.m_bOpened.load();
    m_pOutputQueue = other.m_pOutputQueue;
    m_pInputQueue = other.m_pInputQueue;
    m_pPartsQueue = other.m_pPartsQueue;
    std::memcpy(m_cacheBuf, other.m_cacheBuf, sizeof(m_cacheBuf));
    m_pPlatform = other.m_pPlatform;
    m_hStandbyEvent = other.m_hStandbyEvent;
    m_pInternals = other.m_pInternals;
    m_bOwner = false;
    return *this;
}

CNetClient::~CNetClient() {
    if (!m_bOwner) return;  // a copy shares everything and releases nothing
    // Destroying a running client would free what its threads still use.
    if (m_hMainThread || m_hSendDataThread || m_hNetEventThread) Close(false);
    ReleaseOwnedObjects();
    NetClientTrace("Destroyed !");
}

void CNetClient::ReleaseOwnedObjects() {
    if (m_pOutputQueue) {
        m_pInternals->outbox.Clear();
        delete m_pOutputQueue;
        m_pOutputQueue = nullptr;
    }
    for (CMessageQueue** queue : {&m_pInputQueue, &m_pPartsQueue}) {
        if (*queue == nullptr) continue;
        (*queue)->ClearItems();
        delete *queue;
        *queue = nullptr;
    }
    for (int slot : {0, 1, 2, 3, 5}) {
        if (m_hMainEvents[slot]) m_pPlatform->CloseHandle(m_hMainEvents[slot]);
        m_hMainEvents[slot] = nullptr;
    }
    if (m_hStandbyEvent) m_pPlatform->CloseHandle(m_hStandbyEvent);
    m_hStandbyEvent = nullptr;
    m_hMainEvents[4] = nullptr;
    if (m_hDisconnectSentEvent) m_pPlatform->CloseHandle(m_hDisconnectSentEvent);
    m_hDisconnectSentEvent = nullptr;
    delete m_pLoginMessage;
    m_pLoginMessage = nullptr;
    delete m_pInternals;
    m_pInternals = nullptr;
}

void CNetClient::SetNetHandler(NetHandler handler) { m_pNetHandler = handler; }

void CNetClient::SetConnectionState(enConnectionState state) {
    // A closed client stays closed: a log-in answer or a completed connect
    // handled while Close runs must not bring it back (the send thread would
    // then never see CONN_CLOSED and Close would wait for it for ever).
    int current = m_connectionState.load();
    while (current != CONN_CLOSED) {
        if (m_connectionState.compare_exchange_weak(current, state)) return;
    }
}

int CNetClient::GetConnectionState() { return m_connectionState; }

int CNetClient::GetReconCount() { return m_nReconCount; }

int CNetClient::IncreaseReconCount() { return ++m_nReconCount; }

void CNetClient::ZeroReconCount() { m_nReconCount = 0; }

void CNetClient::SuspendNetThread() {
    Handle thread = m_hNetEventThread;
    if (m_bNetThreadRunning && thread != nullptr) {
        m_pPlatform->SuspendThread(thread);
        m_bNetThreadRunning = false;
    }
}

void CNetClient::ResumeNetThread() {
    Handle thread = m_hNetEventThread;
    if (!m_bNetThreadRunning && thread != nullptr) {
        m_pPlatform->ResumeThread(thread);
        m_bNetThreadRunning = true;
    }
}

void CNetClient::NetClientTrace(char* text, bool flag) { m_pPlatform->Trace(text, flag); }

void CNetClient::NetClientTrace(const char* text, bool flag) { m_pPlatform->Trace(text, flag); }

void CNetClient::ReleaseSendSemaphore(long count) { m_pInternals->outbox.Wake(count); }

void CNetClient::CloseSocketNow() {
    transport::SocketHandle socket = m_socket.exchange(transport::kInvalidSocket);
    if (socket == transport::kInvalidSocket) return;
    m_pPlatform->ShutdownSend(socket);
    m_pPlatform->CloseSocket(socket);
}

void CNetClient::Encode(char* buffer, unsigned long length) {
    transport::EncodeCredential(buffer, length);
}

void CNetClient::Decode(char* buffer, unsigned long length) {
    transport::DecodeCredential(buffer, length);
}
