#include "support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

namespace transport {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;

// Waits until fd is readable or the deadline has passed.
bool Readable(int fd, Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0) > 0;
}

SockAddrIn ToAddress(std::uint16_t port) {
    SockAddrIn address{};
    address.sin_family = kAfInet;
    address.sin_port = htons(port);
    address.sin_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

int BindLoopback(const std::string& address, std::uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(*port);
    socklen_t length = sizeof in;
    if (fd < 0 || inet_pton(AF_INET, address.c_str(), &in.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&in), &length) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    *port = ntohs(in.sin_port);
    return fd;
}

bool LoopbackPeer::SendAll(const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool LoopbackPeer::ReadUntil(const std::string& text, std::uint32_t realTimeoutMs,
                             std::string* received) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(realTimeoutMs);
    char buffer[4096];
    while (received->find(text) == std::string::npos) {
        const ssize_t n = Readable(fd_, deadline) ? recv(fd_, buffer, sizeof buffer, 0) : 0;
        if (n <= 0) return false;
        received->append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

bool LoopbackPeer::WaitForClose(std::uint32_t realTimeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(realTimeoutMs);
    char buffer[4096];
    while (Readable(fd_, deadline)) {
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR) return errno == ECONNRESET;
    }
    return false;
}

void LoopbackPeer::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void LoopbackPeer::Reset() {
    linger option{1, 0};  // abortive close: the peer sees a reset
    if (fd_ >= 0) setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    Close();
}

void LoopbackPeer::SetReceiveBuffer(int bytes) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

LoopbackListener::LoopbackListener() {
    fd_ = BindLoopback("127.0.0.1", &port_);
    if (fd_ >= 0) listen(fd_, 16);
}

LoopbackListener::~LoopbackListener() {
    if (fd_ >= 0) close(fd_);
}

SockAddrIn LoopbackListener::Address() const { return ToAddress(port_); }

std::unique_ptr<LoopbackPeer> LoopbackListener::Accept(std::uint32_t realTimeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(realTimeoutMs);
    if (fd_ < 0 || !Readable(fd_, deadline)) return nullptr;
    const int peer = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return peer < 0 ? nullptr : std::make_unique<LoopbackPeer>(peer);
}

SockAddrIn RefusingAddress() {
    static std::uint16_t port = 0;
    static const int fd = BindLoopback("127.0.0.1", &port);
    return ToAddress(fd >= 0 ? port : 0);
}

std::size_t OpenDescriptorCount() {
    std::size_t count = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; it != end;
         it.increment(error)) {
        ++count;
    }
    return count > 0 ? count - 1 : 0;  // the iterator's own descriptor
}

}  // namespace test
}  // namespace transport
