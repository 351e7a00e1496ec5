// The reconnection policy: a bearer reconnect through the connection
// manager, or a socket-level walk over connection types and host entries,
// until the reconnection limit is reached.

#include <transport/NetClient.h>

#include <cstdio>

#include "client/EventSlots.h"
#include "connection/ConnectionState.h"
#include "connection/ConnectionWalk.h"

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
        ReportConnection(NetConnectionEvent::GAVE_UP);
        SetError(package, 11);
        Deliver(package);
        return;
    }

    if (!bSocketLevel) {
        // Slot 4 must stay a valid handle once the connection is released.
        m_hMainEvents[transport::kSlotBearerStatus] = m_hMainEvents[transport::kSlotConnect];
        if (m_hConnection != nullptr) {
            m_pPlatform->CmReleaseConnection(m_hConnection, 0);
            // Released handles are never queried or released again.
            m_hConnection = nullptr;
        }
        m_pPlatform->Sleep(dwDelay);
        IncreaseReconCount();
        m_pPlatform->SetEvent(m_hMainEvents[transport::kSlotAutoConnect]);
        return;
    }

    if (m_bConnecting) return;  // an attempt is already under way

    transport::WalkPosition position = GetWalk();
    const transport::WalkMove move = transport::NextAttempt(position, HostsSet());
    SetWalk(position);
    if (move.wrapped) m_pPlatform->Sleep(m_clientParams.dwReconDelay);
    if (move.step == transport::WalkStep::kNextHost) m_pszCurrentHost = HostEntry(m_nHostIndex);
    if (move.step == transport::WalkStep::kEmptyHost) {
        m_pszCurrentHost = nullptr;
        NetClientTrace("GetNextHostName() return NULL");
        m_pPlatform->SetEvent(m_hMainEvents[transport::kSlotReconnect]);
        return;
    }

    if (GetConnectionState() != CONN_NOT_CONNECTED) ShutDown();
    m_pPlatform->Sleep(dwDelay);
    m_pPlatform->SetEvent(m_hMainEvents[transport::kSlotConnect]);
}

char* CNetClient::GetNextHostName() {
    transport::WalkPosition position = GetWalk();
    bool wrapped = false;
    const bool set = transport::NextHost(position, HostsSet(), &wrapped);
    SetWalk(position);
    // A full pass over the entries is one reconnection cycle, after a pause.
    if (wrapped) m_pPlatform->Sleep(m_clientParams.dwReconDelay);
    return set ? HostEntry(m_nHostIndex) : nullptr;
}

char* CNetClient::HostEntry(int index) {
    char* const entries[transport::kHostEntries] = {m_clientParams.szHost1, m_clientParams.szHost2,
                                                    m_clientParams.szHost3, m_clientParams.szHost4};
    return entries[index & 3];
}

unsigned CNetClient::HostsSet() {
    unsigned set = 0;
    for (int i = 0; i < transport::kHostEntries; ++i) {
        if (HostEntry(i)[0] != '\0') set |= 1u << i;
    }
    return set;
}

transport::WalkPosition CNetClient::GetWalk() {
    return {m_nAttemptCount, m_nHostIndex, m_nReconCount, m_nConnType, m_nLastConnType};
}

void CNetClient::SetWalk(const transport::WalkPosition& position) {
    m_nAttemptCount = position.attempt;
    m_nHostIndex = position.hostIndex;
    m_nReconCount = position.reconCount;
    m_nConnType = position.connType;
    m_nLastConnType = position.lastConnType;
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
