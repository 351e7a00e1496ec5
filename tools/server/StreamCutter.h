#ifndef TRANSPORT_TOOLS_SERVER_STREAM_CUTTER_H
#define TRANSPORT_TOOLS_SERVER_STREAM_CUTTER_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace refserver {

// What a client may send, cut out of its byte stream one piece at a time.
struct StreamUnit {
    enum Kind {
        kNeedMore,     // nothing complete yet
        kFrame,        // text holds one "<g44>" ... "</g44>" frame
        kHttpRequest,  // line holds the request line, text the body
        kTunnel,       // line holds the "CONNECT host:port HTTP/1.1" line
        kOverflow,     // too much input without a complete piece: drop the client
        kBadRequest,   // an HTTP request that cannot be served: drop the client
    };
    Kind kind = kNeedMore;
    std::string text;
    std::string line;
};

// Cuts a connection's input into frames, HTTP POST requests (with their
// Content-Length body) and CONNECT requests, in the order they arrive. Bytes
// outside those pieces are dropped, as the client does with what lies
// between frames. A frame whose closer was lost is dropped when the next
// frame's opener shows up before a closer.
//
// Bounds: at most `limit` bytes may arrive without a complete piece (the
// buffer never holds more than that plus one read), a request's headers are
// at most 8 KiB and its body at most `limit` less 8 KiB.
class StreamCutter {
public:
    explicit StreamCutter(std::size_t limit = 64 * 1024) : m_limit(limit) {}

    void Append(const char* data, std::size_t length);
    StreamUnit Next();
    std::size_t Buffered() const { return m_buffer.size() - m_start; }

    // The frames of an HTTP body, in order; whatever lies between them is dropped.
    static std::vector<std::string> FramesOf(std::string_view body);

private:
    StreamUnit CutFrame();
    StreamUnit CutRequest(bool tunnel);
    StreamUnit Done(StreamUnit unit);
    // The bytes not yet cut, and dropping n of them from the front. Dropped
    // bytes are only erased on the next Append, so that cutting many small
    // frames out of one read stays linear.
    std::string_view Pending() const { return std::string_view(m_buffer).substr(m_start); }
    void Consume(std::size_t n) { m_start += n; }

    std::string m_buffer;
    std::size_t m_start = 0;
    std::size_t m_limit;
    std::size_t m_sinceUnit = 0;  // bytes received since the last complete piece
};

}  // namespace refserver

#endif
