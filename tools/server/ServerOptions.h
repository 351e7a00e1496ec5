#ifndef TRANSPORT_TOOLS_SERVER_SERVER_OPTIONS_H
#define TRANSPORT_TOOLS_SERVER_SERVER_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include <sys/socket.h>

namespace refserver {

// How the reference server behaves. The defaults give a well-behaved server
// on 127.0.0.1:800; the other switches simulate faulty or hostile servers
// for testing clients.
struct ServerOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 800;
    bool help = false;
    bool version = false;

    long refuseLoginCode = -1;      // >= 0: answer every log-in with id 0 and this code
    unsigned long dropAfter = 0;    // > 0: close a connection when its Nth frame arrives
    bool silent = false;            // read and log everything, answer nothing
    bool httpOnly = false;          // close connections that send plain (unwrapped) messages
    long refuseId = -1;             // >= 0: answer messages of this id with result 0
    unsigned long losePart = 0;     // > 0: leave this part out of every transfer echo
    std::size_t maxConnections = 512;
    bool verbose = false;           // one line for every part of a transfer, too

    // PEM files; TLS is on when tlsCert is set. With tlsCa a client must
    // present a certificate that verifies against it.
    std::string tlsCert;
    std::string tlsKey;
    std::string tlsCa;
};

// Reads the command line into options. False with a one-line reason in
// error when an argument is unknown, lacks its value or is out of range.
// The listening address: IPv4 dotted, or IPv6 ("::1"), with the port.
bool ParseAddress(const std::string& text, std::uint16_t port, sockaddr_storage* address,
                  socklen_t* length);

bool ParseServerOptions(int argc, const char* const* argv, ServerOptions* options,
                        std::string* error);

// The --help text.
const char* ServerUsage();

}  // namespace refserver

#endif
