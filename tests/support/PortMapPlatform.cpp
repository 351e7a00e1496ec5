#include "support/PortMapPlatform.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace transport {
namespace test {

void PortMapPlatform::MapPort(std::uint16_t fixedPort, std::uint16_t testPort) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_ports[fixedPort] = testPort;
}

std::vector<PortMapPlatform::Attempt> PortMapPlatform::Attempts() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_attempts;
}

std::size_t PortMapPlatform::AttemptCount() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_attempts.size();
}

bool PortMapPlatform::WaitForAttempts(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_attempts.size() >= n; });
}

int PortMapPlatform::Connect(SocketHandle socket, const SockAddrIn& address) {
    SockAddrIn mapped = address;
    std::uint16_t asked = ntohs(address.sin_port);
    {
        std::lock_guard<std::mutex> g(m_mutex);
        char text[INET_ADDRSTRLEN] = "";
        in_addr addr{};
        addr.s_addr = address.sin_addr;
        ::inet_ntop(AF_INET, &addr, text, sizeof text);
        m_attempts.push_back(Attempt{text, asked});
        auto it = m_ports.find(asked);
        if (it != m_ports.end()) mapped.sin_port = htons(it->second);
        m_changed.notify_all();
    }
    return PlatformWrapper::Connect(socket, mapped);
}

}  // namespace test
}  // namespace transport
