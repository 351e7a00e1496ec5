#ifndef TRANSPORT_CLIENT_OUTBOX_H
#define TRANSPORT_CLIENT_OUTBOX_H

#include <transport/Platform.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "message/MessageQueue.h"

class NetMessage;

namespace transport {

// What goes on the wire next, and the only code that decides it: the output
// queue with its four priority lists, the message in flight, the stored
// log-in message, the count of transmissions that tells an answer from a
// late one, and the send semaphore's wake-ups.
//
// The storage is the client's own fields (the queue, m_pSendingMessage,
// m_pLoginMessage, m_hSendSemaphore, m_lPrevSendCount); the outbox keeps the
// locks and counts beside them. Stop and wait: one request at a time, and a
// queued message stays queued until the server has answered it.
class Outbox {
public:
    Outbox(CMessageQueue& queue, NetMessage*& inFlight, NetMessage*& login, Handle& semaphore,
           std::atomic<long>& previousCount, Platform& platform);
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // The most the queue holds: the send semaphore counts one wake-up per
    // queued message and no more than this.
    static constexpr std::size_t kMaxQueued = 65536;

    enum class Refusal { kNone, kFull, kClosed };
    // Takes owned messages onto their priority's lists, all or none, and
    // wakes the send thread once for each. Refused, the messages destroyed,
    // when they do not all fit or the outbox is shut. Under the dropping
    // policy, the queued messages dropped to make room go to *dropped (the
    // caller reports and destroys them).
    // Without announce, nobody is woken: the caller sees to the sending.
    Refusal QueueAll(std::unique_ptr<NetMessage>* messages, std::size_t count,
                     std::vector<std::unique_ptr<NetMessage>>* dropped = nullptr,
                     bool announce = true);
    // The bound: messages (1 to kMaxQueued), bytes of parameters (0: none),
    // and whether to drop the oldest of the lowest priority for room.
    void SetLimit(std::size_t messages, std::size_t bytes, bool dropOldest);
    std::size_t Bytes() const { return m_bytes.load(); }
    // One message; false when refused or its priority is outside 1..4.
    bool Queue(NetMessage* message);
    // Close: nothing more is queued, so that no wake-up can reach a
    // semaphore that Close is about to free.
    void Shut();
    int Count() const { return m_queue.GetItemCount(); }
    // Releases the send semaphore count times, one by one, keeping the
    // previous count that the last release reported.
    void Wake(long count = 1);
    // Wakes the send thread once, unless Close has shut the outbox (and may
    // be freeing the semaphore).
    void WakeUnlessShut();

    // The stored log-in message: replaced by Login at any time, sent first on
    // every connection, never named as the message in flight.
    void SetLogin(NetMessage* message);
    // The server's form of the log-in's second value, kept when the stored
    // one is empty: later log-ins send what the server gave.
    void AdoptLoginValue(const std::string& value);

    // The way the line is used, for wrapping the next request.
    struct Line {
        bool loggedIn;     // queued messages may go; otherwise only the log-in
        int connType;      // CNetClient::CONNTYPE_*
        bool tunnelOpen;
        std::string host;
        unsigned int port;
    };
    // The next request for the line into *request and the priority of the
    // queued message it carries (0: the log-in or a tunnel request, which
    // nothing removes from the queue when answered). False, with a trace
    // line, when there is nothing to send.
    bool Next(const Line& line, std::string* request, int* priority, int* messageId);
    // Counts a transmission: only what arrives after it can answer it.
    void BeginTransmission() { ++m_transmissions; }

    // The request sent has its answer: the message sent (priority) leaves the
    // queue if the client is logged in and it is still its list's front.
    // With loggedIn false, only the message in flight is forgotten.
    void Answered(int priority, bool loggedIn);
    // Close(true): the queue and the message in flight go.
    void Clear();
    // A copy of the message in flight as the attachment of a package body;
    // while logging in, the log-in message is the one in flight.
    template <class Body>
    void AttachInFlight(Body& body, bool loggingIn) {
        {
            std::lock_guard<std::mutex> lock(m_queue.Mutex());
            if (m_inFlight != nullptr) return body.SetAttachment(*m_inFlight);
        }
        if (!loggingIn) return;
        std::lock_guard<std::mutex> lock(m_loginMutex);
        if (m_login != nullptr) body.SetAttachment(*m_login);
    }

    // Answers carry no message id, so an answer belongs to the transmission it
    // could answer: the receive path notes the count when a chunk arrives,
    // and an answer cut from that chunk counts only while no later
    // transmission has begun. Outside a chunk every answer counts.
    std::uint64_t Transmissions() const { return m_transmissions.load(); }
    void ChunkArrived(std::uint64_t transmissions) { m_chunkTransmission = transmissions; }
    void ChunkDone() { m_chunkTransmission = kAnyTransmission; }
    bool AnswersCurrentTransmission() const {
        return m_chunkTransmission == kAnyTransmission ||
               m_chunkTransmission == m_transmissions.load();
    }

private:
    static constexpr std::uint64_t kAnyTransmission = ~std::uint64_t{0};

    CMessageQueue& m_queue;
    NetMessage*& m_inFlight;  // guarded by the queue's lock
    NetMessage*& m_login;     // guarded by m_loginMutex
    Handle& m_semaphore;
    std::atomic<long>& m_previousCount;
    Platform& m_platform;
    std::mutex m_loginMutex;
    std::mutex m_producers;  // guards m_shut and the bound; held while a producer queues
    bool m_shut = false;
    std::size_t m_maxMessages = kMaxQueued;
    std::size_t m_maxBytes = 0;
    bool m_dropOldest = false;
    std::atomic<std::size_t> m_bytes{0};  // of the queued messages' parameters
    std::atomic<std::uint64_t> m_transmissions{0};
    std::uint64_t m_chunkTransmission = kAnyTransmission;  // network-event thread only
};

}  // namespace transport

#endif
