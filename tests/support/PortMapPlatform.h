#ifndef TRANSPORT_TESTS_SUPPORT_PORT_MAP_PLATFORM_H
#define TRANSPORT_TESTS_SUPPORT_PORT_MAP_PLATFORM_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <transport/Platform.h>

namespace transport {
namespace test {

// Redirects connects to the fixed server ports (800, and 80 for the tunnel)
// to ports a test opened, so tests need no privileges, and records every
// connect attempt as the client asked for it (before the mapping), for the
// tests of the walk over host entries and connection types.
class PortMapPlatform : public PlatformWrapper {
public:
    struct Attempt {
        std::string host;    // dotted address the client connected to
        std::uint16_t port;  // port the client asked for (800 or 80)
    };

    explicit PortMapPlatform(Platform& target) : PlatformWrapper(target) {}

    // Connects to fixedPort go to testPort instead; ports without a mapping
    // are left alone.
    void MapPort(std::uint16_t fixedPort, std::uint16_t testPort);

    std::vector<Attempt> Attempts() const;
    std::size_t AttemptCount() const;
    bool WaitForAttempts(std::size_t n, std::chrono::milliseconds timeout) const;

    int Connect(SocketHandle socket, const SockAddrIn& address) override;

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<std::uint16_t, std::uint16_t> m_ports;
    std::vector<Attempt> m_attempts;
};

}  // namespace test
}  // namespace transport

#endif
