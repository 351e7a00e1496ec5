#ifndef TRANSPORT_TESTS_SUPPORT_FAKE_SERVER_H
#define TRANSPORT_TESTS_SUPPORT_FAKE_SERVER_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackPeer.h"

namespace transport {
namespace test {

// An in-process server for end-to-end tests. It listens on 127.0.0.1, serves
// any number of connections (one after the other or at once) from a thread of
// its own, records every byte and every frame received per connection, and
// answers by a script that the test may change at any time:
//
//   log-in (id 1)         -> "<g44>1<p>1</p><p>{second}</p></g44>", or a
//                            refusal "<g44>0<p>{code}</p></g44>"
//   keep-alive (id 12)    -> "<g44>12<p>Keep-Alive</p></g44>" or nothing
//   disconnect (id 0)     -> nothing
//   any other id          -> "<g44>7<p>{result}</p></g44>" (1 delivered,
//                            0 refused, kNoAnswer: nothing)
//
// A "POST ... HTTP/1.1" request on the same port is unwrapped: the frames of
// its Content-Length body are handled as above and their answers go back in
// one "HTTP/1.1 200 OK" response. A "CONNECT host:port" request is answered
// "HTTP/1.1 200 Connection established" and the connection then carries plain
// frames. Every accessor is thread-safe; waits use a condition variable.
class FakeServer {
public:
    static constexpr int kNoAnswer = -1;

    struct Frame {
        std::size_t connection = 0;  // index in accept order, from 0
        std::string text;            // "<g44>" ... "</g44>"
        long id = -1;                // -1 when the id text is not a number
        std::vector<std::string> params;
        bool viaHttp = false;  // came as the body of a POST request
    };

    // Listens on address (a loopback address) and port (0: an ephemeral
    // port). Aborts the test run if it cannot listen.
    explicit FakeServer(std::uint16_t port = 0, const char* address = "127.0.0.1");
    ~FakeServer();
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    std::uint16_t Port() const { return m_port; }

    // ---- Script ----
    // Second parameter of the log-in answer (the client keeps it as the
    // password when its own was empty).
    void SetLoginAnswer(const std::string& secondParam);
    // Answers log-ins with id 0 and code (a refusal); AcceptLogins undoes it.
    void RefuseLogins(int code);
    void AcceptLogins();
    // No answer at all to log-ins (the client waits for its time-out).
    void IgnoreLogins(bool ignore);
    // Result (1, 0 or kNoAnswer) of every ordinary message without a more
    // specific rule. Default 1.
    void SetDefaultResult(int result);
    void SetResultForId(long id, int result);
    // Results used, in order, before the per-id and default rules.
    void QueueResults(const std::vector<int>& results);
    void AnswerKeepAlives(bool answer);
    // Reads and records everything, answers nothing.
    void SetSilent(bool silent);

    // ---- Connection drops ----
    // The connection that receives the n-th frame from now (n >= 1) is closed
    // right after recording it, without an answer. One-shot.
    void DropAfterFrames(int n);
    // Closes the connection, without an answer, when a frame with this id
    // arrives; applies to the next `times` such frames.
    void DropOnId(long id, int times = 1);
    // Answers the next frame with this id with only the first half of its
    // answer frame, then closes the connection.
    void DropMidAnswerOnId(long id);
    // Closes every open connection now (returns once done).
    void DropAll();

    // ---- Server-initiated traffic ----
    // Writes text as it is to the newest open connection; false when none.
    bool Push(const std::string& text);
    bool PushTo(std::size_t connection, const std::string& text);

    // ---- Observation ----
    std::size_t ConnectionCount() const;      // accepted so far
    std::size_t OpenConnectionCount() const;  // accepted and not closed
    bool IsClosed(std::size_t connection) const;
    std::string Received(std::size_t connection) const;  // every byte, raw
    std::vector<Frame> Frames() const;
    std::vector<Frame> FramesWithId(long id) const;
    std::size_t FrameCount() const;
    std::vector<std::string> ConnectRequests() const;  // "CONNECT ..." lines

    using Clock = std::chrono::steady_clock;
    bool WaitForFrames(std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForFramesWithId(long id, std::size_t n, std::chrono::milliseconds timeout) const;
    bool WaitForConnections(std::size_t n, std::chrono::milliseconds timeout) const;
    // Waits until the peer (or a drop) has closed that connection.
    bool WaitForClosed(std::size_t connection, std::chrono::milliseconds timeout) const;

private:
    struct Connection;
    struct Command {
        enum Kind { kPush, kDropAll } kind;
        std::size_t connection;
        std::string text;
        bool newest;
        std::uint64_t serial;
    };

    void Run();
    void Wake();
    void RunCommands();
    void Accept();
    void ReadFrom(Connection& conn);
    void Process(Connection& conn);
    // Handles one frame; returns false when the connection was closed.
    bool HandleFrame(Connection& conn, const std::string& text, bool viaHttp,
                     std::string* answers);
    std::string AnswerFor(const Frame& frame);  // m_mutex held
    void WriteAll(Connection& conn, const std::string& data);
    void CloseConnection(Connection& conn);

    std::uint16_t m_port = 0;
    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    std::thread m_thread;

    // Owned and touched by the server thread only.
    std::vector<std::unique_ptr<Connection>> m_connections;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stop = false;
    // Script.
    std::string m_loginSecond = "ok";
    int m_loginRefusal = -1;
    bool m_ignoreLogins = false;
    int m_defaultResult = 1;
    std::map<long, int> m_resultById;
    std::deque<int> m_queuedResults;
    bool m_answerKeepAlive = true;
    bool m_silent = false;
    int m_dropAfter = 0;
    std::map<long, int> m_dropOnId;
    std::map<long, int> m_dropMidOnId;
    // Records.
    std::vector<std::string> m_received;
    std::vector<bool> m_closed;
    std::vector<Frame> m_frames;
    std::vector<std::string> m_connectRequests;
    // Commands for the server thread.
    std::vector<Command> m_commands;
    std::uint64_t m_nextSerial = 1;
    std::uint64_t m_doneSerial = 0;
    std::vector<std::pair<std::uint64_t, bool>> m_results;  // serial, success
};

// A loopback port on which nothing listens: a socket is bound to it and kept
// (so no other test takes the port), and connections to it are refused.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    std::uint16_t Port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// A plain blocking connection to 127.0.0.1:port (for testing the server
// itself); null when the connect fails.
std::unique_ptr<LoopbackPeer> ConnectToLoopback(std::uint16_t port);

}  // namespace test
}  // namespace transport

#endif
