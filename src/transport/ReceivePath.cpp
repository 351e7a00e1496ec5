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

enum class Tag { kNone, kOpener, kCloser, kCutShort };

// What the text at a '<' is: a frame tag, the start of one that the end of
// the text cuts short, or neither.
Tag TagAt(const char* text, std::size_t left) {
    if (left >= kCloseLength) {
        if (std::memcmp(text, transport::kFrameClose, kCloseLength) == 0) return Tag::kCloser;
        if (std::memcmp(text, transport::kFrameOpen, kOpenLength) == 0) return Tag::kOpener;
        return Tag::kNone;
    }
    if (left >= kOpenLength && std::memcmp(text, transport::kFrameOpen, kOpenLength) == 0) {
        return Tag::kOpener;
    }
    if (std::memcmp(text, transport::kFrameClose, left) == 0 ||
        (left < kOpenLength && std::memcmp(text, transport::kFrameOpen, left) == 0)) {
        return Tag::kCutShort;
    }
    return Tag::kNone;
}

// The next '<' in text[from, to), or npos. In small frames the next '<' is
// a few bytes away, closer than a call of memchr pays off; in a part's Base64
// body there is none for 2048 bytes, which memchr crosses in wide steps.
std::size_t FindTag(const char* text, std::size_t from, std::size_t to) {
    const std::size_t near = std::min(to, from + 16);
    for (std::size_t at = from; at < near; ++at) {
        if (text[at] == '<') return at;
    }
    if (near >= to) return npos;
    const void* hit = std::memchr(text + near, '<', to - near);
    return hit != nullptr ? static_cast<std::size_t>(static_cast<const char*>(hit) - text) : npos;
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
    const std::uint64_t arrivedAfter = m_pInternals->transmissions.load();

    m_nTotalReceived += received;
    m_bKeepAlivePending = false;
    SetToCacheBuf(chunk, received);

    // The whole chunk goes into the trace line: formatted only when someone reads it.
    const bool tracing = m_pPlatform->TraceEnabled();
    char line[kReceiveCapacity + 64];
    if (tracing) std::snprintf(line, sizeof(line), "R E C E I V E D<<<: %s", chunk);
    if (GetConnectionState() != CONN_CONNECTED && m_nConnType == CONNTYPE_TUNNEL &&
        !m_bTunnelOpen && OpensTunnel(chunk)) {
        // The send thread goes on with the log-in once it sees the tunnel
        // open; frames of this chunk wait on the input queue for the next one.
        m_bTunnelOpen = true;
        ReleaseSendSemaphore(1);
        if (m_hSendEvents[0] != nullptr) m_pPlatform->SetEvent(m_hSendEvents[0]);
        if (tracing) NetClientTrace(line);
        return received;
    }

    m_dwLastRecvTick = m_pPlatform->GetTickCount();
    if (tracing) NetClientTrace(line);

    // Only this thread uses the input queue while it runs (Close empties it
    // after this thread has ended), so the peeked message stays valid.
    m_pInternals->chunkTransmission = arrivedAfter;
    while (m_pInputQueue->GetItemCount() > 0) {
        NetMessage* message = m_pInputQueue->PeekFirst();
        if (message == nullptr) break;
        NetPackage package;
        DispatchReceived(*message, package);
        m_pInputQueue->PopFirst();
    }
    m_pInternals->chunkTransmission = transport::ClientInternals::kAnyTransmission;

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
        n = 0;
        in.cacheOpenerAt = npos;
        in.cacheScanFrom = 0;
    }
    if (added > kCacheCapacity) {
        // Only a direct caller can pass that much: keep the newest text.
        chunk += added - kCacheCapacity;
        added = kCacheCapacity;
    }

    if (m_pPlatform->TraceEnabled()) {
        char line[128];
        std::snprintf(line, sizeof(line),
                      "SetToCacheBuf start (CacheBuflenght =%d  NewPakcage lenght =%d",
                      static_cast<int>(n), static_cast<int>(length));
        NetClientTrace(line);
    }
    if (added > 0) std::memcpy(m_cacheBuf + n, chunk, added);
    n += added;
    m_cacheBuf[n] = '\0';

    // One forward pass over the tags: the scan resumes where the last one
    // stopped (at a tag that the chunk cut short), so every byte is looked at
    // a bounded number of times however small the chunks are. A frame runs
    // from the latest opener to the next closer: a frame whose closer was
    // lost is dropped, and a closer with no opener before it is ignored.
    std::size_t consumed = 0;
    std::size_t opener = in.cacheOpenerAt;
    std::size_t scan = in.cacheScanFrom;
    for (;;) {
        const std::size_t at = FindTag(m_cacheBuf, scan, n);
        if (at == npos) {
            scan = n;
            break;
        }
        const Tag tag = TagAt(m_cacheBuf + at, n - at);
        if (tag == Tag::kCutShort) {
            scan = at;  // decided once more bytes have come
            break;
        }
        if (tag == Tag::kOpener) {
            opener = at;
            scan = at + kOpenLength;
            continue;
        }
        scan = at + 1;
        if (tag != Tag::kCloser || opener == npos) continue;

        const std::size_t end = at + kCloseLength;
        const std::size_t frameLength = end - opener;
        if (frameLength > kFrameMax) {
            char tooLong[64];
            std::snprintf(tooLong, sizeof(tooLong), "Frame too long (%d characters), dropped",
                          static_cast<int>(frameLength));
            NetClientTrace(tooLong);
        } else {
            // Parsed where it lies: the byte after the closer stands in for
            // the terminating zero meanwhile (the cache has room for it).
            const char after = m_cacheBuf[end];
            m_cacheBuf[end] = '\0';
            auto* message = new NetMessage;
            transport::ParseFrame(*message, m_cacheBuf + opener);
            m_cacheBuf[end] = after;
            m_pInputQueue->PushBack(message);
        }
        // Everything up to the closer goes: HTTP lines, stray characters.
        consumed = end;
        opener = npos;
        scan = end;
    }

    if (consumed > 0) {
        std::memmove(m_cacheBuf, m_cacheBuf + consumed, n - consumed);
        n -= consumed;
        m_cacheBuf[n] = '\0';
        if (opener != npos) opener -= consumed;
        scan -= consumed;
    }
    in.cacheLength = n;
    in.cacheOpenerAt = opener;
    in.cacheScanFrom = scan;
}
