#ifndef TRANSPORT_TESTS_SUPPORT_HOST_SOCKETS_H
#define TRANSPORT_TESTS_SUPPORT_HOST_SOCKETS_H

// The host's own sockets, for the peers the tests play: the POSIX calls by
// their POSIX names, on Windows over Winsock.

#include <cstdint>
#include <string>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
// Names of the seam that windows.h turns into its own A/W macros.
#undef CreateEvent
#undef CreateSemaphore

constexpr int MSG_NOSIGNAL = 0;  // Winsock raises no signal
constexpr int SOCK_CLOEXEC = 0;  // nor passes sockets to programs
constexpr int SHUT_WR = SD_SEND;
constexpr int SHUT_RDWR = SD_BOTH;
inline int close(SOCKET s) { return closesocket(s); }
inline int poll(pollfd* entries, unsigned long count, int ms) { return WSAPoll(entries, count, ms); }
inline SOCKET accept4(SOCKET s, sockaddr* address, int* length, int) { return accept(s, address, length); }
static const int kWinsockStarted = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}();
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace transport {
namespace test {

#ifdef _WIN32
using PeerSocket = SOCKET;
constexpr PeerSocket kNoPeer = INVALID_SOCKET;
// Wine's ntdll names itself; Windows' does not.
inline bool UnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }
#else
using PeerSocket = int;
constexpr PeerSocket kNoPeer = -1;
inline bool UnderWine() { return false; }
#endif

// A TCP socket bound to address:*port (IPv4, or IPv6 when the address has a
// colon; port 0: an ephemeral port, written back), not listening, so
// connects to it are refused and nobody else takes the port; kNoPeer when
// it cannot be bound (ports below 1024 need root).
inline PeerSocket BindLoopback(const std::string& address, std::uint16_t* port) {
    const bool v6 = address.find(':') != std::string::npos;
    const PeerSocket fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in6 in6{};
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(*port);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(*port);
    auto* bound = v6 ? reinterpret_cast<sockaddr*>(&in6) : reinterpret_cast<sockaddr*>(&in);
    socklen_t length = v6 ? sizeof in6 : sizeof in;
    if (fd == kNoPeer || inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(), v6 ? static_cast<void*>(&in6.sin6_addr) : &in.sin_addr) != 1 ||
        bind(fd, bound, length) != 0 || getsockname(fd, bound, &length) != 0) {
        if (fd != kNoPeer) close(fd);
        return kNoPeer;
    }
    *port = ntohs(v6 ? in6.sin6_port : in.sin_port);
    return fd;
}

// Whether a program may listen on address:port now: nothing holds it, and
// (below 1024) the test runs as root.
inline bool CanListen(const std::string& address, std::uint16_t port) {
    const PeerSocket fd = BindLoopback(address, &port);
    if (fd != kNoPeer) close(fd);
    return fd != kNoPeer;
}

// Whether a connect to the IPv4 address:port is accepted now.
inline bool ConnectsTo(const std::string& address, std::uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &in.sin_addr);
    const PeerSocket fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
    close(fd);
    return ok;
}

}  // namespace test
}  // namespace transport

#endif
