#ifndef TRANSPORT_TESTS_SUPPORT_SCRIPTED_PEER_H
#define TRANSPORT_TESTS_SUPPORT_SCRIPTED_PEER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/HostSockets.h"

namespace transport {
namespace test {

// The far end of the client's line on a loopback address: a server that
// answers by a rule the test may replace, a proxy that answers CONNECT, an
// echo, and a line with faults (cut after n bytes, silence, hang-ups, a
// killed listener, answers doubled or in small chunks, bytes of
// the test's own). Input is cut with the reference server's StreamCutter,
// so frames, POST bodies and CONNECT requests are read as a server reads
// them. One thread per connection; every member is thread-safe.
class ScriptedPeer {
    mutable std::mutex mutex_;
    template <typename F>
    auto Locked(F f) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }

public:
    struct Frame {
        std::size_t connection;  // in accept order, from 0
        long id;
        std::vector<std::string> params;
        std::string text;
    };
    // The bytes written back for a frame (empty: none). HangUp(bytes)
    // writes them and then closes the connection.
    using Rule = std::function<std::string(const Frame&)>;
    enum class OnAccept { kServe, kHangUp, kIgnore };  // kIgnore: never read, never answer

    // Log-in accepted (token "ok"), keep-alive answered, disconnect not,
    // any other message delivered.
    static std::string Usual(const Frame& frame);
    // Usual, then the frame back; with id8 a part (id 10) comes back as the
    // server's own transfer (id 8, a leading "4").
    static std::string Echo(const Frame& frame, bool id8 = false);
    static std::string HangUp(const std::string& bytes = std::string());

    explicit ScriptedPeer(std::string address = "127.0.0.1", std::uint16_t port = 0);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::uint16_t Port() const { return port_; }
    void SetRule(Rule rule) { Locked([&] { rule_ = std::move(rule); }); }
    // What a CONNECT gets; after a reply that is not 200 the client sends nothing more.
    void SetTunnelReply(std::string reply) { Locked([&] { tunnelReply_ = std::move(reply); }); }
    void SetOnAccept(OnAccept what) { onAccept_ = what; }
    void SetChunk(std::size_t bytes) { chunk_ = bytes; }  // answers in pieces 1 ms apart
    void SetDuplicate(bool twice) { duplicate_ = twice; }
    // One-shot: the connection that receives the next n bytes is cut there.
    void CutAfter(long bytes) { Locked([&] { cutAfter_ = bytes; }); }
    bool Push(const std::string& bytes);  // to the newest open connection
    void DropAll();
    void SetListening(bool listening);  // not listening: connects are refused

    std::vector<Frame> Frames() const { return Locked([&] { return frames_; }); }
    std::vector<long> Ids(std::size_t connection) const;  // keep-alives left out
    std::string Received(std::size_t connection) const;
    std::size_t Connections() const { return Locked([&] { return connections_.size(); }); }
    bool Closed(std::size_t connection) const;

private:
    struct Connection {
        PeerSocket fd;
        std::string received;
        bool closed;
        bool served;  // has a thread of its own, which closes it
        bool dropped = false;  // by DropAll: what its reader still gets is not taken
    };
    void AcceptLoop();
    void Serve(std::size_t index);
    std::string Answer(std::size_t index, const std::string& text, bool* hangUp);
    void Write(std::size_t index, const std::string& bytes, bool answer);
    void Close(std::size_t index);

    const std::string address_;
    std::uint16_t port_ = 0;
    PeerSocket listener_ = kNoPeer;  // bound; listening while acceptor_ runs
    std::thread acceptor_;
    std::vector<std::thread> servers_;  // acceptor_'s, then the destructor's
    std::atomic<OnAccept> onAccept_{OnAccept::kServe};
    std::atomic<std::size_t> chunk_{0};
    std::atomic<bool> duplicate_{false};

    std::mutex writeMutex_;  // taken before mutex_
    Rule rule_ = &Usual;
    std::string tunnelReply_ = "HTTP/1.1 200 Connection established\r\n\r\n";
    long cutAfter_ = -1;
    std::deque<Connection> connections_;
    std::vector<Frame> frames_;
};

}  // namespace test
}  // namespace transport

#endif
