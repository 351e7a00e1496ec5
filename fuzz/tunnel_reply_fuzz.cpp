// The proxy's reply to the tunnel request, and whatever follows it, through
// ReadData while the tunnel is not yet open. Properties: the tunnel opens on
// exactly the replies whose status line carries 200, and opening it releases
// the send thread once, sets the response event, hands nothing to the handler
// and leaves the receive tick alone; frames that came with the reply are
// handled by the next receive.
//
// Input: byte 0 bit 0 chooses the state before (socket connected, else not
// connected). The rest is the stream; a byte 0x7f starts a new chunk.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"

namespace {

// Whether a reply opens the tunnel: after any CR and LF, "HTTP/1.", one
// digit, blanks, then the code 200 not followed by another digit.
bool OpensTunnel(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == '\r' || text[i] == '\n')) ++i;
    if (text.compare(i, 7, "HTTP/1.") != 0) return false;
    i += 7;
    if (i >= text.size() || text[i] < '0' || text[i] > '9') return false;
    ++i;
    if (i >= text.size() || text[i] != ' ') return false;
    while (i < text.size() && text[i] == ' ') ++i;
    if (text.compare(i, 3, "200") != 0) return false;
    return i + 3 >= text.size() || text[i + 3] < '0' || text[i + 3] > '9';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    fuzz::Packages().clear();
    fuzz::FuzzPlatform platform;
    fuzz::FuzzClient client(platform);
    client.CreateRunObjects();
    client.m_nConnType = CNetClient::CONNTYPE_TUNNEL;
    client.m_bTunnelOpen = false;
    client.SetConnectionState((data[0] & 1) ? CNetClient::CONN_SOCKET_CONNECTED
                                            : CNetClient::CONN_NOT_CONNECTED);
    client.m_pLoginMessage = fuzz::MakeMessage(1, 2, {"usr", "pwd", "", "7", "five", "six"});
    client.m_bLoginPending = true;

    std::uint32_t tick = 5000;
    for (const std::string& chunk : fuzz::Split(data + 1, size - 1, 0x7f)) {
        platform.QueueChunk(chunk);
        std::size_t at = 0;
        do {
            // What this receive takes: at most 2500 bytes, read as text.
            const std::string piece = chunk.substr(std::min(at, chunk.size()), 2500);
            at += 2500;
            const std::string text = piece.substr(0, piece.find('\0'));
            const bool wasOpen = client.m_bTunnelOpen;
            const bool connected = client.GetConnectionState() == CNetClient::CONN_CONNECTED;
            const std::size_t delivered = fuzz::Packages().size();
            client.m_dwLastRecvTick = 1;
            platform.SetTick(++tick);
            platform.ClearTrace();

            client.ReadData();

            const bool opens = !piece.empty() && !wasOpen && !connected && OpensTunnel(text);
            fuzz::Check(client.m_bTunnelOpen == (wasOpen || opens),
                        "the tunnel opened on another reply than one with status 200");
            const long releases = client.TakeReleases();
            const bool responded = client.TakeResponse();
            if (opens) {
                fuzz::Check(releases == 1, "an opened tunnel released the send thread other than once");
                fuzz::Check(responded, "an opened tunnel did not set the response event");
                fuzz::Check(fuzz::Packages().size() == delivered,
                            "the reply that opened the tunnel reached the handler");
                fuzz::Check(client.m_dwLastRecvTick == 1u, "the tunnel reply moved the receive tick");
                fuzz::Check(platform.CountTraced("R E C E I V E D<<<: ") == 1,
                            "the tunnel reply was not traced");
            } else if (!piece.empty()) {
                // A failed receive (the peer's close) leaves what the tunnel
                // reply brought for the next connection's first receive.
                fuzz::Check(client.m_pInputQueue->GetItemCount() == 0,
                            "received messages left on the input queue");
                fuzz::Check(client.m_dwLastRecvTick == tick, "a receive did not move the tick");
            }
        } while (platform.HasChunks());
    }
    return 0;
}
