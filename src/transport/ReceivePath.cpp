// The receive path: ReadData takes one chunk off the socket, SetToCacheBuf
// cuts the complete frames out of the receive cache onto the input queue, and
// ReadData then hands each received message to DispatchReceived.
//
// Received bytes are text: a zero byte ends a chunk. HTTP is not parsed; what
// lies outside the frame tags (status and header lines) is dropped when the
// next frame is cut.

#include <transport/NetClient.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "client/ClientInternals.h"
#include "client/MessageQueue.h"
#include "message/Frame.h"

namespace {

constexpr std::uint32_t kReceiveCapacity = 2500;
constexpr std::uint32_t kReceiveTimeoutMs = 2000;
constexpr std::size_t kCacheCapacity = 5000;
constexpr std::size_t kFrameMax = 2500;
constexpr std::size_t kOpenLength = sizeof(transport::kFrameOpen) - 1;
constexpr std::size_t kCloseLength = sizeof(transport::kFrameClose) - 1;
constexpr std::size_t npos = std::string::npos;

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
    char chunk[kReceiveCapacity + 1] = {};
    std::uint32_t received = 0;
    const int error =
        m_pPlatform->Receive(m_socket, chunk, kReceiveCapacity, kReceiveTimeoutMs, &received);
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

    m_nTotalReceived += received;
    m_bKeepAlivePending = false;
    SetToCacheBuf(chunk, received);

    char line[kReceiveCapacity + 64];
    std::snprintf(line, sizeof(line), "R E C E I V E D<<<: %s", chunk);
    if (GetConnectionState() != CONN_CONNECTED && m_nConnType == CONNTYPE_TUNNEL &&
        !m_bTunnelOpen && OpensTunnel(chunk)) {
        // The send thread goes on with the log-in once it sees the tunnel
        // open; frames of this chunk wait on the input queue for the next one.
        m_bTunnelOpen = true;
        ReleaseSendSemaphore(1);
        if (m_hSendEvents[0] != nullptr) m_pPlatform->SetEvent(m_hSendEvents[0]);
        NetClientTrace(line);
        return received;
    }

    m_dwLastRecvTick = m_pPlatform->GetTickCount();
    NetClientTrace(line);

    // Only this thread uses the input queue while it runs (Close empties it
    // after this thread has ended), so the peeked message stays valid.
    while (m_pInputQueue->GetItemCount() > 0) {
        NetMessage* message = m_pInputQueue->PeekFirst();
        if (message == nullptr) break;
        NetPackage package;
        DispatchReceived(*message, package);
        m_pInputQueue->PopFirst();
    }

    NetClientTrace("Reading data finished");
    return received;
}

void CNetClient::SetToCacheBuf(char* chunk, unsigned long length) {
    transport::ClientInternals& in = *m_pInternals;

    // The length kept beside the cache must describe its text; rebuild the
    // bookkeeping when it does not (a copied client, say).
    std::size_t n = in.cacheLength;
    if (n > kCacheCapacity || m_cacheBuf[n] != '\0' || (n > 0 && m_cacheBuf[n - 1] == '\0')) {
        n = strnlen(m_cacheBuf, kCacheCapacity);
        in.cacheOpenerAt = npos;
        in.cacheScanFrom = 0;
    }

    std::size_t added = chunk != nullptr ? strnlen(chunk, length) : 0;
    if (n + added > kCacheCapacity) {
        // An unfinished frame in the cache is lost; the chunk starts afresh.
        std::memset(m_cacheBuf, 0, sizeof(m_cacheBuf));
        n = 0;
        in.cacheOpenerAt = npos;
        in.cacheScanFrom = 0;
    }
    if (added > kCacheCapacity) {
        // Only a direct caller can pass that much: keep the newest text.
        chunk += added - kCacheCapacity;
        added = kCacheCapacity;
    }

    char line[128];
    std::snprintf(line, sizeof(line), "SetToCacheBuf start (CacheBuflenght =%d  NewPakcage lenght =%d",
                  static_cast<int>(n), static_cast<int>(length));
    if (added > 0) std::memcpy(m_cacheBuf + n, chunk, added);
    n += added;
    m_cacheBuf[n] = '\0';
    NetClientTrace(line);

    // Each search resumes where the last one stopped (less a tag's length, for
    // a tag split between chunks), so a byte is looked at a bounded number of
    // times however small the chunks are.
    const std::string_view cache(m_cacheBuf, n);
    std::size_t consumed = 0;
    std::size_t opener = in.cacheOpenerAt;
    std::size_t scan = in.cacheScanFrom;
    for (;;) {
        if (opener == npos) {
            opener = cache.find(transport::kFrameOpen, std::max(consumed, scan));
            if (opener == npos) {
                scan = std::max(consumed, n >= kOpenLength ? n - kOpenLength + 1 : 0);
                break;
            }
        }
        const std::size_t closer = cache.find(transport::kFrameClose, std::max(opener, scan));
        if (closer == npos) {
            scan = std::max(opener, n >= kCloseLength ? n - kCloseLength + 1 : 0);
            break;
        }

        // A frame whose closer was lost is dropped: the frame starts at the
        // last opener before this closer.
        const std::size_t start = cache.substr(0, closer).rfind(transport::kFrameOpen);
        const std::size_t end = closer + kCloseLength;
        const std::size_t frameLength = end - start;
        if (frameLength > kFrameMax) {
            char tooLong[64];
            std::snprintf(tooLong, sizeof(tooLong), "Frame too long (%d characters), dropped",
                          static_cast<int>(frameLength));
            NetClientTrace(tooLong);
        } else {
            char frame[kFrameMax + 1];
            std::memcpy(frame, m_cacheBuf + start, frameLength);
            frame[frameLength] = '\0';
            auto* message = new NetMessage;
            transport::ParseFrame(*message, frame);
            m_pInputQueue->PushBack(message);
        }
        // Everything up to the closer goes: HTTP lines, stray characters.
        consumed = end;
        opener = npos;
        scan = end;
    }

    if (consumed > 0) {
        std::memmove(m_cacheBuf, m_cacheBuf + consumed, n - consumed);
        std::memset(m_cacheBuf + n - consumed, 0, consumed);
        n -= consumed;
        if (opener != npos) opener -= consumed;
        scan -= consumed;
    }
    in.cacheLength = n;
    in.cacheOpenerAt = opener;
    in.cacheScanFrom = scan;
}
