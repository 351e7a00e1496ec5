#ifndef TRANSPORT_CLIENT_INTERNALS_H
#define TRANSPORT_CLIENT_INTERNALS_H

#include <mutex>
#include <string>
#include <vector>

class NetMessage;

namespace transport {

// State of a CNetClient that the public field list has no place for. Shared by
// a client and its copies; owned by the original.
struct ClientInternals {
    // Guards m_pLoginMessage and retiredLogins: Login replaces the message
    // while the send thread may be writing the old one.
    std::mutex loginMutex;
    // Log-in messages replaced by a later Login; destroyed with the client.
    std::vector<NetMessage*> retiredLogins;

    // Held for the whole of SendSocket: the send thread, the main thread
    // (keep-alive) and Close (disconnect) never send at the same time.
    std::mutex sendMutex;

    // Request text of SendData; grows past 2500 characters when a request needs it.
    std::string request;

    // Set by SendData: whether it transmitted a queued message or the log-in.
    bool sentSomething = false;
};

}  // namespace transport

#endif
