// The supervisor thread: serves the six command events and, when nothing
// happens for 30 seconds, polls the bearer and watches for unanswered
// requests and silent connections.

#include <transport/NetClient.h>

#include <cstdint>
#include <cstdio>

#include "client/ClientInternals.h"
#include "client/EventSlots.h"
#include "connection/ConnectionState.h"

namespace {

constexpr std::uint32_t kMainWaitMs = 30000;
constexpr std::uint32_t kResponseTimeoutMs = 60000;
constexpr std::uint32_t kKeepAliveIntervalMs = 60000;
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

    // A failed status query (no connection handle yet) reads as 0: no action.
    auto readBearerStatus = [&c, &platform]() {
        std::uint32_t status = 0;
        if (platform.CmConnectionStatus(c.m_hConnection, &status) != 0) status = 0;
        return status;
    };

    // The bearer went down: start over with a new bearer, unless closed.
    // Returns whether a reconnect was started.
    auto onBearerLost = [&c](std::uint32_t status, unsigned long delay) {
        c.NetClientTrace(DisconnectionText(status));
        if (!transport::SetStateUnlessClosed(c.m_connectionState, CONN_NOT_CONNECTED)) return false;
        c.ReConnect(delay, false);
        return true;
    };

    auto onBearerConnected = [&c]() {
        // A refused or closed client stays closed whatever the bearer says.
        if (c.GetConnectionState() == CONN_CLOSED) return;
        c.NetClientTrace("Connection status changed: Connected!!!");
        c.m_bConnecting = false;
        if (c.GetNetworkType() == NETTYPE_CELLULAR) c.BrowseInet();
        if (!c.m_bSocketConnected) {
            c.Connect();
            return;
        }
        // The bearer re-confirmed a live socket. Its connection type stays:
        // an HTTP line must stay wrapped, and the next reconnect must keep
        // the way that worked rather than fall back to the direct one.
        c.ZeroReconCount();
        c.SetConnectionState(CONN_CONNECTED);
        // The count kept from the last release is stale once the send thread
        // has used up wake-ups without sending, as it does while the bearer
        // is away: two messages queued then would get one wake-up, and the
        // second would wait for the next event. One release reads the
        // semaphore's present count; further ones make one wake-up per
        // queued message. A spare wake-up finds the queue empty and is lost.
        c.ReleaseSendSemaphore(1);
        const long waiting = c.m_pInternals->outbox.Unannounced();
        if (waiting >= 1) {
            char text[64];
            std::snprintf(text, sizeof(text), "Message in Send queue =%ld", waiting);
            c.NetClientTrace(text);
            c.ReleaseSendSemaphore(waiting - 1);
        } else {
            c.SendKeepAlive();
        }
    };

    auto onBearerStatusChanged = [&]() {
        platform.ResetEvent(c.m_hMainEvents[transport::kSlotBearerStatus]);
        std::uint32_t status = readBearerStatus();
        c.CheckConnManagerStatus(status, true);
        if (status & transport::kCmStatusDisconnected) {
            onBearerLost(status, c.m_clientParams.dwReconDelay);
        } else if (status == transport::kCmStatusConnected) {
            onBearerConnected();
        } else if (status & transport::kCmStatusWaitingFamily) {
            c.NetClientTrace("Connection status changed: Waiting for Connection");
        }
    };

    // The 30-second checks; the first one that acts ends them.
    auto periodicChecks = [&]() {
        if (c.m_bConnecting) return;

        std::uint32_t status = readBearerStatus();
        c.CheckConnManagerStatus(status, false);
        if ((status & transport::kCmStatusDisconnected) &&
            onBearerLost(status, kSocketReconnectDelayMs)) {
            return;
        }

        std::uint32_t now = platform.GetTickCount();
        if (transport::TicksSince(now, c.m_dwLastSendTick) >= kResponseTimeoutMs &&
            c.m_bSendPending) {
            c.NetClientTrace("Response Time Out...");
            // A keep-alive that went unanswered as well means the link is dead.
            if (c.m_bKeepAlivePending) {
                c.ReConnect(kSocketReconnectDelayMs, true);
            } else {
                c.SendKeepAlive();
            }
            return;
        }

        if (transport::TicksSince(now, c.m_dwLastRecvTick) >= kKeepAliveIntervalMs &&
            !c.m_bSendPending && c.GetConnectionState() == CONN_CONNECTED) {
            c.SendKeepAlive();
        }
    };

    while (!c.m_bMainThreadExit) {
        std::uint32_t result = platform.Wait(c.m_hMainEvents, transport::kMainSlots, kMainWaitMs);
        switch (result) {
            case transport::kWaitObject0 + transport::kSlotConnect:
                platform.ResetEvent(c.m_hMainEvents[transport::kSlotConnect]);
                c.Connect();
                break;
            case transport::kWaitObject0 + transport::kSlotCloseRequest:
                // Nothing asks for this; reset it so that it cannot spin the loop.
                platform.ResetEvent(c.m_hMainEvents[transport::kSlotCloseRequest]);
                break;
            case transport::kWaitObject0 + transport::kSlotReconnect:
                platform.ResetEvent(c.m_hMainEvents[transport::kSlotReconnect]);
                c.ReConnect(kSocketReconnectDelayMs, true);
                break;
            case transport::kWaitObject0 + transport::kSlotExit:
                platform.ResetEvent(c.m_hMainEvents[transport::kSlotExit]);
                c.m_bMainThreadExit = true;
                break;
            case transport::kWaitObject0 + transport::kSlotBearerStatus:
                onBearerStatusChanged();
                break;
            case transport::kWaitObject0 + transport::kSlotAutoConnect:
                platform.ResetEvent(c.m_hMainEvents[transport::kSlotAutoConnect]);
                c.AutoConnect();
                break;
            case transport::kWaitTimeout:
                periodicChecks();
                break;
            default:
                platform.Sleep(kFailedWaitPauseMs);
                break;
        }
    }

    c.NetClientTrace("Main Thread exited !");
    return 0;
}
