#ifndef TRANSPORT_TESTS_SUPPORT_FAULT_PROXY_H
#define TRANSPORT_TESTS_SUPPORT_FAULT_PROXY_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace transport {
namespace test {

// A TCP relay on 127.0.0.1 between a client and a server (the kernel's
// network emulation is not available on these machines), with faults that a
// test switches on and off at any time, in either direction:
//
//   delay      every piece waits before it is passed on
//   slicing    one byte per write, with a pause between bytes, so that the
//              other side receives the stream one byte at a time
//   duplicate  every piece is passed on twice
//   drop       the connection is cut (both sides closed) after a number of
//              bytes, after every n-th frame closer, or at once (DropAll)
//   hang       new connections are accepted and then left alone: nothing is
//              read or passed on (the receive buffer is made small, so a
//              client writing much soon finds its send blocked), and no
//              server connection is made; only injected bytes reach the
//              client
//   inject     bytes written to one side as if they came from the other
//
// Each accepted connection gets its own connection to the server's port
// (which SetUpstream may change; a refused server connection closes the
// client's at once). One thread serves everything; every call is
// thread-safe. Times are real time.
class FaultProxy {
public:
    enum Direction { kToServer = 0, kToClient = 1 };

    explicit FaultProxy(std::uint16_t upstreamPort);
    ~FaultProxy();
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    std::uint16_t Port() const { return m_port; }
    // Server port for connections accepted from now on.
    void SetUpstream(std::uint16_t port);

    // ---- Faults; each applies from the next byte read on. ----
    void SetDelay(Direction direction, std::chrono::milliseconds delay);
    void SetSlicing(Direction direction, bool oneByte,
                    std::chrono::microseconds pause = std::chrono::microseconds(500));
    void SetDuplicate(Direction direction, bool duplicate);
    // One-shot: the connection that next passes on bytes in this direction is
    // cut once it has passed on `bytes` more of them (0 cuts it before the
    // next byte).
    void DropAfterBytes(Direction direction, std::size_t bytes);
    // Every connection is cut right after it has passed on its n-th frame
    // closer "</g44>" in this direction (counted per connection); 0: off.
    void DropEveryFrames(Direction direction, int n);
    void SetHang(bool hang);
    // Closes every connection now; returns once they are closed.
    void DropAll();
    // Writes bytes to the client (kToClient) or the server (kToServer) side
    // of the newest open connection; false when there is none.
    bool Inject(Direction direction, const std::string& bytes);

    // ---- Observation ----
    std::size_t Accepted() const;
    std::size_t OpenConnections() const;
    // Connections cut by a fault or DropAll (not those the ends closed).
    std::size_t Cut() const;
    std::size_t Hung() const;  // connections accepted while hanging
    std::uint64_t Forwarded(Direction direction) const;  // bytes passed on
    bool WaitForAccepted(std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForCut(std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForHung(std::size_t n, std::chrono::milliseconds timeout) const;

private:
    struct Piece;
    struct Connection;
    struct Settings {
        std::chrono::milliseconds delay[2] = {std::chrono::milliseconds(0),
                                              std::chrono::milliseconds(0)};
        bool slicing[2] = {false, false};
        std::chrono::microseconds slicePause[2] = {std::chrono::microseconds(500),
                                                   std::chrono::microseconds(500)};
        bool duplicate[2] = {false, false};
        long dropAfterBytes[2] = {-1, -1};  // -1: off
        int dropEveryFrames[2] = {0, 0};
        bool hang = false;
        std::uint16_t upstream = 0;
    };
    struct Command {
        enum Kind { kDropAll, kInject } kind;
        Direction direction;
        std::string bytes;
        std::uint64_t serial;
    };

    void Run();
    void Wake();
    void RunCommands();
    void Accept();
    void ReadSide(Connection& conn, Direction direction);
    void Forward(Connection& conn, Direction direction, const char* data, std::size_t length);
    void Flush(Connection& conn, Direction direction);
    void CloseConnection(Connection& conn, bool cut);
    // The earliest time some queued piece is due, or max() when none is.
    std::chrono::steady_clock::time_point NextDue() const;
    // Runs a command on the proxy thread and waits for it; returns its result.
    bool RunOnThread(Command command);

    std::uint16_t m_port = 0;
    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    std::thread m_thread;

    // Proxy thread only.
    std::vector<std::unique_ptr<Connection>> m_connections;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    Settings m_settings;
    std::vector<Command> m_commands;
    std::uint64_t m_nextSerial = 1;
    std::uint64_t m_doneSerial = 0;
    std::vector<std::pair<std::uint64_t, bool>> m_results;
    std::size_t m_accepted = 0;
    std::size_t m_open = 0;
    std::size_t m_cut = 0;
    std::size_t m_hung = 0;
    std::uint64_t m_forwarded[2] = {0, 0};
};

}  // namespace test
}  // namespace transport

#endif
