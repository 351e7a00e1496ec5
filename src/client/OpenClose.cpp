// Open starts the three worker threads; Close stops them for good.

#include <transport/NetClient.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "client/ClientInternals.h"
#include "client/EventSlots.h"
#include "message/MessageQueue.h"

using transport::Handle;

namespace {

// Host entries must be terminated inside their fields whatever the caller wrote.
void TerminateHosts(NetClientParams& params) {
    params.szHost1[sizeof(params.szHost1) - 1] = '\0';
    params.szHost2[sizeof(params.szHost2) - 1] = '\0';
    params.szHost3[sizeof(params.szHost3) - 1] = '\0';
    params.szHost4[sizeof(params.szHost4) - 1] = '\0';
    params.szBrowseUrl[sizeof(params.szBrowseUrl) - 1] = '\0';
}

bool IsEmpty(const char* host) { return host == nullptr || host[0] == '\0'; }

}  // namespace

bool CNetClient::Open(NetClientParams& params) {
    if (GetConnectionState() == CONN_CLOSED) return false;
    if (m_bOpened) return true;

    std::memset(&m_clientParams, 0, sizeof(m_clientParams));
    std::memcpy(&m_clientParams, &params, sizeof(m_clientParams));
    TerminateHosts(m_clientParams);
    m_nMaxReconCount = m_clientParams.nMaxReconCount > INT_MAX
                           ? INT_MAX
                           : static_cast<int>(m_clientParams.nMaxReconCount);

    m_pszCurrentHost = m_clientParams.szHost1;
    for (int i = 0; i < 4 && IsEmpty(m_pszCurrentHost); ++i) m_pszCurrentHost = GetNextHostName();
    if (IsEmpty(m_pszCurrentHost)) return false;

    m_socket = transport::kInvalidSocket;
    m_hMainThread = nullptr;
    m_hNetEventThread = nullptr;
    m_hSendDataThread = nullptr;
    m_bSendThreadExit = false;
    m_bNetThreadExited = false;
    m_bMainThreadExit = false;

    if (!StartRun()) {
        // An Open that fails undoes what it started: no thread outlives it
        // unjoined, and a later Open starts from nothing.
        const int state = m_connectionState.exchange(CONN_CLOSED);
        StopThreads();
        ReleaseRunObjects();
        m_connectionState = state;
        return false;
    }
    m_bOpened = true;
    return true;
}

bool CNetClient::StartRun() {
    for (Handle* event : {&m_hNetEvents[0], &m_hNetEvents[1], &m_hSendEvents[0], &m_hSendEvents[1]}) {
        *event = m_pPlatform->CreateEvent();
        if (*event == nullptr) {
            GetSockError(false, 0);
            return false;
        }
    }
    m_hSendSemaphore =
        m_pPlatform->CreateSemaphore(0, static_cast<long>(transport::Outbox::kMaxQueued));
    if (m_hSendSemaphore == nullptr) return false;

    m_hNetEventThread = m_pPlatform->CreateThread(&CNetClient::NetEventThread, this, true);
    if (m_hNetEventThread == nullptr) return false;
    m_bNetThreadRunning = false;
    ResumeNetThread();

    m_hSendDataThread = m_pPlatform->CreateThread(&CNetClient::SendDataThread, this, true);
    if (m_hSendDataThread == nullptr) return false;
    m_pPlatform->ResumeThread(m_hSendDataThread);

    m_hMainThread = m_pPlatform->CreateThread(&CNetClient::MainThread, this, true);
    if (m_hMainThread == nullptr) return false;
    m_pPlatform->ResumeThread(m_hMainThread);
    return true;
}

void CNetClient::StopThreads() {
    ReleaseSendSemaphore(1);
    if (m_hSendEvents[transport::kSlotSendKill]) {
        m_pPlatform->SetEvent(m_hSendEvents[transport::kSlotSendKill]);
    }
    ResumeNetThread();
    if (m_hNetEvents[transport::kSlotNetKill]) {
        m_pPlatform->SetEvent(m_hNetEvents[transport::kSlotNetKill]);
    }
    if (m_hMainEvents[transport::kSlotExit]) m_pPlatform->SetEvent(m_hMainEvents[transport::kSlotExit]);

    // The main thread goes first: until it has ended it may still suspend or
    // restart the network-event thread, or write a state over CONN_CLOSED.
    JoinThread(m_hMainThread);
    m_hMainThread = nullptr;
    SetConnectionState(CONN_CLOSED);
    ReleaseSendSemaphore(1);
    ResumeNetThread();
    JoinThread(m_hNetEventThread.exchange(nullptr));
    m_bNetThreadRunning = false;
    JoinThread(m_hSendDataThread);
    m_hSendDataThread = nullptr;
    CloseSocketNow();
}

void CNetClient::ReleaseRunObjects() {
    if (m_hSendSemaphore) m_pPlatform->CloseHandle(m_hSendSemaphore);
    m_hSendSemaphore = nullptr;
    for (Handle* event : {&m_hNetEvents[0], &m_hNetEvents[1], &m_hSendEvents[0], &m_hSendEvents[1]}) {
        if (*event) m_pPlatform->CloseHandle(*event);
        *event = nullptr;
    }
    if (m_hMainEvents[transport::kSlotExit]) {
        m_pPlatform->ResetEvent(m_hMainEvents[transport::kSlotExit]);
    }
}

void CNetClient::JoinThread(Handle thread) {
    if (thread == nullptr) return;
    m_pPlatform->WaitOne(thread, transport::kInfinite);
    m_pPlatform->CloseHandle(thread);
}

bool CNetClient::Close(bool clearQueues) {
    NetClientTrace("Closing NetClient !!!");
    m_bOpened = false;
    // Send refuses from here on: nothing is queued into a client that will
    // never send it, and no wake-up reaches the semaphore freed below.
    m_pInternals->outbox.Shut();

    // The message in flight goes with the queue; the send thread and the
    // receive path only use it under the queue's lock.
    if (clearQueues) m_pInternals->outbox.Clear();

    if (GetConnectionState() == CONN_CONNECTED) SendDisconnect();
    SetConnectionState(CONN_CLOSED);

    StopThreads();

    // The input and parts queues belong to the network-event thread while it
    // runs: they are emptied once it has ended.
    if (clearQueues) {
        if (m_pInputQueue) m_pInputQueue->ClearItems();
        if (m_pPartsQueue) m_pPartsQueue->ClearItems();
    }
    ReleaseRunObjects();

    m_pPlatform->SocketCleanup();
    if (m_hConnection != nullptr) {
        m_pPlatform->CmReleaseConnection(m_hConnection, 0);
        m_hConnection = nullptr;
        m_hMainEvents[transport::kSlotBearerStatus] = m_hStandbyEvent;
    }

    char text[320];
    std::snprintf(text, sizeof(text),
                  "\r\n*************************************************\r\n"
                  "*****T O T A L   T R A N S F E R E D*****\r\n"
                  "Sent     - %u bytes\r\nReceived - %u bytes\r\n"
                  "*************************************************",
                  m_nTotalSent.load(), m_nTotalReceived.load());
    NetClientTrace(text);
    return true;
}
