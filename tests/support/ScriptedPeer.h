#ifndef TRANSPORT_TESTS_SUPPORT_SCRIPTED_PEER_H
#define TRANSPORT_TESTS_SUPPORT_SCRIPTED_PEER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace transport {
namespace test {

// The far end of the client's line on a loopback address: a server that
// answers by a rule the test may replace, a proxy that answers CONNECT, an
// echo, and a line with faults (cut after n bytes, silence, a killed
// listener, answers held back, doubled or written in small chunks, bytes of
// the test's own). Input is cut with the reference server's StreamCutter,
// so frames, POST bodies and CONNECT requests are read as the server reads
// them. One thread per connection; every member is thread-safe.
class ScriptedPeer {
public:
    struct Frame {
        std::size_t connection;  // in accept order, from 0
        long id;
        std::vector<std::string> params;
        std::string text;
        bool viaHttp;
    };
    // The bytes written back for a frame; empty: no answer.
    using Rule = std::function<std::string(const Frame&)>;
    enum class OnAccept { kServe, kHangUp, kIgnore };  // kIgnore: never read, never answer

    // Log-in accepted (token "ok"), keep-alive answered, disconnect unanswered, any other
    // message delivered ("<g44>7<p>1</p></g44>").
    static std::string Usual(const Frame& frame);
    // Usual, then the frame itself; with id8 a part (id 10) comes back as
    // the server's own transfer (id 8, a leading "4").
    static std::string Echo(const Frame& frame, bool id8 = false);
    // A rule's result that writes bytes and then closes the connection.
    static std::string HangUp(const std::string& bytes = std::string());

    explicit ScriptedPeer(std::string address = "127.0.0.1", std::uint16_t port = 0);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    std::uint16_t Port() const { return port_; }
    void SetRule(Rule rule);
    void SetOnAccept(OnAccept what);
    // What a CONNECT gets; a reply that is not 200 is followed by silence.
    void SetTunnelReply(std::string reply);
    void SetChunk(std::size_t bytes);  // writes in pieces this long, 1 ms apart; 0: whole
    void SetDuplicate(bool twice);     // every answer written twice
    void Hold(bool hold);              // answers wait; releasing writes them in order
    // One-shot: the connection that receives the next n bytes is cut there.
    void CutAfter(std::size_t bytes);
    bool Push(const std::string& bytes);  // to the newest open connection
    void DropAll();
    void Kill();    // every connection closed, connects refused until Revive
    void Revive();  // listens again on the same port

    std::vector<Frame> Frames() const;
    std::vector<long> Ids(std::size_t connection) const;  // keep-alives left out
    std::string Received(std::size_t connection) const;
    std::size_t Connections() const;
    bool Closed(std::size_t connection) const;

private:
    struct Connection {
        int fd;
        std::string received;
        bool closed;
        bool served;  // has a thread of its own, which closes it
    };
    void Listen();
    void AcceptLoop(int listener);
    void Serve(std::size_t index);
    void Write(std::size_t index, const std::string& bytes, bool answer);
    void Close(std::size_t index);

    const std::string address_;
    std::uint16_t port_ = 0;
    int listener_ = -1;  // bound; listening unless killed
    std::thread acceptor_;
    std::vector<std::thread> servers_;

    mutable std::mutex mutex_;
    std::mutex writeMutex_;
    Rule rule_ = &Usual;
    OnAccept onAccept_ = OnAccept::kServe;
    std::string tunnelReply_ = "HTTP/1.1 200 Connection established\r\n\r\n";
    std::size_t chunk_ = 0;
    bool duplicate_ = false;
    bool hold_ = false;
    long cutAfter_ = -1;
    std::vector<std::pair<std::size_t, std::string>> held_;
    std::deque<Connection> connections_;
    std::vector<Frame> frames_;
};

}  // namespace test
}  // namespace transport

#endif
