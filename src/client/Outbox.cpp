#include "client/Outbox.h"

#include <transport/NetClient.h>

#include <algorithm>
#include <cstdio>

#include "message/Frame.h"
#include "message/PartsLedger.h"

namespace transport {
namespace {

std::string PostRequest(const std::string& frame, const std::string& host, unsigned int port) {
    char head[512];
    std::snprintf(head, sizeof(head),
                  "POST /mpsrv HTTP/1.1\r\nContent-Length: %d\r\nHost: %s:%d\r\n"
                  "Content-Type: application/x-www-form-urlencoded\r\n\r\n",
                  static_cast<int>(frame.size()), host.c_str(), static_cast<int>(port));
    return head + frame;
}

std::string ConnectRequest(const std::string& host, unsigned int port) {
    char text[320];
    std::snprintf(text, sizeof(text), "CONNECT %s:%d HTTP/1.1\r\n\r\n", host.c_str(),
                  static_cast<int>(port));
    return text;
}

bool IsEmptyText(const NetParam* param) {
    return param->m_pData == nullptr || param->m_nLength == 0 || param->m_pData[0] == 0;
}

}  // namespace

Outbox::Outbox(CMessageQueue& queue, NetMessage*& inFlight, NetMessage*& login,
               Handle& semaphore, std::atomic<long>& previousCount, Platform& platform)
    : m_queue(queue),
      m_inFlight(inFlight),
      m_login(login),
      m_semaphore(semaphore),
      m_previousCount(previousCount),
      m_platform(platform) {}

bool Outbox::Queue(NetMessage* message) {
    std::unique_ptr<NetMessage> one(message);
    const int priority = message != nullptr ? message->GetPriority() : 0;
    return QueueAll(&one, 1) == Refusal::kNone && priority >= 1 && priority <= 4;
}

Outbox::Refusal Outbox::QueueAll(std::unique_ptr<NetMessage>* messages, std::size_t count,
                                 std::vector<std::unique_ptr<NetMessage>>* dropped, bool announce) {
    // Producers take turns, so that the room seen is the room used; the send
    // thread only ever makes more room meanwhile.
    std::lock_guard<std::mutex> lock(m_producers);
    if (m_shut) return Refusal::kClosed;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count; ++i) bytes += MessageBytes(*messages[i]);
    auto fits = [&](std::size_t queued, std::size_t queuedBytes) {
        return count <= m_maxMessages - std::min(queued, m_maxMessages) &&
               (m_maxBytes == 0 || bytes <= m_maxBytes - std::min(queuedBytes, m_maxBytes));
    };
    if (!fits(static_cast<std::size_t>(m_queue.GetItemCount()), m_bytes)) {
        // Never drop for a message that could not fit even in an empty queue.
        if (!m_dropOldest || dropped == nullptr || !fits(0, 0)) return Refusal::kFull;
        std::lock_guard<std::mutex> queueLock(m_queue.Mutex());
        while (!fits(static_cast<std::size_t>(m_queue.GetItemCount()), m_bytes)) {
            NetMessage* oldest = m_queue.UnlinkOldestLocked(m_inFlight);
            if (oldest == nullptr) break;  // only the message in flight is left
            m_bytes -= MessageBytes(*oldest);
            dropped->emplace_back(oldest);
        }
        if (!fits(static_cast<std::size_t>(m_queue.GetItemCount()), m_bytes)) return Refusal::kFull;
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t size = MessageBytes(*messages[i]);
        // A priority outside 1..4 is destroyed by the queue, and wakes no one.
        if (m_queue.PushByPriority(messages[i].release())) {
            m_bytes += size;
            if (announce) Wake(1);
        }
    }
    return Refusal::kNone;
}

void Outbox::SetLimit(std::size_t messages, std::size_t bytes, bool dropOldest) {
    std::lock_guard<std::mutex> lock(m_producers);
    m_maxMessages = std::min(std::max<std::size_t>(messages, 1), kMaxQueued);
    m_maxBytes = bytes;
    m_dropOldest = dropOldest;
}

void Outbox::Shut() {
    std::lock_guard<std::mutex> lock(m_producers);
    m_shut = true;
}

void Outbox::Wake(long count) {
    if (m_semaphore == nullptr) return;
    for (long i = 0; i < count; ++i) {
        long previous = 0;
        if (m_platform.ReleaseSemaphore(m_semaphore, 1, &previous)) m_previousCount = previous;
    }
}

void Outbox::WakeUnlessShut() {
    std::lock_guard<std::mutex> lock(m_producers);
    if (!m_shut) Wake(1);
}

void Outbox::SetLogin(NetMessage* message) {
    NetMessage* replaced = nullptr;
    {
        // The send thread writes the log-in message under this lock; the old
        // one is destroyed only once nobody can be writing it.
        std::lock_guard<std::mutex> lock(m_loginMutex);
        replaced = m_login;
        m_login = message;
    }
    delete replaced;
}

void Outbox::AdoptLoginValue(const std::string& value) {
    std::lock_guard<std::mutex> lock(m_loginMutex);
    if (m_login == nullptr || m_login->GetParams().GetCount() < 2) return;
    NetParam* stored = m_login->GetParams().GetNodeAt(1);
    if (stored != nullptr && IsEmptyText(stored)) {
        m_login->GetParams().SetData(stored, value.c_str(),
                                     static_cast<unsigned long>(value.size() + 1));
    }
}

bool Outbox::Next(const Line& line, std::string* request, int* priority, int* messageId) {
    std::string frame;
    *priority = 0;
    if (line.loggedIn) {
        std::lock_guard<std::mutex> lock(m_queue.Mutex());
        NetMessage* message = m_queue.PeekByPriorityLocked();
        m_inFlight = message;
        if (message == nullptr) {
            m_platform.Trace("There is no data to send", false);
            return false;
        }
        *priority = message->GetPriority();
        *messageId = static_cast<int>(message->GetId());
        // Written under the lock: Close(true) may destroy the message as soon
        // as it is released.
        frame = FrameText(*message);
    } else {
        {
            std::lock_guard<std::mutex> lock(m_queue.Mutex());
            m_inFlight = nullptr;
        }
        std::lock_guard<std::mutex> lock(m_loginMutex);
        if (m_login == nullptr) {
            m_platform.Trace("No log-in message to send", false);
            return false;
        }
        *messageId = static_cast<int>(m_login->GetId());
        frame = FrameText(*m_login);
    }

    if (line.connType == CNetClient::CONNTYPE_HTTP) {
        *request = PostRequest(frame, line.host, line.port);
    } else if (line.connType == CNetClient::CONNTYPE_TUNNEL && !line.tunnelOpen) {
        // The frame waits until the proxy has opened the tunnel; nothing of
        // the queue goes out with this request, so nothing may be removed
        // when it is answered.
        *request = ConnectRequest(line.host, line.port);
        *priority = 0;
        std::lock_guard<std::mutex> lock(m_queue.Mutex());
        m_inFlight = nullptr;
    } else {
        *request = std::move(frame);
    }
    return true;
}

void Outbox::Answered(int priority, bool loggedIn) {
    NetMessage* removed = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_queue.Mutex());
        NetMessage* sent = m_inFlight;
        m_inFlight = nullptr;
        // Close(true) may have emptied the lists (clearing the message in
        // flight too); otherwise the message sent is still its list's front.
        if (loggedIn && sent != nullptr && m_queue.PeekFrontLocked(priority) == sent) {
            removed = m_queue.UnlinkFrontLocked(priority);
            m_bytes -= MessageBytes(*removed);
        }
    }
    delete removed;  // outside the lock: an attachment's destructor is application code
}

void Outbox::Clear() {
    std::vector<NetMessage*> removed;
    {
        std::lock_guard<std::mutex> lock(m_queue.Mutex());
        m_inFlight = nullptr;
        removed = m_queue.UnlinkAllLocked();
        m_bytes = 0;
    }
    for (NetMessage* message : removed) delete message;
}

}  // namespace transport
