#ifndef TRANSPORT_TOOLS_SERVER_SERVER_LOOP_H
#define TRANSPORT_TOOLS_SERVER_SERVER_LOOP_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EventLog.h"
#include "FrameHandler.h"
#include "ServerOptions.h"
#include "StreamCutter.h"
#include "TlsServer.h"

namespace refserver {

// The server's single thread: one poll over the listening socket, every
// client connection and a self-pipe that carries signals. Reads are cut into
// frames and requests, answers are queued per connection and written as the
// socket takes them.
//
// Bounds per connection: 64 KiB of input without a complete frame or request
// (the connection is dropped), 1 MiB of unsent answers (reading pauses until
// the client takes them), 64 MiB of unsent answers (the connection is dropped).
// With TLS each connection first completes its handshake, within 10 s; the
// bounds count the plaintext.
class ServerLoop {
public:
    ServerLoop(const ServerOptions& options, EventLog& log);
    ~ServerLoop();
    ServerLoop(const ServerLoop&) = delete;
    ServerLoop& operator=(const ServerLoop&) = delete;

    // Binds and listens; logs "listening on ADDRESS:PORT". False with a reason
    // a person can act on.
    bool Listen(std::string* error);
    std::uint16_t Port() const { return m_port; }

    // Serves until SIGINT or SIGTERM; SIGUSR1 drops every connection.
    void Run();

private:
    struct Connection {
        int fd = -1;
        Peer peer;
        StreamCutter cutter;
        std::string out;
        bool http = false;
        bool closed = false;
        std::unique_ptr<TlsConnection> tls;  // null in clear text
        bool handshaking = false;
        bool handshakeWantsWrite = false;
        bool readWantsWrite = false;  // TLS may need the socket writable to read on
        bool writeWantsRead = false;  // and readable to write on
        std::chrono::steady_clock::time_point handshakeDeadline;
    };

    void Accept();
    void Handshake(Connection& connection, bool ready);
    void Read(Connection& connection);
    std::size_t Receive(Connection& connection, char* buffer, std::size_t size);
    std::size_t Send(Connection& connection, const char* data, std::size_t size);
    void Process(Connection& connection);
    void Flush(Connection& connection);
    void Close(Connection& connection, const std::string& why);
    bool HandleSignals();     // false: stop
    int PollTimeout() const;  // ms until the next handshake is due; -1: none

    const ServerOptions& m_options;
    EventLog& m_log;
    FrameHandler m_handler;
    std::unique_ptr<TlsContext> m_tls;  // null in clear text
    int m_listen = -1;
    std::uint16_t m_port = 0;
    unsigned long m_nextId = 1;
    std::vector<std::unique_ptr<Connection>> m_connections;
};

}  // namespace refserver

#endif
