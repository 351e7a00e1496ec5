#ifndef TRANSPORT_TESTS_SUPPORT_LOOPBACK_PEER_H
#define TRANSPORT_TESTS_SUPPORT_LOOPBACK_PEER_H

#include <transport/Platform.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace transport {
namespace test {

// A TCP socket bound to address:*port (0: an ephemeral port, written back),
// not listening, so connects to it are refused and nobody else takes the
// port; -1 when it cannot be bound (ports below 1024 need root).
int BindLoopback(const std::string& address, std::uint16_t* port);

// The far end of a loopback TCP connection, driven directly through the
// host's sockets (independent of the platform under test).
class LoopbackPeer {
public:
    explicit LoopbackPeer(int fd) : fd_(fd) {}
    ~LoopbackPeer() { Close(); }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    int fd() const { return fd_; }
    bool SendAll(const std::string& bytes);
    // Reads until text has arrived (true) or the time is up or the peer
    // closed (false); everything read goes to *received.
    bool ReadUntil(const std::string& text, std::uint32_t realTimeoutMs, std::string* received);
    // True once the other side has closed within the time.
    bool WaitForClose(std::uint32_t realTimeoutMs);
    void Close();
    void Reset();  // closes with a reset instead of an orderly close
    void SetReceiveBuffer(int bytes);

private:
    int fd_;
};

// A listening socket on 127.0.0.1 with an ephemeral port.
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    std::uint16_t port() const { return port_; }
    SockAddrIn Address() const;  // as Connect takes it
    // The next connection, or null when none comes within realTimeoutMs.
    std::unique_ptr<LoopbackPeer> Accept(std::uint32_t realTimeoutMs);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// 127.0.0.1 and a port bound for the life of the process on which nobody
// listens: connects there are refused.
SockAddrIn RefusingAddress();

// Descriptors the process has open (to find leaks).
std::size_t OpenDescriptorCount();

}  // namespace test
}  // namespace transport

#endif
