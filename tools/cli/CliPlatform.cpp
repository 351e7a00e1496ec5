#include "CliPlatform.h"

namespace cli {
namespace {

// Ports and addresses in SockAddrIn are in network byte order.
std::uint16_t PortOf(const transport::SockAddrIn& address) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address.sin_port);
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}

void SetPort(transport::SockAddrIn* address, std::uint16_t port) {
    auto* bytes = reinterpret_cast<unsigned char*>(&address->sin_port);
    bytes[0] = static_cast<unsigned char>(port >> 8);
    bytes[1] = static_cast<unsigned char>(port & 0xFF);
}

std::string AddressOf(const transport::SockAddrIn& address) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&address.sin_addr);
    return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
           std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

}  // namespace

std::string SocketErrorWords(int code) {
    switch (code) {
        case transport::kErrConnRefused: return "connection refused";
        case transport::kErrTimedOut: return "connection timed out";
        case transport::kErrConnReset: return "connection reset";
        case transport::kErrConnAborted: return "connection aborted";
        case transport::kErrHostUnreach: return "no route to host";
        case transport::kErrNetUnreach: return "network unreachable";
        case transport::kErrNetDown: return "network down";
        case transport::kErrHostNotFound: return "host not found";
        case transport::kErrAddrNotAvail: return "address not available";
        default: return "socket error " + std::to_string(code);
    }
}

CliPlatform::CliPlatform(transport::Platform& target, Console& console, EventQueue& events,
                         bool verbose, std::map<std::uint16_t, std::uint16_t> portMap)
    : PlatformWrapper(target),
      m_console(console),
      m_events(events),
      m_verbose(verbose),
      m_portMap(std::move(portMap)) {}

std::string CliPlatform::LastConnectProblem() const {
    if (m_hostNotFound) return "host not found";
    const int code = m_lastConnectError;
    return code == 0 ? std::string() : SocketErrorWords(code);
}

void CliPlatform::Trace(const char* text, bool flag) {
    if (m_verbose && text != nullptr) m_console.Trace(text);
    PlatformWrapper::Trace(text, flag);
}

bool CliPlatform::GetHostByName(const char* name, transport::HostEntry* entry) {
    const bool found = PlatformWrapper::GetHostByName(name, entry);
    m_hostNotFound = !found;
    if (!found) ConnectFailed(std::string("host name \"") + (name ? name : "") + "\" not found");
    return found;
}

int CliPlatform::Connect(transport::SocketHandle socket, const transport::SockAddrIn& address) {
    transport::SockAddrIn target = address;
    const std::uint16_t port = PortOf(address);
    Event event;
    event.kind = Event::kConnecting;
    event.text = AddressOf(address) + " port " + std::to_string(port);
    const auto mapped = m_portMap.find(port);
    if (mapped != m_portMap.end()) {
        SetPort(&target, mapped->second);
        event.text += " (mapped to " + std::to_string(mapped->second) + ")";
    }
    m_connected = false;
    m_events.Push(event);
    const int result = PlatformWrapper::Connect(socket, target);
    if (result != 0) {
        const int error = GetLastSocketError();
        if (error != transport::kErrWouldBlock) {
            m_lastConnectError = error;
            ConnectFailed(SocketErrorWords(error));
        }
        // The library reads the error after we return: keep it.
        SetLastSocketError(error);
    } else {
        m_connected = true;
    }
    return result;
}

int CliPlatform::StartTls(transport::SocketHandle socket, const transport::TlsSettings& settings,
                          std::string* reason) {
    std::string description;
    if (reason == nullptr) reason = &description;
    const int result = PlatformWrapper::StartTls(socket, settings, reason);
    // Error 15 reports the failure; the close that follows is part of it.
    if (result != 0) m_connected = false;
    if (result == 0 && !m_closing) {
        Event event;
        event.kind = Event::kTlsEstablished;
        event.text = *reason;
        m_events.Push(event);
    }
    return result;
}

int CliPlatform::EnumNetworkEvents(transport::SocketHandle socket, transport::Handle event,
                                   transport::NetworkEvents* events) {
    const int result = PlatformWrapper::EnumNetworkEvents(socket, event, events);
    if (result != 0 || events == nullptr) return result;
    if (events->lNetworkEvents & transport::kFdConnect) {
        if (events->iErrorConnect != 0) {
            m_lastConnectError = events->iErrorConnect;
            ConnectFailed(SocketErrorWords(events->iErrorConnect));
        } else {
            m_lastConnectError = 0;
            m_hostNotFound = false;
            m_connected = true;
        }
    }
    if (events->lNetworkEvents & transport::kFdClose) {
        Lost(events->iErrorClose != 0 ? SocketErrorWords(events->iErrorClose)
                                      : "the server closed it");
    }
    return result;
}

int CliPlatform::Receive(transport::SocketHandle socket, char* buffer, std::uint32_t capacity,
                         std::uint32_t timeoutMs, std::uint32_t* received) {
    const int result = PlatformWrapper::Receive(socket, buffer, capacity, timeoutMs, received);
    if (result == 0 && received != nullptr && *received == 0) {
        Lost("the server closed it");
    } else if (result != 0 && result != transport::kErrIoIncomplete &&
               result != transport::kErrIoPending && result != transport::kErrWouldBlock) {
        Lost(SocketErrorWords(result));
    }
    return result;
}

void CliPlatform::ConnectFailed(const std::string& why) {
    if (m_closing) return;
    Event event;
    event.kind = Event::kConnectFailed;
    event.text = why;
    m_events.Push(event);
}

void CliPlatform::Lost(const std::string& why) {
    // Reported once per connection, and not when we close it ourselves.
    if (m_closing || !m_connected.exchange(false)) return;
    Event event;
    event.kind = Event::kConnectionLost;
    event.text = why;
    m_events.Push(event);
}

}  // namespace cli
