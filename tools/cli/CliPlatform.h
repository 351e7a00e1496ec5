#ifndef TRANSPORT_TOOLS_CLI_CLI_PLATFORM_H
#define TRANSPORT_TOOLS_CLI_CLI_PLATFORM_H

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include <transport/Platform.h>

#include "Console.h"
#include "EventQueue.h"

namespace cli {

// The client's platform: the default one, watched and slightly bent.
// - Trace: prints the library's trace lines when asked (-v).
// - Connect: sends connects to a mapped port instead of the fixed one
//   (--port-map, for tests without root) and reports each attempt.
// - EnumNetworkEvents, Receive: notice a refused connect and a connection the
//   server closed, which the library itself does not report to applications.
// - StartTls: reports a TLS session that came up (a failure is error 15,
//   and the close after it no lost connection).
class CliPlatform : public transport::PlatformWrapper {
public:
    CliPlatform(transport::Platform& target, Console& console, EventQueue& events, bool verbose,
                std::map<std::uint16_t, std::uint16_t> portMap);

    // From now on a closed connection is our own doing and not reported.
    void SetClosing() { m_closing = true; }
    // The last connect failure in words ("connection refused"), or empty.
    std::string LastConnectProblem() const;

    void Trace(const char* text, bool flag) override;
    bool GetHostByName(const char* name, transport::HostEntry* entry) override;
    int Connect(transport::SocketHandle socket, const transport::SockAddrIn& address) override;
    int StartTls(transport::SocketHandle socket, const transport::TlsSettings& settings,
                 std::string* reason) override;
    int EnumNetworkEvents(transport::SocketHandle socket, transport::Handle event,
                          transport::NetworkEvents* events) override;
    int Receive(transport::SocketHandle socket, char* buffer, std::uint32_t capacity,
                std::uint32_t timeoutMs, std::uint32_t* received) override;

private:
    void ConnectFailed(const std::string& why);
    void Lost(const std::string& why);

    Console& m_console;
    EventQueue& m_events;
    const bool m_verbose;
    const std::map<std::uint16_t, std::uint16_t> m_portMap;
    std::atomic<bool> m_closing{false};
    std::atomic<bool> m_connected{false};  // a connect completed and no loss was reported since
    std::atomic<int> m_lastConnectError{0};
    std::atomic<bool> m_hostNotFound{false};
};

// Words for the socket errors a connect commonly ends with.
std::string SocketErrorWords(int code);

}  // namespace cli

#endif
