// The client's whole receive side through its public API: a client opened on
// a platform whose socket plays the input back as what the server (or the
// proxy) sends. Every received byte goes the way it goes in use: the receive,
// the cache and the frame cutter, the tunnel reply, the log-in answer, the
// dispatch by id, the unpackaging of Base64 data and of numbered parts, and
// the handler, which reads every byte of every package it is given (so that
// the address sanitizer sees a body that points outside its memory).
//
// Input: byte 0 sets the scene: the connects refused before one is served
// (byte 0 % 3: 0 direct, 1 through the proxy tunnel, 2 over HTTP) and, with
// bit 2, a message the application sends first. The rest is the stream; a
// byte 0x7f starts a new chunk (an empty chunk reads as the server's close).

#include <transport/NetClient.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

namespace {

using namespace transport;

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

// Reads every byte of a message's parameters.
void Walk(const NetObject* body) {
    const auto* message = dynamic_cast<const NetMessage*>(body);
    if (message == nullptr) return;
    unsigned long count = 0;
    volatile unsigned char sum = 0;
    for (NetParam* node = message->GetParams().GetHead(); node != nullptr;
         node = message->GetParams().GetNext(node), ++count) {
        for (std::uint32_t i = 0; i < node->m_nLength; ++i) sum = sum + node->m_pData[i];
    }
    Check(count == message->GetParams().GetCount(), "parameter count disagrees with the list");
}

bool Handler(NetPackage* package) {
    Check(package != nullptr && package->m_pBody != nullptr, "a package without its body");
    if (const auto* info = dynamic_cast<const NetInformation*>(package->m_pBody)) {
        Check(info->m_nCode != 3 || (info->m_nValue1 >= 1 && info->m_nValue1 <= info->m_nValue2),
              "transfer progress outside 1..total");
        Walk(info->m_pMessage);
    } else if (const auto* error = dynamic_cast<const NetError*>(package->m_pBody)) {
        Walk(error->m_pMessage);
    } else {
        Check(package->m_nKind == NetPackage::KIND_MESSAGE, "a package of an unknown kind");
        Walk(package->m_pBody);
    }
    return true;
}

// One scripted connection at a time: connects are refused as often as asked,
// then one is served: once the client has written its first request, each
// receive takes the next chunk (at most what it asks for), and the end of the
// input is the server's close. Later connects are refused. Kernel objects,
// waits and the clock are the host's.
class StreamPlatform : public PlatformWrapper {
public:
    StreamPlatform(const std::uint8_t* data, std::size_t size, int refusals)
        : PlatformWrapper(DefaultPlatform()), refusals_(refusals), done_(target().CreateEvent()) {
        chunks_.emplace_back();
        for (std::size_t i = 0; i < size; ++i) {
            if (data[i] == 0x7f) chunks_.emplace_back();
            if (data[i] != 0x7f) chunks_.back().push_back(static_cast<char>(data[i]));
        }
    }
    ~StreamPlatform() override { target().CloseHandle(done_); }
    Handle done() const { return done_; }

    void Trace(const char* text, bool) override { Check(std::strlen(text) < 1u << 20, "trace"); }
    // The reconnection pauses, shortened: an input is read in milliseconds.
    void Sleep(std::uint32_t ms) override { target().Sleep(std::min<std::uint32_t>(ms, 1)); }
    SocketHandle CreateSocket() override { return ++socket_; }
    int SetSocketOption(SocketHandle, int, int) override { return 0; }
    int Connect(SocketHandle, const SockAddrIn&) override {
        std::lock_guard<std::mutex> lock(mutex_);
        connecting_ = true;
        SetLastSocketError(kErrWouldBlock);
        return kSocketError;
    }
    int EventSelect(SocketHandle, Handle event, long mask) override {
        std::lock_guard<std::mutex> lock(mutex_);
        event_ = mask != 0 ? event : nullptr;
        Poke();
        return 0;
    }
    int EnumNetworkEvents(SocketHandle, Handle event, NetworkEvents* events) override {
        std::lock_guard<std::mutex> lock(mutex_);
        *events = NetworkEvents{};
        if (event != nullptr) target().ResetEvent(event);
        if (connecting_) {
            connecting_ = false;
            events->lNetworkEvents = kFdConnect;
            connected_ = refusals_-- <= 0 && !finished_;
            events->iErrorConnect = connected_ ? 0 : kErrConnRefused;
        } else if (connected_ && answering_) {
            events->lNetworkEvents = chunks_.empty() ? kFdClose : kFdRead;
            if (chunks_.empty()) Finish();
        }
        return 0;
    }
    int Send(SocketHandle, const char*, std::uint32_t length, std::uint32_t,
             std::uint32_t* sent) override {
        std::lock_guard<std::mutex> lock(mutex_);
        *sent = length;
        answering_ = answering_ || connected_;
        Poke();
        return 0;
    }
    int Receive(SocketHandle, char* buffer, std::uint32_t capacity, std::uint32_t,
                std::uint32_t* received) override {
        std::lock_guard<std::mutex> lock(mutex_);
        *received = 0;
        if (chunks_.empty()) return 0;
        std::string& chunk = chunks_.front();
        *received = static_cast<std::uint32_t>(std::min<std::size_t>(chunk.size(), capacity));
        std::memcpy(buffer, chunk.data(), *received);
        chunk.erase(0, *received);
        // An empty chunk is the close; what did not fit comes with the next receive.
        if (chunk.empty()) chunks_.pop_front();
        if (*received == 0) Finish();
        Poke();
        return 0;
    }
    void ShutdownSend(SocketHandle) override {}
    void CloseSocket(SocketHandle) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (connected_) Finish();
    }

private:
    void Poke() {
        if (event_ != nullptr) target().SetEvent(event_);
    }
    void Finish() {
        connected_ = false;
        finished_ = true;
        chunks_.clear();
        target().SetEvent(done_);
    }

    std::mutex mutex_;
    std::deque<std::string> chunks_;
    int refusals_;
    Handle done_;
    Handle event_ = nullptr;
    SocketHandle socket_ = 1000;
    bool connecting_ = false, connected_ = false, answering_ = false, finished_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    StreamPlatform platform(data + 1, size - 1, data[0] % 3);
    CNetClient client(platform);
    client.SetNetHandler(&Handler);
    NetClientParams params{};
    std::strcpy(params.szHost1, "127.0.0.1");
    params.nMaxReconCount = 5;
    Check(client.Open(params), "Open failed");
    Check(client.Login("usr", "pwd", "", 7, "five", "six"), "Login failed");
    if ((data[0] & 4) != 0) {
        NetMessage message;
        message.SetId(42);
        message.SetPriority(3);
        message.GetParams().AddTail("in flight", 10);
        client.Send(&message);
    }
    Check(platform.WaitOne(platform.done(), 10000) == kWaitObject0, "the input was not read");
    client.Close(false);
    return 0;
}
