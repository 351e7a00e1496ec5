#ifndef TRANSPORT_TESTS_SUPPORT_LOOPBACK_PEER_H
#define TRANSPORT_TESTS_SUPPORT_LOOPBACK_PEER_H

#include <transport/Platform.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace transport {
namespace test {

// The far end of a loopback TCP connection, driven directly through the
// host's sockets (independent of the platform under test).
class LoopbackPeer {
public:
    explicit LoopbackPeer(int fd) : fd_(fd) {}
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    // The host descriptor, for handing the socket to a platform as a
    // SocketHandle of its own.
    int fd() const { return fd_; }

    bool SendAll(const std::string& bytes);
    // What arrives within realTimeoutMs, up to max bytes; returns early once
    // something has arrived and nothing more follows for a moment.
    std::string Read(std::size_t max, std::uint32_t realTimeoutMs);
    // Reads until text has arrived (true) or the time is up or the peer
    // closed (false); everything read goes to *received.
    bool ReadUntil(const std::string& text, std::uint32_t realTimeoutMs, std::string* received);
    // True once the other side has closed (end of stream within the time).
    bool WaitForClose(std::uint32_t realTimeoutMs);
    void ShutdownSend();
    void Close();
    // Closes with a reset instead of an orderly close.
    void Reset();
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
    // 127.0.0.1 and the port, in network byte order, as Connect takes them.
    SockAddrIn Address() const;
    // The next connection, or null when none comes within realTimeoutMs.
    std::unique_ptr<LoopbackPeer> Accept(std::uint32_t realTimeoutMs);
    void Close();

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// 127.0.0.1 and a port nobody listens on: connects there are refused.
SockAddrIn RefusingAddress();

// Descriptors the process has open (to find leaks).
std::size_t OpenDescriptorCount();

}  // namespace test
}  // namespace transport

#endif
