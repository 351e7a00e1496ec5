// The reconnection policy: a bearer reconnect through the connection
// manager, or a socket-level walk over connection types and host entries,
// until the reconnection limit is reached.

#include <transport/NetClient.h>

#include <cstdio>

#include "connection/ConnectionState.h"

namespace {

enum MainSlot { kSlotConnect = 0, kSlotReconnect = 2, kSlotBearerStatus = 4, kSlotAutoConnect = 5 };

// Three ways of reaching a host are tried before the walk moves on.
constexpr int kTypesPerHost = 3;

}  // namespace

void CNetClient::ReConnect(unsigned long dwDelay, bool bSocketLevel) {
    if (GetConnectionState() == CONN_CLOSED) return;

    char text[96];
    std::snprintf(text, sizeof(text), "Reconnecting... Reconnect Count=%d, Attempt Count=%d",
                  m_nReconCount.load(), m_nAttemptCount.load());
    NetClientTrace(text);

    if (m_nReconCount >= m_nMaxReconCount) {
        // Given up: tell the application once and schedule nothing more.
        NetPackage package;
        NetClientTrace("ReconCount=MAXRECONCOUNT Set to Application Connection Refused ...");
        SetError(package, 11);
        Deliver(package);
        return;
    }

    if (!bSocketLevel) {
        // Slot 4 must stay a valid handle once the connection is released.
        m_hMainEvents[kSlotBearerStatus] = m_hMainEvents[kSlotConnect];
        if (m_hConnection != nullptr) {
            m_pPlatform->CmReleaseConnection(m_hConnection, 0);
            // Released handles are never queried or released again.
            m_hConnection = nullptr;
        }
        m_pPlatform->Sleep(dwDelay);
        IncreaseReconCount();
        m_pPlatform->SetEvent(m_hMainEvents[kSlotAutoConnect]);
        return;
    }

    if (m_bConnecting) return;  // an attempt is already under way

    int attempt = ++m_nAttemptCount;
    if (m_nLastConnType != CONNTYPE_NONE) {
        // A way that worked before: keep host and type, count a cycle.
        IncreaseReconCount();
    } else if (attempt >= kTypesPerHost) {
        m_nConnType = CONNTYPE_DIRECT;
        m_nAttemptCount = 0;
        m_pszCurrentHost = GetNextHostName();
        if (m_pszCurrentHost == nullptr) {
            // Come back through the main loop, which moves on to the next entry.
            NetClientTrace("GetNextHostName() return NULL");
            m_nAttemptCount = kTypesPerHost - 1;
            m_pPlatform->SetEvent(m_hMainEvents[kSlotReconnect]);
            return;
        }
    } else {
        m_nConnType = attempt % kTypesPerHost;
    }

    if (GetConnectionState() != CONN_NOT_CONNECTED) ShutDown();
    m_pPlatform->Sleep(dwDelay);
    m_pPlatform->SetEvent(m_hMainEvents[kSlotConnect]);
}

char* CNetClient::GetNextHostName() {
    ++m_nHostIndex;
    if (m_nHostIndex > 3 || m_nHostIndex < 0) {
        // A full pass over the entries is one reconnection cycle.
        m_nHostIndex = 0;
        IncreaseReconCount();
        m_pPlatform->Sleep(m_clientParams.dwReconDelay);
    }
    char* const entries[4] = {m_clientParams.szHost1, m_clientParams.szHost2,
                              m_clientParams.szHost3, m_clientParams.szHost4};
    char* entry = entries[m_nHostIndex];
    return entry[0] != '\0' ? entry : nullptr;
}

void CNetClient::ShutDown() {
    m_bTunnelOpen = false;
    m_bSocketConnected = false;
    // The network-event thread must not be polling the socket we close.
    SuspendNetThread();
    CloseSocketNow();
    NetClientTrace("Socket shutdown");
    transport::SetStateUnlessClosed(m_connectionState, CONN_NOT_CONNECTED);
}
