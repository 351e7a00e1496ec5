#ifndef TRANSPORT_TESTS_UNIT_TRANSPORT_TEST_CLIENT_H
#define TRANSPORT_TESTS_UNIT_TRANSPORT_TEST_CLIENT_H

// Test doubles for the socket transport: a platform whose socket layer is a
// script (sends recorded, receives and network events fed by the test) and
// whose kernel objects are the real ones, a client subclass that reaches the
// protected members, and a handler that keeps copies of what it receives.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <transport/NetClient.h>

#include "client/ClientInternals.h"
#include "client/MessageQueue.h"

namespace xporttest {

constexpr transport::SocketHandle kFakeSocket = 4242;

class ScriptedSocketPlatform : public transport::PlatformWrapper {
public:
    struct SendResult {
        int error;
        std::uint32_t sent;  // reported byte count when error is 0
    };
    struct Chunk {
        int error;
        std::string bytes;
    };
    struct Enumeration {
        int result;  // 0 or kSocketError
        transport::NetworkEvents events;
    };

    ScriptedSocketPlatform() : PlatformWrapper(transport::DefaultPlatform()) {}

    // ---- Trace and clock. ----
    void Trace(const char* text, bool) override {
        std::lock_guard<std::mutex> lock(mutex_);
        traces_.emplace_back(text);
        changed_.notify_all();
    }
    std::uint32_t GetTickCount() override { return tick; }
    // Counts the waits without time-out: those are the worker threads' own,
    // so a test can tell when a thread is back at one.
    std::uint32_t Wait(const transport::Handle* handles, std::uint32_t count,
                       std::uint32_t timeoutMs) override {
        if (timeoutMs == transport::kInfinite) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++blockingWaits_;
            changed_.notify_all();
        }
        return PlatformWrapper::Wait(handles, count, timeoutMs);
    }

    // ---- The socket layer: nothing reaches the operating system. ----
    int Send(transport::SocketHandle, const char* data, std::uint32_t length,
             std::uint32_t timeoutMs, std::uint32_t* sent) override {
        std::lock_guard<std::mutex> lock(mutex_);
        sends_.emplace_back(data, length);
        sendTimeouts_.push_back(timeoutMs);
        changed_.notify_all();
        if (!sendResults_.empty()) {
            const SendResult result = sendResults_.front();
            sendResults_.pop_front();
            *sent = result.sent;
            return result.error;
        }
        *sent = length;
        return 0;
    }
    int Receive(transport::SocketHandle, char* buffer, std::uint32_t capacity, std::uint32_t,
                std::uint32_t* received) override {
        std::lock_guard<std::mutex> lock(mutex_);
        capacities_.push_back(capacity);
        *received = 0;
        if (chunks_.empty()) return 0;  // the peer closed
        Chunk& chunk = chunks_.front();
        if (chunk.error != 0) {
            const int error = chunk.error;
            chunks_.pop_front();
            return error;
        }
        const std::size_t n = std::min<std::size_t>(capacity, chunk.bytes.size());
        std::copy(chunk.bytes.begin(), chunk.bytes.begin() + static_cast<long>(n), buffer);
        chunk.bytes.erase(0, n);
        if (chunk.bytes.empty()) chunks_.pop_front();
        *received = static_cast<std::uint32_t>(n);
        return 0;
    }
    int EnumNetworkEvents(transport::SocketHandle, transport::Handle event,
                          transport::NetworkEvents* events) override {
        Enumeration next{0, transport::NetworkEvents{}};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!enumerations_.empty()) {
                next = enumerations_.front();
                enumerations_.pop_front();
            }
        }
        if (next.result != 0) {
            SetLastSocketError(transport::kErrNotSocket);
            return next.result;
        }
        ResetEvent(event);
        *events = next.events;
        return 0;
    }
    int EventSelect(transport::SocketHandle socket, transport::Handle, long mask) override {
        std::lock_guard<std::mutex> lock(mutex_);
        selections_.emplace_back(socket, mask);
        return 0;
    }
    void ShutdownSend(transport::SocketHandle) override {}
    void CloseSocket(transport::SocketHandle socket) override {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_.push_back(socket);
    }

    // ---- Scripts. ----
    void QueueSendResult(int error, std::uint32_t sent) {
        std::lock_guard<std::mutex> lock(mutex_);
        sendResults_.push_back({error, sent});
    }
    void QueueChunk(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(mutex_);
        chunks_.push_back({0, bytes});
    }
    void QueueReceiveError(int error) {
        std::lock_guard<std::mutex> lock(mutex_);
        chunks_.push_back({error, std::string()});
    }
    void QueueEvents(long mask, int readError = 0, int connectError = 0, int closeError = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        enumerations_.push_back({0, {mask, readError, connectError, closeError}});
    }
    void QueueEnumerationFailure() {
        std::lock_guard<std::mutex> lock(mutex_);
        enumerations_.push_back({transport::kSocketError, transport::NetworkEvents{}});
    }

    // ---- Records. ----
    std::vector<std::string> Sends() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sends_;
    }
    std::vector<std::uint32_t> SendTimeouts() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sendTimeouts_;
    }
    std::vector<std::uint32_t> ReceiveCapacities() {
        std::lock_guard<std::mutex> lock(mutex_);
        return capacities_;
    }
    std::vector<std::string> Traces() {
        std::lock_guard<std::mutex> lock(mutex_);
        return traces_;
    }
    std::vector<transport::SocketHandle> Closed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return closed_;
    }
    std::vector<std::pair<transport::SocketHandle, long>> Selections() {
        std::lock_guard<std::mutex> lock(mutex_);
        return selections_;
    }
    bool Traced(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::count(traces_.begin(), traces_.end(), text) > 0;
    }
    // Index of the first trace line equal to text at or after from; -1 if none.
    int TraceIndex(const std::string& text, int from = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = static_cast<std::size_t>(from); i < traces_.size(); ++i) {
            if (traces_[i] == text) return static_cast<int>(i);
        }
        return -1;
    }
    void ClearTraces() {
        std::lock_guard<std::mutex> lock(mutex_);
        traces_.clear();
    }
    // Waits (real time, generous) until text has been traced count times.
    bool WaitForTrace(const std::string& text, int count = 1) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::count(traces_.begin(), traces_.end(), text) >= count;
        });
    }
    bool WaitForBlockingWaits(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return blockingWaits_ >= count; });
    }
    bool WaitForSends(std::size_t count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return sends_.size() >= count; });
    }

    std::uint32_t tick = 5000;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int blockingWaits_ = 0;
    std::vector<std::string> traces_;
    std::vector<std::string> sends_;
    std::vector<std::uint32_t> sendTimeouts_;
    std::vector<std::uint32_t> capacities_;
    std::deque<SendResult> sendResults_;
    std::deque<Chunk> chunks_;
    std::deque<Enumeration> enumerations_;
    std::vector<std::pair<transport::SocketHandle, long>> selections_;
    std::vector<transport::SocketHandle> closed_;
};

// Reaches the protected members; Prepare creates the per-run kernel objects
// as Open does, without starting any thread (tests run the thread functions
// themselves).
struct TestClient : CNetClient {
    using CNetClient::CNetClient;
    using CNetClient::DispatchReceived;
    using CNetClient::GetSockError;
    using CNetClient::NetEventThread;
    using CNetClient::ReadData;
    using CNetClient::SendData;
    using CNetClient::SendDataThread;
    using CNetClient::SendSocket;
    using CNetClient::SetToCacheBuf;
    using CNetClient::m_bConnecting;
    using CNetClient::m_bKeepAlivePending;
    using CNetClient::m_bLoginPending;
    using CNetClient::m_bNetThreadExited;
    using CNetClient::m_bSendPending;
    using CNetClient::m_bSendThreadExit;
    using CNetClient::m_bSocketConnected;
    using CNetClient::m_bTunnelOpen;
    using CNetClient::m_cacheBuf;
    using CNetClient::m_dwLastRecvTick;
    using CNetClient::m_dwLastSendTick;
    using CNetClient::m_hDisconnectSentEvent;
    using CNetClient::m_hMainEvents;
    using CNetClient::m_hNetEvents;
    using CNetClient::m_hSendEvents;
    using CNetClient::m_hSendSemaphore;
    using CNetClient::m_lPrevSendCount;
    using CNetClient::m_nAttemptCount;
    using CNetClient::m_nConnType;
    using CNetClient::m_nLastConnType;
    using CNetClient::m_nMaxReconCount;
    using CNetClient::m_nPort;
    using CNetClient::m_nReconCount;
    using CNetClient::m_nTotalReceived;
    using CNetClient::m_nTotalSent;
    using CNetClient::m_pInputQueue;
    using CNetClient::m_pInternals;
    using CNetClient::m_pLoginMessage;
    using CNetClient::m_pOutputQueue;
    using CNetClient::m_pPlatform;
    using CNetClient::m_pSendingMessage;
    using CNetClient::m_pszCurrentHost;
    using CNetClient::m_socket;

    explicit TestClient(transport::Platform& platform) : CNetClient(platform) {}
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    ~TestClient() override {
        for (transport::Handle* h : {&m_hNetEvents[0], &m_hNetEvents[1], &m_hSendEvents[0],
                                     &m_hSendEvents[1], &m_hSendSemaphore}) {
            if (*h != nullptr) m_pPlatform->CloseHandle(*h);
            *h = nullptr;
        }
    }

    void Prepare() {
        m_hNetEvents[0] = m_pPlatform->CreateEvent();
        m_hNetEvents[1] = m_pPlatform->CreateEvent();
        m_hSendEvents[0] = m_pPlatform->CreateEvent();
        m_hSendEvents[1] = m_pPlatform->CreateEvent();
        m_hSendSemaphore = m_pPlatform->CreateSemaphore(0, 65536);
        m_socket = kFakeSocket;
    }
    void SetState(enConnectionState state) { SetConnectionState(state); }
    int State() { return GetConnectionState(); }

    // Whether an event is signalled, without changing it.
    bool IsSet(transport::Handle event) {
        return m_pPlatform->WaitOne(event, 0) == transport::kWaitObject0;
    }
    // Takes every count of the semaphore and says how many there were.
    int DrainSemaphore() {
        int n = 0;
        while (m_pPlatform->WaitOne(m_hSendSemaphore, 0) == transport::kWaitObject0) ++n;
        return n;
    }
    // The text of the receive cache.
    std::string Cache() const { return std::string(m_cacheBuf); }
    // Stores a log-in message as Login would, with the given second parameter.
    void StoreLogin(const char* user, const char* password) {
        auto* login = new NetMessage;
        login->SetId(1);
        login->SetPriority(2);
        for (const char* text : {user, password, "", "7", "five", "six"}) {
            login->GetParams().AddTail(text, static_cast<unsigned long>(std::strlen(text) + 1));
        }
        std::lock_guard<std::mutex> lock(m_pInternals->loginMutex);
        delete m_pLoginMessage;
        m_pLoginMessage = login;
    }
    // Queues a message as Send would, without the semaphore.
    void Queue(unsigned long id, int priority, const std::vector<std::string>& params) {
        auto* message = new NetMessage;
        message->SetId(id);
        message->SetPriority(priority);
        for (const std::string& p : params) {
            message->GetParams().AddTail(p.c_str(), static_cast<unsigned long>(p.size() + 1));
        }
        m_pOutputQueue->PushByPriority(message);
    }
};

// A message parameter's text, up to its first zero byte.
inline std::string ParamText(const NetMessage& message, int index) {
    void* data = nullptr;
    unsigned long length = 0;
    if (!message.GetParams().GetAt(index, &data, &length) || data == nullptr) return "<none>";
    const char* text = static_cast<const char*>(data);
    return std::string(text, strnlen(text, length));
}

// What the handler saw: copies, since a package lives only for the call.
struct HandlerRecord {
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::unique_ptr<NetPackage>>& Packages() {
        static std::vector<std::unique_ptr<NetPackage>> packages;
        return packages;
    }
    static bool Handle(NetPackage* package) {
        std::lock_guard<std::mutex> lock(Mutex());
        Packages().emplace_back(static_cast<NetPackage*>(package->Clone()));
        return true;
    }
    static void Clear() {
        std::lock_guard<std::mutex> lock(Mutex());
        Packages().clear();
    }
    static std::size_t Count() {
        std::lock_guard<std::mutex> lock(Mutex());
        return Packages().size();
    }
    static const NetPackage& At(std::size_t i) {
        std::lock_guard<std::mutex> lock(Mutex());
        return *Packages().at(i);
    }
    static const NetMessage& MessageAt(std::size_t i) {
        return *static_cast<const NetMessage*>(At(i).m_pBody);
    }
};

}  // namespace xporttest

#endif
