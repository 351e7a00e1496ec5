#ifndef TRANSPORT_TESTS_SUPPORT_CONNECT_SCRIPT_H
#define TRANSPORT_TESTS_SUPPORT_CONNECT_SCRIPT_H

#include <transport/Platform.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace transport {
namespace test {

// A platform wrapper for the tests of the reconnection walk. It decides what
// each connect meets by the address and port the client asked for, and keeps
// one journal, in call order, of what the client did at the platform:
//
//   "connect 127.0.0.31:800"   a connect asked for (before any routing)
//   "sleep 500"                a pause, in the client's milliseconds
//   "establish" / "release"    bearer requests and releases
//
// plus the bytes the client sent on the socket of each connect. Put it on top
// of the platform stack, so that it sees the client's own times and ports.
//
// A connect to a loopback address and port that nothing was set for is
// refused for real (it goes to a bound port of that address on which nothing
// listens), so no test reaches a server by accident. Connects to other
// addresses (the none address of a failed lookup) go to the socket layer as
// they are. Names under ".invalid" never resolve; their lookup fails at once
// with "host not found", whatever the machine's resolver would do.
class ConnectScript : public PlatformWrapper {
public:
    enum class Outcome {
        kRefuse,   // connection refused, by the peer's socket layer
        kTimeOut,  // the connect fails at once with 10060 (loopback cannot time out)
        kRoute,    // goes to `port` of the same address
    };
    struct Step {
        Outcome outcome;
        std::uint16_t port;
    };
    static Step Refuse() { return Step{Outcome::kRefuse, 0}; }
    static Step TimeOut() { return Step{Outcome::kTimeOut, 0}; }
    static Step RouteTo(std::uint16_t port) { return Step{Outcome::kRoute, port}; }

    struct Attempt {
        std::string target;  // "address:port" as asked for
        std::string sent;    // every byte sent on that connection
    };

    explicit ConnectScript(Platform& target) : PlatformWrapper(target) {}
    ~ConnectScript() override;  // closes the refusing ports

    // What connects to address:port meet once the steps of Then are used up.
    void Set(const std::string& address, std::uint16_t port, Step standing);
    // Steps used once each, in order, by the next connects to address:port.
    void Then(const std::string& address, std::uint16_t port, std::vector<Step> steps);

    std::vector<std::string> Journal() const;
    std::vector<Attempt> Attempts() const;
    std::vector<std::string> Targets() const;  // Attempts()' targets, in order
    std::size_t AttemptCount() const;
    // Real-time waits.
    bool WaitForAttempts(std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForJournal(const std::function<bool(const std::vector<std::string>&)>& done,
                        std::chrono::milliseconds timeout) const;
    // Waits until the connection of attempt `index` has carried `text`.
    bool WaitForSent(std::size_t index, const std::string& text,
                     std::chrono::milliseconds timeout) const;

    int Connect(SocketHandle socket, const SockAddrIn& address) override;
    int Send(SocketHandle socket, const char* data, std::uint32_t length, std::uint32_t timeoutMs,
             std::uint32_t* sent) override;
    void Sleep(std::uint32_t ms) override;
    bool GetHostByName(const char* name, HostEntry* entry) override;
    int CmEstablishConnection(const ConnectionInfo& info, Handle* connection) override;
    int CmReleaseConnection(Handle connection, std::uint32_t flags) override;

private:
    using Key = std::pair<std::string, std::uint16_t>;

    void AddLocked(const std::string& entry);
    Step NextStepLocked(const Key& key);
    std::uint16_t RefusingPortLocked(std::uint32_t address);

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<Key, Step> m_standing;
    std::map<Key, std::deque<Step>> m_once;
    std::map<std::uint32_t, std::pair<int, std::uint16_t>> m_refusers;  // address -> fd, port
    std::map<SocketHandle, std::size_t> m_attemptOf;
    std::vector<Attempt> m_attempts;
    std::vector<std::string> m_journal;
};

}  // namespace test
}  // namespace transport

#endif
