#ifndef TRANSPORT_TESTS_SUPPORT_REPLY_SERVER_H
#define TRANSPORT_TESTS_SUPPORT_REPLY_SERVER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace transport {
namespace test {

// A loopback server that treats every connection the same, for the walk's
// failures that a full server cannot stage: a peer that hangs up the moment
// it has accepted, or a proxy that gives one fixed reply to the first request
// head ("...\r\n\r\n") and then holds the line (until CloseAll) or closes it.
// Records every byte received per connection. Thread-safe.
class ReplyServer {
public:
    enum class Mode { kHangUp, kReplyAndHold, kReplyAndClose };

    // Listens on an ephemeral port of address; aborts the run if it cannot.
    ReplyServer(const char* address, Mode mode, std::string reply = std::string());
    ~ReplyServer();
    ReplyServer(const ReplyServer&) = delete;
    ReplyServer& operator=(const ReplyServer&) = delete;

    std::uint16_t Port() const { return m_port; }
    std::size_t ConnectionCount() const;
    std::string Received(std::size_t connection) const;
    // Real-time waits.
    bool WaitForConnections(std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForReplies(std::size_t n, std::chrono::milliseconds timeout) const;
    // Closes every connection held open (returns once done).
    void CloseAll();

private:
    struct Connection {
        int fd;
        bool replied;
    };

    void Run();
    void Serve(std::size_t index);

    const Mode m_mode;
    const std::string m_reply;
    std::uint16_t m_port = 0;
    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    std::thread m_thread;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    bool m_closeAll = false;
    std::size_t m_replies = 0;
    std::vector<Connection> m_connections;  // fd -1 once closed
    std::vector<std::string> m_received;
};

}  // namespace test
}  // namespace transport

#endif
