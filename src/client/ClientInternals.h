#ifndef TRANSPORT_CLIENT_CLIENT_INTERNALS_H
#define TRANSPORT_CLIENT_CLIENT_INTERNALS_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/Outbox.h"
#include "client/SendTurns.h"
#include "message/TransferAssembler.h"
#include "transport/FrameCutter.h"

namespace transport {

// The components of a CNetClient that its public field list has no place
// for, each working on the fields it owns. Shared by a client and its
// copies; owned by the original.
struct ClientInternals {
    ClientInternals(CMessageQueue& output, NetMessage*& inFlight, NetMessage*& login,
                    Handle& semaphore, std::atomic<long>& previousCount, CMessageQueue& parts,
                    char* cache, Platform& platform)
        : outbox(output, inFlight, login, semaphore, previousCount, platform),
          assembler(parts, platform),
          cutter(cache) {}

    Outbox outbox;
    TransferAssembler assembler;  // network-event thread only
    FrameCutter cutter;           // network-event thread only
    // What the cutter found in the last chunk (kept to spare allocations).
    std::vector<std::unique_ptr<NetMessage>> frames;
    std::vector<std::size_t> tooLong;

    // Held for the whole of SendSocket: the send step, the main thread
    // (keep-alive) and Close (disconnect) never send at the same time.
    std::mutex sendMutex;
    // The send step (SendPath.cpp) and what only its turn's holder touches:
    // SendData's request text and whether it transmitted anything, and the
    // transmission that waits for its answer (with the priority of the
    // queued message it carries; 0: the log-in or a tunnel request).
    SendTurns turns;
    std::string request;
    bool transmitted = false;
    bool inlineOnly = false;        // the round is not the send thread's
    bool leftToSendThread = false;  // too long to write on any other thread
    bool awaiting = false;
    int awaitingPriority = 0;
    unsigned awaitingLine = 0;
    // Counts completed connects: a request written on an earlier connection
    // gets no answer.
    std::atomic<unsigned> line{0};

    // The handler with the application's pointer, and whether it (and the
    // plain handler) get connection events; the last event reported, so that
    // one drop is told once however many ways it shows.
    std::atomic<bool (*)(NetPackage*, void*)> contextHandler{nullptr};
    std::atomic<void*> context{nullptr};
    std::atomic<bool> connectionEvents{false};
    std::atomic<int> lastConnectionEvent{0};
    std::atomic<unsigned> port{0};  // of the attempt under way
    // An idle line gets a keep-alive after this long (SetKeepAliveInterval).
    std::atomic<std::uint32_t> keepAliveMs{60000};
    // SetTls's settings; null: clear text.
    std::mutex tlsMutex;
    std::unique_ptr<TlsSettings> tls;
};

}  // namespace transport

#endif
