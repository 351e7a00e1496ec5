#ifndef TRANSPORT_TESTS_SUPPORT_ECHO_SERVER_H
#define TRANSPORT_TESTS_SUPPORT_ECHO_SERVER_H

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

// A server for the transfer tests that sends every message back. It listens
// on 127.0.0.1 (ephemeral port), serves its connections from one thread, and
// answers each frame as a server would, then returns it:
//
//   log-in (id 1)      -> "<g44>1<p>1</p><p>ok</p></g44>"
//   keep-alive (id 12) -> "<g44>12<p>Keep-Alive</p></g44>"
//   disconnect (id 0)  -> nothing
//   any other id       -> "<g44>7<p>1</p></g44>", then the frame itself,
//                         byte for byte
//
// With SetPartsAsServerTransfer(true) a part of an object (id 10) comes back
// the way a server sends its own transfers: as id 8 with a leading "4".
// Frames of any length are read (a client may send a long single frame);
// every frame received is recorded. Thread-safe.
class EchoServer {
public:
    struct Frame {
        std::size_t connection = 0;
        long id = -1;  // -1 when the id text is not a number
        std::vector<std::string> params;
        std::size_t length = 0;  // of the whole frame text, tags included
    };

    EchoServer();
    ~EchoServer();
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    std::uint16_t Port() const { return m_port; }

    void SetPartsAsServerTransfer(bool asServerTransfer);
    // While held, frames are recorded but their answers wait (the client
    // sees a slow server); releasing sends the waiting answers in order.
    void HoldAnswers();
    void ReleaseAnswers();

    std::vector<Frame> Frames() const;
    std::vector<Frame> FramesWithId(long id) const;
    // Real-time wait until n frames with this id have arrived.
    bool WaitForFramesWithId(long id, std::size_t n, std::chrono::milliseconds timeout) const;

private:
    struct Connection {
        int fd = -1;
        std::size_t index = 0;
        std::string pending;     // received bytes not yet cut into frames
        std::size_t scanned = 0;  // where the search for a closing tag resumes
    };

    void Run();
    void Wake();
    void SendHeldAnswers();
    void Accept();
    // False when the connection is gone.
    bool ReadFrom(Connection& conn);
    void HandleFrames(Connection& conn);
    std::string AnswerFor(const std::string& text, const Frame& frame) const;
    static void WriteAll(int fd, const std::string& data);

    std::uint16_t m_port = 0;
    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    std::thread m_thread;
    std::vector<Connection> m_connections;  // server thread only
    std::size_t m_accepted = 0;             // server thread only

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    bool m_asServerTransfer = false;
    bool m_hold = false;
    std::vector<std::pair<std::size_t, std::string>> m_held;  // connection, answer
    std::vector<Frame> m_frames;
};

}  // namespace test
}  // namespace transport

#endif
