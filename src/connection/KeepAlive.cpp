// The two control messages that go straight to the socket, bypassing the
// output queue and the send thread's HTTP wrapping.

#include <transport/NetClient.h>

#include <cstdint>
#include <cstring>

#include "message/Frame.h"
#include "message/MessageIds.h"

namespace {

constexpr int kKeepAlivePriority = 2;
constexpr char kKeepAliveText[] = "Keep-Alive";
constexpr int kDisconnectPriority = 3;
constexpr char kDisconnectText[] = "0";
constexpr std::uint32_t kDisconnectWaitMs = 3000;
constexpr unsigned long kFrameCapacity = 2500;

// Writes the frame of a one-parameter message into area (kFrameCapacity + 1
// bytes) and returns its length; text travels with its zero byte counted.
unsigned long BuildControlFrame(char* area, unsigned long id, int priority, const char* text) {
    NetMessage message;
    message.SetId(id);
    message.SetPriority(priority);
    NetParamList params;
    params.AddTail(text, std::strlen(text) + 1);
    message.SetParams(params);

    std::memset(area, 0, kFrameCapacity + 1);
    unsigned long capacity = transport::GetFrameLength(message) + 1;
    if (capacity > kFrameCapacity) capacity = kFrameCapacity;
    transport::WriteFrame(area, capacity, message);
    return static_cast<unsigned long>(std::strlen(area));
}

}  // namespace

void CNetClient::SendKeepAlive() {
    char area[kFrameCapacity + 1];
    unsigned long length =
        BuildControlFrame(area, transport::kIdKeepAlive, kKeepAlivePriority, kKeepAliveText);
    // Set before the send, so that an answer arriving while SendSocket is
    // still returning clears it for good; and set even when the send fails,
    // so that the next response time-out reconnects.
    m_bKeepAlivePending = true;
    SendSocket(area, length, static_cast<int>(transport::kIdKeepAlive));
}

void CNetClient::SendDisconnect() {
    char area[kFrameCapacity + 1];
    unsigned long length =
        BuildControlFrame(area, transport::kIdDisconnect, kDisconnectPriority, kDisconnectText);
    SendSocket(area, length, static_cast<int>(transport::kIdDisconnect));
    // SendSocket sets the event once the bytes are out; a failed send costs the full wait.
    if (m_hDisconnectSentEvent != nullptr) {
        m_pPlatform->WaitOne(m_hDisconnectSentEvent, kDisconnectWaitMs);
    }
}
