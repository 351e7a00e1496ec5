#ifndef TRANSPORT_TOOLS_SERVER_SERVER_LOOP_H
#define TRANSPORT_TOOLS_SERVER_SERVER_LOOP_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "EventLog.h"
#include "FrameHandler.h"
#include "ServerOptions.h"
#include "StreamCutter.h"

namespace refserver {

// The server's single thread: one poll over the listening socket, every
// client connection and a self-pipe that carries signals. Reads are cut into
// frames and requests, answers are queued per connection and written as the
// socket takes them.
//
// Bounds per connection: 64 KiB of input without a complete frame or request
// (the connection is dropped), 1 MiB of unsent answers (reading pauses until
// the client takes them), 64 MiB of unsent answers (the connection is dropped).
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
    };

    void Accept();
    void Read(Connection& connection);
    void Process(Connection& connection);
    void Flush(Connection& connection);
    void Close(Connection& connection, const std::string& why);
    bool HandleSignals();  // false: stop

    const ServerOptions& m_options;
    EventLog& m_log;
    FrameHandler m_handler;
    int m_listen = -1;
    std::uint16_t m_port = 0;
    unsigned long m_nextId = 1;
    std::vector<std::unique_ptr<Connection>> m_connections;
};

}  // namespace refserver

#endif
