#ifndef TRANSPORT_TOOLS_SERVER_FRAME_HANDLER_H
#define TRANSPORT_TOOLS_SERVER_FRAME_HANDLER_H

#include <string>
#include <vector>

#include "EventLog.h"
#include "ServerOptions.h"
#include "TransferStore.h"

namespace refserver {

// What the server knows about one connection.
struct Peer {
    unsigned long id = 0;
    std::string address;  // "a.b.c.d:port"
    std::string user;     // decoded user name of the last log-in; empty before
    unsigned long frames = 0;
};

// The server's side of the protocol: turns each received frame into its
// answer frames and one log line. Shared by all connections (the session
// counter and the transfers live here); single-threaded.
class FrameHandler {
public:
    enum Verdict { kKeep, kDrop };

    FrameHandler(const ServerOptions& options, EventLog& log) : m_options(options), m_log(log) {}

    // Appends the answers to one frame to answers. kDrop: the connection is
    // to be closed now, without answering this frame (--drop-after).
    Verdict Handle(Peer& peer, const std::string& frame, std::vector<std::string>* answers);

    const TransferStore& Transfers() const { return m_transfers; }

private:
    void Login(Peer& peer, const std::vector<std::string>& params,
               std::vector<std::string>* answers);
    void Part(Peer& peer, const std::string& frame, const std::vector<std::string>& params,
              std::vector<std::string>* answers);
    void Log(const Peer& peer, const std::string& text);

    const ServerOptions& m_options;
    EventLog& m_log;
    unsigned long m_sessions = 0;
    TransferStore m_transfers;
};

// The frame text of id with the given parameters.
std::string MakeFrame(unsigned long id, const std::vector<std::string>& params);

}  // namespace refserver

#endif
