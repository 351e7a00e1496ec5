#ifndef TRANSPORT_TESTS_SUPPORT_TEST_PLATFORMS_H
#define TRANSPORT_TESTS_SUPPORT_TEST_PLATFORMS_H

// The platform wrappers an end-to-end client runs on, each forwarding what
// it does not change.

#include <transport/Platform.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/HostSockets.h"

namespace transport {
namespace test {

// Records every trace line; matching is by substring.
class TraceRecorder : public PlatformWrapper {
public:
    explicit TraceRecorder(Platform& target) : PlatformWrapper(target) {}
    void Trace(const char* text, bool flag) override;
    std::vector<std::string> Lines() const;
    std::size_t Count(const std::string& text) const;
    bool Contains(const std::string& text) const { return Count(text) > 0; }
    long IndexOf(const std::string& text, std::size_t from = 0) const;  // -1: none
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A connection manager driven by the test: each bearer connection is an
// event of the wrapped platform, signalled whenever the test sets a status,
// and all live ones share one status word.
class BearerDouble : public PlatformWrapper {
public:
    explicit BearerDouble(Platform& target) : PlatformWrapper(target) {}
    ~BearerDouble() override;
    void SetStatus(std::uint32_t status);

    int CmEstablishConnection(const ConnectionInfo& info, Handle* connection) override;
    int CmConnectionStatus(Handle connection, std::uint32_t* status) override;
    int CmReleaseConnection(Handle connection, std::uint32_t flags) override;

private:
    std::mutex mutex_;
    std::uint32_t status_ = 0;
    std::vector<Handle> live_;
};

// Decides what each connect meets by the address and port the client asked
// for, and journals what the client did, in call order and in its own
// times: "connect 127.0.0.31:800", "sleep 500", "establish", "release". A
// connect to a loopback address nothing was routed for is refused for
// real; names under ".invalid" never resolve.
class PortMapPlatform : public PlatformWrapper {
public:
    static constexpr std::uint16_t kRefuse = 0;
    static constexpr std::uint16_t kTimeOut = 1;  // fails at once with 10060

    explicit PortMapPlatform(Platform& target) : PlatformWrapper(target) {}
    ~PortMapPlatform() override;  // closes the refusing ports
    // Connects to address:port go to these ports of the same address (or
    // kRefuse, kTimeOut) in turn; the last one stays.
    void Route(const std::string& address, std::uint16_t port, std::vector<std::uint16_t> to);
    std::vector<std::string> Journal() const;
    std::vector<std::string> Targets() const;  // "address:port" of each connect
    std::string Sent(std::size_t connect) const;  // the bytes sent on that connection

    int Connect(SocketHandle socket, const SockAddrIn& address) override;
    int Send(SocketHandle socket, const char* data, std::uint32_t length, std::uint32_t timeoutMs,
             std::uint32_t* sent) override;
    void Sleep(std::uint32_t ms) override;
    bool GetHostByName(const char* name, HostEntry* entry) override;
    int CmEstablishConnection(const ConnectionInfo& info, Handle* connection) override;
    int CmReleaseConnection(Handle connection, std::uint32_t flags) override;

private:
    void Add(const std::string& entry);

    mutable std::mutex mutex_;
    std::map<std::string, std::deque<std::uint16_t>> routes_;  // by "address:port"
    std::map<std::string, std::pair<PeerSocket, std::uint16_t>> refusers_;  // by address
    std::map<SocketHandle, std::size_t> connectOf_;
    std::vector<std::string> journal_, targets_, sent_;
};

}  // namespace test
}  // namespace transport

#endif
