#ifndef TRANSPORT_CLIENT_INTERNALS_H
#define TRANSPORT_CLIENT_INTERNALS_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class NetMessage;

namespace transport {

class PartsLedger;

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

    // Answers carry no message id, so an answer belongs to the transmission
    // it could answer. SendData counts its transmissions; ReadData notes the
    // count when a chunk arrives, and an answer cut from that chunk releases
    // the send thread only while no later transmission has begun: a late or
    // unasked answer must not remove a message that went out after it came.
    static constexpr std::uint64_t kAnyTransmission = ~std::uint64_t{0};
    std::atomic<std::uint64_t> transmissions{0};
    // Of the chunk being dispatched (network-event thread only); outside
    // ReadData every answer counts.
    std::uint64_t chunkTransmission = kAnyTransmission;
    bool AnswersCurrentTransmission() const {
        return chunkTransmission == kAnyTransmission || chunkTransmission == transmissions.load();
    }

    // Receive cache bookkeeping (network-event thread only), so that cutting
    // frames stays linear however the stream is chunked: the length of the
    // text in m_cacheBuf, the latest frame opener found in it (npos: none
    // yet) and where the next search for a tag resumes.
    std::size_t cacheLength = 0;
    std::size_t cacheOpenerAt = std::string::npos;
    std::size_t cacheScanFrom = 0;

    // Bounds of the parts queue (multi-part transfers being reassembled): past
    // them the oldest parts are dropped, so a server cannot make the client
    // hold unbounded memory. A transfer of more parts than partsMaxCount is
    // refused. Tests lower them.
    std::size_t partsMaxCount = 16384;
    std::size_t partsMaxBytes = 64u * 1024 * 1024;
    // What the parts queue holds, by transfer; created and used only by the
    // unpackaging on the network-event thread.
    std::shared_ptr<PartsLedger> partsLedger;
};

}  // namespace transport

#endif
