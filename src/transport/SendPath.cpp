// The send path: the send step, run by whichever thread finds the line free
// (the network-event thread on an answer, the application's in Send, the
// send thread for the rest), SendData (what to transmit and how it is
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
using transport::SendTurns;

namespace {

constexpr std::uint32_t kSendTimeoutMs = 2000;
// The longest request a thread other than the send thread writes.
constexpr std::size_t kInlineWriteMax = 16384;
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
        if (self.GetConnectionState() == CONN_CLOSED) {
            self.m_bSendThreadExit = true;
            break;
        }
        self.m_pInternals->turns.Run(
            SendTurns::kWork, true, [&self](unsigned requests) { self.SendRound(requests, true); });
    }

    self.NetClientTrace("SendData Thread exited !");
    return 0;
}

void CNetClient::SendStep(unsigned request) {
    transport::ClientInternals& in = *m_pInternals;
    const SendTurns::Ran ran =
        in.turns.Run(request, false, [this](unsigned requests) { SendRound(requests, false); });
    // Asked from inside a write of this thread (a handler called on a failed
    // send): the send thread runs the round.
    if (ran == SendTurns::Ran::kNested) in.outbox.WakeUnlessShut();
}

void CNetClient::SendRound(unsigned requests, bool sendThread) {
    transport::ClientInternals& in = *m_pInternals;
    // Read after the socket's flag, which a completed connect sets after
    // counting the new connection.
    const bool socketConnected = m_bSocketConnected;
    const unsigned line = in.line;
    if (in.awaiting && ((requests & SendTurns::kAnswered) != 0 || in.awaitingLine != line)) {
        in.awaiting = false;
        m_bSendPending = false;
        in.outbox.Answered(in.awaitingPriority, GetConnectionState() == CONN_CONNECTED);
    }
    const int state = GetConnectionState();
    if (state == CONN_CLOSED) return;
    if (state == CONN_NOT_CONNECTED || !socketConnected) {
        if (!sendThread) {
            if ((requests & SendTurns::kWork) != 0) in.outbox.WakeUnlessShut();
        } else if (GetReconCount() == m_nMaxReconCount) {
            // New work after the client gave up buys one more attempt.
            --m_nReconCount;
            m_pPlatform->SetEvent(m_hMainEvents[transport::kSlotConnect]);
        }
        return;
    }
    // Stop and wait: the next request goes once this one is answered.
    if (in.awaiting) return;

    in.inlineOnly = !sendThread;
    in.leftToSendThread = false;
    const int priority = SendData();
    if (in.leftToSendThread) in.outbox.WakeUnlessShut();
    // Only a transmission can be answered: with nothing written (empty
    // queue, no log-in message, failed send) no answer is awaited.
    if (!in.transmitted) return;
    in.awaiting = true;
    in.awaitingPriority = priority;
    in.awaitingLine = line;
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
    if (in.inlineOnly && in.request.size() > kInlineWriteMax) {
        // A long write could hold this thread for seconds (the network-event
        // thread would stop reading): the send thread writes it.
        in.outbox.Answered(priority, false);
        in.leftToSendThread = true;
        return 0;
    }

    // Only what arrives after this transmission answers it.
    in.outbox.BeginTransmission();
    in.turns.DropAnswered();
    if (!SendSocket(&in.request[0], static_cast<unsigned long>(in.request.size()), messageId)) {
        return -1;
    }
    in.transmitted = true;
    return priority;
}

bool CNetClient::SendSocket(char* data, unsigned long length, int messageId) {
    // The send step, the keep-alive and Close's disconnect never send at
    // once; a handler called from here (a failed send) may ask for a round.
    SendTurns::Busy busy;
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
