// The send path: the send thread, SendData (what to transmit and how it is
// wrapped) and SendSocket (one bounded send with its bookkeeping).
//
// Stop and wait: one request at a time, and a queued message stays queued
// until the server has answered it.

#include <transport/NetClient.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "client/ClientInternals.h"
#include "client/EventSlots.h"
#include "connection/HostEntry.h"
#include "message/MessageIds.h"

using transport::Platform;

namespace {

constexpr std::uint32_t kSendTimeoutMs = 2000;
constexpr unsigned long kTraceTextMax = 4000;

}  // namespace

unsigned long CNetClient::SendDataThread(void* client) {
    CNetClient& self = *static_cast<CNetClient*>(client);
    Platform& platform = *self.m_pPlatform;

    self.m_bSendThreadExit = false;
    while (!self.m_bSendThreadExit) {
        if (platform.WaitOne(self.m_hSendSemaphore, transport::kInfinite) !=
            transport::kWaitObject0) {
            // No semaphore to wait on: nothing could ever wake this thread.
            self.m_bSendThreadExit = true;
            break;
        }
        const int state = self.GetConnectionState();
        if (state == CONN_CLOSED) {
            self.m_bSendThreadExit = true;
            break;
        }
        if (state == CONN_NOT_CONNECTED || !self.m_bSocketConnected) {
            // New work after the client gave up buys one more attempt.
            if (self.GetReconCount() == self.m_nMaxReconCount) {
                --self.m_nReconCount;
                platform.SetEvent(self.m_hMainEvents[transport::kSlotConnect]);
            }
            continue;
        }

        const int priority = self.SendData();
        // Only a transmission can be answered: with nothing written (empty
        // queue, no log-in message, failed send) the reply wait would never end.
        if (!self.m_pInternals->transmitted) continue;

        const std::uint32_t woken = platform.Wait(self.m_hSendEvents, 2, transport::kInfinite);
        if (woken != transport::kWaitObject0) {
            self.m_bSendThreadExit = true;
            break;
        }
        platform.ResetEvent(self.m_hSendEvents[transport::kSlotResponse]);
        self.m_bSendPending = false;
        self.m_pInternals->outbox.Answered(priority, self.GetConnectionState() == CONN_CONNECTED);
    }

    self.NetClientTrace("SendData Thread exited !");
    return 0;
}

int CNetClient::SendData() {
    NetClientTrace("SendData started");
    transport::ClientInternals& in = *m_pInternals;
    in.transmitted = false;
    const transport::Outbox::Line line{GetConnectionState() == CONN_CONNECTED, m_nConnType,
                                       m_bTunnelOpen, transport::SplitHostEntry(m_pszCurrentHost).name,
                                       m_nPort};
    int priority = 0;
    int messageId = 0;
    if (!in.outbox.Next(line, &in.request, &priority, &messageId)) return 0;

    // Only what arrives after this transmission answers it.
    in.outbox.BeginTransmission();
    if (m_hSendEvents[transport::kSlotResponse] != nullptr) {
        m_pPlatform->ResetEvent(m_hSendEvents[transport::kSlotResponse]);
    }
    if (!SendSocket(&in.request[0], static_cast<unsigned long>(in.request.size()), messageId)) {
        return -1;
    }
    in.transmitted = true;
    return priority;
}

bool CNetClient::SendSocket(char* data, unsigned long length, int messageId) {
    // The send thread, the keep-alive and Close's disconnect never send at once.
    std::lock_guard<std::mutex> lock(m_pInternals->sendMutex);
    NetClientTrace("Send started");

    std::uint32_t sent = 0;
    const int error = m_pPlatform->Send(m_socket, data, static_cast<std::uint32_t>(length),
                                        kSendTimeoutMs, &sent);
    const bool incomplete =
        error == transport::kErrIoIncomplete || (error == 0 && sent == 0 && length != 0);
    if (incomplete) {
        if (m_bSocketConnected) GetSockError(true, transport::kErrIoIncomplete);
        NetClientTrace("SendData WSAGetOverlappedResult return false");
        // The next completed connect releases a send thread waiting for a
        // reply that cannot come.
        m_bSendPending = true;
        return false;
    }
    if (error != 0) {
        if (m_bSocketConnected) GetSockError(true, error);
        return false;
    }

    m_nTotalSent += sent;
    m_dwLastSendTick = m_pPlatform->GetTickCount();
    m_bSendPending = true;
    if (m_pPlatform->TraceEnabled()) {
        // A long request is cut in the trace, never the line's end.
        char line[4096];
        const int shown = static_cast<int>(length < kTraceTextMax ? length : kTraceTextMax);
        std::snprintf(line, sizeof(line), "S E N T>>>: %.*s Bytes sent = %d\r\nSendData finished",
                      shown, data, static_cast<int>(sent));
        NetClientTrace(line);
    }
    if (messageId == transport::kIdDisconnect && m_hDisconnectSentEvent != nullptr) {
        m_pPlatform->SetEvent(m_hDisconnectSentEvent);
    }
    return true;
}
