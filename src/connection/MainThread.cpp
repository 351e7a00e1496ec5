// The supervisor thread: serves the six command events and, when nothing
// happens for 30 seconds, polls the bearer and watches for unanswered
// requests and silent connections.

#include <transport/NetClient.h>

#include <algorithm>

#include <cstdint>
#include <cstdio>

#include "client/ClientInternals.h"
#include "client/EventSlots.h"
#include "connection/ConnectionState.h"

namespace {

constexpr std::uint32_t kMainWaitMs = 30000;
constexpr std::uint32_t kResponseTimeoutMs = 60000;
constexpr unsigned long kSocketReconnectDelayMs = 500;
// Pause after a failed wait, so that a broken handle does not spin the loop.
constexpr std::uint32_t kFailedWaitPauseMs = 100;

const char* DisconnectionText(std::uint32_t status) {
    return status == transport::kCmStatusDisconnected
               ? "Connection status changed: No connection!!! (Disconnected)"
               : "Connection status changed: No connection!!!(Connection lost)";
}

}  // namespace

unsigned long CNetClient::MainThread(void* arg) {
    CNetClient& c = *static_cast<CNetClient*>(arg);
    transport::Platform& platform = *c.m_pPlatform;
    transport::Handle* events = c.m_hMainEvents;
    auto take = [&](int slot) { platform.ResetEvent(events[slot]); };

    while (!c.m_bMainThreadExit) {
        // The checks run at least twice per keep-alive interval.
        const std::uint32_t wait = std::min(kMainWaitMs, c.m_pInternals->keepAliveMs / 2);
        const std::uint32_t result = platform.Wait(events, transport::kMainSlots, wait);
        switch (result) {
            case transport::kWaitObject0 + transport::kSlotConnect:
                take(transport::kSlotConnect);
                c.Connect();
                break;
            case transport::kWaitObject0 + transport::kSlotCloseRequest:
                // Nothing asks for this; reset it so that it cannot spin the loop.
                take(transport::kSlotCloseRequest);
                break;
            case transport::kWaitObject0 + transport::kSlotReconnect:
                take(transport::kSlotReconnect);
                c.ReConnect(kSocketReconnectDelayMs, true);
                break;
            case transport::kWaitObject0 + transport::kSlotExit:
                take(transport::kSlotExit);
                c.m_bMainThreadExit = true;
                break;
            case transport::kWaitObject0 + transport::kSlotBearerStatus:
                take(transport::kSlotBearerStatus);
                c.OnBearerStatusChanged();
                break;
            case transport::kWaitObject0 + transport::kSlotAutoConnect:
                take(transport::kSlotAutoConnect);
                c.AutoConnect();
                break;
            case transport::kWaitTimeout:
                c.RunPeriodicChecks();
                break;
            default:
                platform.Sleep(kFailedWaitPauseMs);
                break;
        }
    }

    c.NetClientTrace("Main Thread exited !");
    return 0;
}

std::uint32_t CNetClient::ReadBearerStatus() {
    // A failed status query (no connection handle yet) reads as 0: no action.
    std::uint32_t status = 0;
    if (m_pPlatform->CmConnectionStatus(m_hConnection, &status) != 0) status = 0;
    return status;
}

void CNetClient::OnBearerStatusChanged() {
    const std::uint32_t status = ReadBearerStatus();
    CheckConnManagerStatus(status, true);
    if (status & transport::kCmStatusDisconnected) {
        OnBearerLost(status, m_clientParams.dwReconDelay);
    } else if (status == transport::kCmStatusConnected) {
        OnBearerConnected();
    } else if (status & transport::kCmStatusWaitingFamily) {
        NetClientTrace("Connection status changed: Waiting for Connection");
    }
}

bool CNetClient::OnBearerLost(std::uint32_t status, unsigned long delay) {
    NetClientTrace(DisconnectionText(status));
    if (!transport::SetStateUnlessClosed(m_connectionState, CONN_NOT_CONNECTED)) return false;
    ReportConnection(NetConnectionEvent::DISCONNECTED, static_cast<int>(status));
    ReConnect(delay, false);
    return true;
}

void CNetClient::OnBearerConnected() {
    // A refused or closed client stays closed whatever the bearer says.
    if (GetConnectionState() == CONN_CLOSED) return;
    NetClientTrace("Connection status changed: Connected!!!");
    m_bConnecting = false;
    if (GetNetworkType() == NETTYPE_CELLULAR) BrowseInet();
    if (!m_bSocketConnected) {
        Connect();
        return;
    }
    // The bearer re-confirmed a live socket. Its connection type stays: an
    // HTTP line must stay wrapped, and the next reconnect must keep the way
    // that worked rather than fall back to the direct one.
    ZeroReconCount();
    SetConnectionState(CONN_CONNECTED);
    // Messages queued while the bearer was away go now, one per answer.
    const int waiting = m_pInternals->outbox.Count();
    if (waiting >= 1) {
        char text[64];
        std::snprintf(text, sizeof(text), "Message in Send queue =%d", waiting);
        NetClientTrace(text);
        SendStep(transport::SendTurns::kWork);
    } else {
        SendKeepAlive();
    }
}

void CNetClient::RunPeriodicChecks() {
    // The first check that acts ends them.
    if (m_bConnecting) return;

    const std::uint32_t status = ReadBearerStatus();
    CheckConnManagerStatus(status, false);
    if ((status & transport::kCmStatusDisconnected) &&
        OnBearerLost(status, kSocketReconnectDelayMs)) {
        return;
    }

    const std::uint32_t now = m_pPlatform->GetTickCount();
    if (transport::TicksSince(now, m_dwLastSendTick) >= kResponseTimeoutMs && m_bSendPending) {
        NetClientTrace("Response Time Out...");
        // A keep-alive that went unanswered as well means the link is dead.
        if (m_bKeepAlivePending) {
            ReportConnection(NetConnectionEvent::DISCONNECTED, transport::kErrTimedOut);
            ReConnect(kSocketReconnectDelayMs, true);
        } else {
            SendKeepAlive();
        }
        return;
    }

    if (transport::TicksSince(now, m_dwLastRecvTick) >= m_pInternals->keepAliveMs && !m_bSendPending &&
        GetConnectionState() == CONN_CONNECTED) {
        SendKeepAlive();
    }
}
