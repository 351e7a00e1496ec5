// The receive path: ReadData takes one chunk off the socket, SetToCacheBuf
// cuts the complete frames out of the receive cache onto the input queue, and
// ReadData then hands each received message to DispatchReceived.
//
// Received bytes are text: a zero byte ends a chunk. HTTP is not parsed; what
// lies outside the frame tags (status and header lines) is dropped when the
// next frame is cut.

#include <transport/NetClient.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "client/ClientInternals.h"
#include "client/EventSlots.h"
#include "message/MessageQueue.h"

namespace {

constexpr std::uint32_t kReceiveCapacity = 2500;
constexpr std::uint32_t kReceiveTimeoutMs = 2000;

// Whether a proxy's reply opens the tunnel: its status line carries the code
// 200 ("HTTP/1.x 200 ..."); a 200 elsewhere in the reply does not count.
bool OpensTunnel(const char* reply) {
    while (*reply == '\r' || *reply == '\n') ++reply;
    if (std::strncmp(reply, "HTTP/1.", 7) != 0) return false;
    const char* p = reply + 7;
    if (*p < '0' || *p > '9') return false;
    ++p;
    if (*p != ' ') return false;
    while (*p == ' ') ++p;
    return std::strncmp(p, "200", 3) == 0 && (p[3] < '0' || p[3] > '9');
}

}  // namespace

unsigned long CNetClient::ReadData() {
    NetClientTrace("Reading data started");
    // One byte more than a receive asks for: the chunk is always terminated.
    char chunk[kReceiveCapacity + 1];
    chunk[0] = '\0';
    std::uint32_t received = 0;
    const int error =
        m_pPlatform->Receive(m_socket, chunk, kReceiveCapacity, kReceiveTimeoutMs, &received);
    if (error == transport::kErrWouldBlock) return 0;  // nothing for the reader after all
    if (error != 0) {
        GetSockError(true, error);
        return 0;
    }
    if (received == 0) {
        // The peer closed the connection.
        GetSockError(true, transport::kErrConnReset);
        return 0;
    }
    if (received > kReceiveCapacity) received = kReceiveCapacity;
    chunk[received] = '\0';
    // What this chunk can answer: the transmissions begun before it was read.
    const std::uint64_t arrivedAfter = m_pInternals->outbox.Transmissions();

    m_nTotalReceived += received;
    m_bKeepAlivePending = false;
    SetToCacheBuf(chunk, received);

    // The whole chunk goes into the trace line: formatted only when someone reads it.
    const bool tracing = m_pPlatform->TraceEnabled();
    char line[kReceiveCapacity + 64];
    if (tracing) std::snprintf(line, sizeof(line), "R E C E I V E D<<<: %s", chunk);
    if (GetConnectionState() != CONN_CONNECTED && m_nConnType == CONNTYPE_TUNNEL &&
        !m_bTunnelOpen && OpensTunnel(chunk)) {
        // The proxy's answer frees the line for the log-in; frames of this
        // chunk wait on the input queue for the next one.
        if (tracing) NetClientTrace(line);
        if (!SecureConnection()) return received;
        m_bTunnelOpen = true;
        SendStep(transport::SendTurns::kAnswered);
        return received;
    }

    m_dwLastRecvTick = m_pPlatform->GetTickCount();
    if (tracing) NetClientTrace(line);

    // Only this thread uses the input queue while it runs (Close empties it
    // after this thread has ended), so the peeked message stays valid.
    m_pInternals->outbox.ChunkArrived(arrivedAfter);
    while (m_pInputQueue->GetItemCount() > 0) {
        NetMessage* message = m_pInputQueue->PeekFirst();
        if (message == nullptr) break;
        NetPackage package;
        DispatchReceived(*message, package);
        m_pInputQueue->PopFirst();
    }
    m_pInternals->outbox.ChunkDone();

    NetClientTrace("Reading data finished");
    return received;
}

void CNetClient::SetToCacheBuf(char* chunk, unsigned long length) {
    transport::ClientInternals& in = *m_pInternals;
    const std::size_t cached = in.cutter.Take(chunk, length);
    if (m_pPlatform->TraceEnabled()) {
        char line[128];
        std::snprintf(line, sizeof(line),
                      "SetToCacheBuf start (CacheBuflenght =%d  NewPakcage lenght =%d",
                      static_cast<int>(cached), static_cast<int>(length));
        NetClientTrace(line);
    }
    in.tooLong.clear();
    in.cutter.Cut(&in.frames, &in.tooLong);
    for (std::size_t frameLength : in.tooLong) {
        char line[64];
        std::snprintf(line, sizeof(line), "Frame too long (%d characters), dropped",
                      static_cast<int>(frameLength));
        NetClientTrace(line);
    }
    for (auto& frame : in.frames) m_pInputQueue->PushBack(frame.release());
    in.frames.clear();
}
