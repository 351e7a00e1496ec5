#include "support/LoopbackPeer.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace transport {
namespace test {
namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool WaitReadable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, timeoutMs) > 0;
}

SockAddrIn ToAddress(std::uint16_t port) {
    SockAddrIn address{};
    address.sin_family = kAfInet;
    address.sin_port = htons(port);
    address.sin_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

LoopbackPeer::~LoopbackPeer() { Close(); }

bool LoopbackPeer::SendAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string LoopbackPeer::Read(std::size_t max, std::uint32_t realTimeoutMs) {
    std::string result;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(realTimeoutMs);
    char buffer[4096];
    while (result.size() < max) {
        // Once data came, a short quiet spell ends the read.
        const int wait = result.empty() ? MsLeft(deadline) : std::min(MsLeft(deadline), 50);
        if (!WaitReadable(fd_, wait)) break;
        ssize_t n = recv(fd_, buffer, std::min(sizeof(buffer), max - result.size()), 0);
        if (n <= 0) break;
        result.append(buffer, static_cast<std::size_t>(n));
    }
    return result;
}

bool LoopbackPeer::ReadUntil(const std::string& text, std::uint32_t realTimeoutMs,
                             std::string* received) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(realTimeoutMs);
    char buffer[4096];
    while (received->find(text) == std::string::npos) {
        if (!WaitReadable(fd_, MsLeft(deadline))) return false;
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n <= 0) return false;
        received->append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

bool LoopbackPeer::WaitForClose(std::uint32_t realTimeoutMs) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(realTimeoutMs);
    char buffer[4096];
    for (;;) {
        if (!WaitReadable(fd_, MsLeft(deadline))) return false;
        ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
        if (n == 0) return true;
        if (n < 0 && errno != EINTR) return errno == ECONNRESET;
    }
}

void LoopbackPeer::ShutdownSend() { shutdown(fd_, SHUT_WR); }

void LoopbackPeer::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void LoopbackPeer::Reset() {
    if (fd_ < 0) return;
    linger option{1, 0};  // abortive close: the peer sees a reset
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &option, sizeof(option));
    Close();
}

void LoopbackPeer::SetReceiveBuffer(int bytes) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
}

LoopbackListener::LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(fd_, 16) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Close();
        return;
    }
    port_ = ntohs(address.sin_port);
}

LoopbackListener::~LoopbackListener() { Close(); }

SockAddrIn LoopbackListener::Address() const { return ToAddress(port_); }

std::unique_ptr<LoopbackPeer> LoopbackListener::Accept(std::uint32_t realTimeoutMs) {
    if (fd_ < 0 || !WaitReadable(fd_, static_cast<int>(realTimeoutMs))) return nullptr;
    const int peer = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    return peer < 0 ? nullptr : std::make_unique<LoopbackPeer>(peer);
}

void LoopbackListener::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

SockAddrIn RefusingAddress() {
    // Bound but never listening, for the life of the process: connects are
    // refused and no other program can take the port meanwhile.
    static const std::uint16_t port = [] {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        return ntohs(address.sin_port);
    }();
    return ToAddress(port);
}

std::size_t OpenDescriptorCount() {
    std::size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') ++count;
        }
        closedir(dir);
        if (count > 0) --count;  // the directory stream's own descriptor
    }
    return count;
}

}  // namespace test
}  // namespace transport
