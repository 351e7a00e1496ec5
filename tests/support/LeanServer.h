#ifndef TRANSPORT_TESTS_SUPPORT_LEAN_SERVER_H
#define TRANSPORT_TESTS_SUPPORT_LEAN_SERVER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace transport {
namespace test {

// A server for long and large runs: it keeps nothing of what it receives
// (the soak measures the process's memory, so the server must not grow) and
// cuts frames in time linear in the bytes received, however large a frame.
// Every complete frame "<g44>...</g44>" goes to the handler on the server's
// thread, whose result is written back as the answer. Plain frames only: no
// HTTP unwrapping.
class LeanServer {
public:
    struct Frame {
        std::size_t connection;  // accept order, from 0
        long id;                 // -1 when the id text is not a number
        std::vector<std::string_view> params;  // valid during the call
    };
    using Handler = std::function<std::string(const Frame&)>;

    // The usual answers: log-in accepted, keep-alive answered, disconnect
    // unanswered, every other message delivered ("<g44>7<p>1</p></g44>").
    static std::string UsualAnswer(const Frame& frame);

    explicit LeanServer(Handler handler = &UsualAnswer, std::uint16_t port = 0);
    ~LeanServer();
    LeanServer(const LeanServer&) = delete;
    LeanServer& operator=(const LeanServer&) = delete;

    std::uint16_t Port() const { return m_port; }
    std::size_t Accepted() const { return m_accepted.load(); }
    std::uint64_t FramesReceived() const { return m_frames.load(); }
    // Closes every open connection; returns once they are closed.
    void DropAll();

private:
    struct Connection;
    void Run();
    void ReadFrom(Connection& conn);
    void Close(Connection& conn);

    Handler m_handler;
    std::uint16_t m_port = 0;
    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    std::thread m_thread;
    std::vector<std::unique_ptr<Connection>> m_connections;  // server thread only
    std::atomic<bool> m_stop{false};
    std::atomic<std::size_t> m_accepted{0};
    std::atomic<std::uint64_t> m_frames{0};
    std::mutex m_dropMutex;
    std::atomic<std::uint64_t> m_dropsAsked{0};
    std::atomic<std::uint64_t> m_dropsDone{0};
};

// Bytes of the process's resident memory (from /proc/self/statm).
std::size_t ResidentBytes();

}  // namespace test
}  // namespace transport

#endif
