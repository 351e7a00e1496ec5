// Connect: one TCP connection attempt to the host entry in use. It returns
// once the connect is issued; the network-event thread reports the outcome.

#include <transport/NetClient.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "client/ClientInternals.h"
#include "client/EventSlots.h"
#include "connection/ConnectionWalk.h"
#include "connection/HostEntry.h"

namespace {

// Fixed by the server side.
constexpr unsigned int kServerPort = 800;
constexpr unsigned int kTunnelPort = 80;

// Network byte order whatever the host's byte order.
std::uint16_t ToNetworkOrder(std::uint16_t port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                    static_cast<unsigned char>(port & 0xFF)};
    std::uint16_t value;
    std::memcpy(&value, bytes, sizeof(value));
    return value;
}

}  // namespace

bool CNetClient::RestartNetThreadIfEnded() {
    // A network-event thread that ended on its own (a failed wait) is started
    // again; its events stay valid, only Close closes them.
    transport::Handle oldThread = m_hNetEventThread;
    const bool ended =
        m_bNetThreadExited ||
        (oldThread != nullptr && m_pPlatform->WaitOne(oldThread, 0) == transport::kWaitObject0);
    if (!ended) return true;
    transport::Handle thread = m_pPlatform->CreateThread(&CNetClient::NetEventThread, this, true);
    if (thread == nullptr) return false;
    m_bNetThreadExited = false;
    if (oldThread != nullptr) {
        m_pPlatform->WaitOne(oldThread, transport::kInfinite);
        m_pPlatform->CloseHandle(oldThread);
    }
    m_hNetEventThread = thread;
    m_bNetThreadRunning = false;
    ResumeNetThread();
    return true;
}

const char* CNetClient::HostToConnect() {
    // Open terminates the host entries inside their fields.
    if (m_pszCurrentHost != nullptr && m_pszCurrentHost[0] != '\0') return m_pszCurrentHost;
    // The walk gave up on an empty entry. The attempt asked for now (new
    // work, a Connected bearer, a Login) goes to the next entry that is set,
    // by its first way, as the walk itself would have gone on.
    char* next = nullptr;
    for (int i = 0; i < transport::kHostEntries && next == nullptr; ++i) next = GetNextHostName();
    if (next == nullptr) return nullptr;
    m_pszCurrentHost = next;
    m_nConnType = CONNTYPE_DIRECT;
    m_nAttemptCount = 0;
    return next;
}

bool CNetClient::ResolveHost(const char* host, transport::HostEntry* entry) {
    // A dotted address needs no look-up; an IPv6 one goes through it, by number.
    entry->address = m_pPlatform->InetAddr(host);
    if (entry->address != transport::kInaddrNone) return true;
    ReportConnection(NetConnectionEvent::RESOLVING);
    if (!m_pPlatform->GetHostByName(host, entry)) {
        // A name that does not resolve fails the attempt as a refused
        // connect would: nothing is sent anywhere, the walk goes on.
        GetSockError(true, 0);
        NetClientTrace("gethostbyname return NULL");
        return false;
    }
    char text[400];
    std::snprintf(text, sizeof(text), "gethostbyname return host = %s", entry->officialName.c_str());
    NetClientTrace(text);
    return true;
}

transport::SocketHandle CNetClient::OpenSocket(bool ipv6) {
    const transport::SocketHandle socket =
        ipv6 ? m_pPlatform->CreateSocket6() : m_pPlatform->CreateSocket();
    if (socket == transport::kInvalidSocket) {
        GetSockError(false, 0);
        return socket;
    }
    m_socket = socket;
    ResumeNetThread();
    m_pPlatform->SetSocketOption(socket, transport::kSoReuseAddr, 0);
    m_pPlatform->SetSocketOption(socket, transport::kSoKeepAlive, 1);
    return socket;
}

bool CNetClient::Connect() {
    if (GetConnectionState() == CONN_CLOSED) return false;
    if (m_nConnType == CONNTYPE_NONE) m_nConnType = CONNTYPE_DIRECT;

    // A socket left by a failed attempt is closed here, or every retry leaks one.
    if (m_socket != transport::kInvalidSocket) {
        SuspendNetThread();
        CloseSocketNow();
        m_bSocketConnected = false;
        m_bTunnelOpen = false;
    }
    if (!RestartNetThreadIfEnded()) return false;
    const char* configured = HostToConnect();
    if (configured == nullptr) {
        GetSockError(true, transport::kErrHostNotFound);
        return false;
    }

    int startupError = m_pPlatform->SocketStartup();
    if (startupError != 0) {
        GetSockError(false, startupError);
        return false;
    }
    NetClientTrace("WSAStartup 2.0 complete successfully");

    // The server's port unless the entry names one; a tunnel goes through
    // the proxy on port 80 of the same host.
    const transport::HostEntryParts parts = transport::SplitHostEntry(configured);
    const char* host = parts.name.c_str();
    m_nPort = parts.port != 0 ? parts.port : kServerPort;
    unsigned int port = m_nConnType == CONNTYPE_TUNNEL ? kTunnelPort : (m_nPort & 0xFFFFu);
    m_pInternals->port = port;

    transport::HostEntry entry;
    if (!ResolveHost(host, &entry)) return false;
    const transport::SocketHandle socket = OpenSocket(entry.ipv6);
    if (socket == transport::kInvalidSocket) return false;

    std::memset(&m_serverAddr, 0, sizeof(m_serverAddr));
    m_serverAddr.sin_family = transport::kAfInet;
    m_serverAddr.sin_port = ToNetworkOrder(static_cast<std::uint16_t>(port));
    m_serverAddr.sin_addr = entry.address;

    char text[400];
    std::snprintf(text, sizeof(text), "Connecting to HOST: %s PORT: %u conntype=%d....", host, port,
                  m_nConnType.load());
    NetClientTrace(text);

    ReportConnection(NetConnectionEvent::CONNECTING);
    m_bConnecting = true;
    const int started = entry.ipv6 ? m_pPlatform->Connect6(socket, entry.address6, m_serverAddr.sin_port)
                                   : m_pPlatform->Connect(socket, m_serverAddr);
    if (started == transport::kSocketError) {
        int code = m_pPlatform->GetLastSocketError();
        if (code != transport::kErrWouldBlock) {
            GetSockError(true, code);
            return false;
        }
    }
    NetClientTrace("WSAConnect complete successfully.");

    if (m_pPlatform->EventSelect(socket, m_hNetEvents[transport::kSlotSocket],
                                 transport::kFdRead | transport::kFdConnect |
                                     transport::kFdClose) == transport::kSocketError) {
        GetSockError(true, 0);
        return false;
    }
    return true;
}
