// transport::Client: typed events, views and results over a CNetClient.

#include <transport/Client.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <thread>

#include "message/PartsLedger.h"

namespace transport {

struct Client::State {
    State(Platform& platform, Handler h) : client(platform), handler(std::move(h)) {}
    static bool OnPackage(NetPackage* package, void* context);

    CNetClient client;
    Handler handler;
    bool closed = false;
};

namespace {

const NetMessage* AsMessage(const NetObject* object) {
    return dynamic_cast<const NetMessage*>(object);
}

Event FromInformation(const NetInformation& information) {
    Event event;
    event.kind = information.m_nCode == 3 ? Event::Kind::kProgress : Event::Kind::kDelivered;
    event.code = static_cast<int>(information.m_nCode);
    event.part = information.m_nValue1;
    event.total = information.m_nValue2;
    event.message = AsMessage(information.m_pMessage);
    return event;
}

Event FromError(const NetError& error) {
    Event event;
    event.code = static_cast<int>(error.m_nCode);
    event.kind = error.m_nCode == 7    ? Event::Kind::kRefused
                 : error.m_nCode == 14 ? Event::Kind::kDropped
                 : error.m_nCode == 15 ? Event::Kind::kTlsFailed
                                       : Event::Kind::kError;
    event.message = AsMessage(error.m_pMessage);
    if (event.kind == Event::Kind::kTlsFailed && event.message != nullptr) {
        // Which failure (the attachment's id) and why.
        event.code = static_cast<int>(event.message->GetId());
        event.text = event.Param(0);
        event.host = event.Param(1);
    }
    return event;
}

Event FromConnection(const NetConnectionEvent& connection) {
    static constexpr Event::Kind kKinds[] = {
        Event::Kind::kResolving, Event::Kind::kConnecting,   Event::Kind::kConnected,
        Event::Kind::kLoggedIn,  Event::Kind::kDisconnected, Event::Kind::kGaveUp};
    Event event;
    const int index = connection.m_nEvent - NetConnectionEvent::RESOLVING;
    event.kind = index >= 0 && index < 6 ? kKinds[index] : Event::Kind::kDisconnected;
    event.code = connection.m_nCode;
    event.host = std::string_view(connection.m_szHost,
                                  strnlen(connection.m_szHost, sizeof(connection.m_szHost)));
    event.port = connection.m_nPort;
    event.way = static_cast<Way>(std::clamp(connection.m_nWay, 0, 2));
    return event;
}

Event FromPackage(const NetPackage& package) {
    switch (package.m_nKind) {
        case NetPackage::KIND_INFORMATION:
            return FromInformation(static_cast<const NetInformation&>(*package.m_pBody));
        case NetPackage::KIND_ERROR:
            return FromError(static_cast<const NetError&>(*package.m_pBody));
        case NetPackage::KIND_CONNECTION:
            return FromConnection(static_cast<const NetConnectionEvent&>(*package.m_pBody));
        default:
            break;
    }
    Event event;
    event.kind = Event::Kind::kMessage;
    event.message = AsMessage(package.m_pBody);
    return event;
}

void AddBytes(NetMessage& message, std::string_view bytes) {
    message.GetParams().AddTail(bytes.data(), static_cast<unsigned long>(bytes.size()));
}

NetMessage Make(unsigned long id, int priority) {
    NetMessage message;
    message.SetId(id);
    message.SetPriority(priority);
    return message;
}

}  // namespace

bool Client::State::OnPackage(NetPackage* package, void* context) {
    auto* state = static_cast<State*>(context);
    if (package != nullptr && package->m_pBody != nullptr && state->handler) {
        state->handler(FromPackage(*package));
    }
    return true;
}

std::string_view Event::Param(unsigned long index) const {
    void* data = nullptr;
    unsigned long length = 0;
    if (message == nullptr || !message->GetParams().GetAt(static_cast<int>(index), &data, &length) ||
        data == nullptr) {
        return {};
    }
    const char* bytes = static_cast<const char*>(data);
    if (length > 0 && bytes[length - 1] == '\0') --length;  // the counted zero byte
    return std::string_view(bytes, length);
}

const char* ToString(Event::Kind kind) {
    static const char* const kNames[] = {
        "message",  "delivered",  "refused",   "progress",  "error",        "dropped",
        "resolving", "connecting", "connected", "logged in", "disconnected", "gave up",
        "TLS failed"};
    const auto index = static_cast<std::size_t>(kind);
    return index < sizeof(kNames) / sizeof(kNames[0]) ? kNames[index] : "unknown";
}

const char* ToString(SendResult result) {
    switch (result) {
        case SendResult::kQueued: return "queued";
        case SendResult::kBadPriority: return "the priority is not 1 to 4";
        case SendResult::kFrameTag: return "a text holds a frame tag";
        case SendResult::kNoMemory: return "no memory to encode the data";
        case SendResult::kQueueFull: return "the queue is full";
        case SendResult::kClosed: return "the client is closed";
    }
    return "unknown";
}

Client::Client(const Options& options, Handler handler) {
    if (options.hosts.empty() || options.hosts.size() > 4) {
        throw std::invalid_argument("transport::Client: give one to four hosts");
    }
    NetClientParams params{};
    char* const fields[] = {params.szHost1, params.szHost2, params.szHost3, params.szHost4};
    const std::size_t sizes[] = {sizeof params.szHost1, sizeof params.szHost2,
                                 sizeof params.szHost3, sizeof params.szHost4};
    for (std::size_t i = 0; i < options.hosts.size(); ++i) {
        const std::string& host = options.hosts[i];
        if (host.size() >= sizes[i] || host.find('\0') != std::string::npos) {
            throw std::invalid_argument("transport::Client: host " + std::to_string(i + 1) +
                                        " is longer than " + std::to_string(sizes[i] - 1) +
                                        " characters");
        }
        std::memcpy(fields[i], host.data(), host.size());
    }
    params.nMaxReconCount = options.reconnectLimit;
    params.dwReconDelay = static_cast<std::uint32_t>(std::clamp<long long>(
        options.reconnectDelay.count(), 0, std::numeric_limits<std::uint32_t>::max() - 1));

    state_ = std::make_unique<State>(
        options.platform != nullptr ? *options.platform : DefaultPlatform(), std::move(handler));
    CNetClient& client = state_->client;
    client.SetConnectionEvents(true);
    client.SetKeepAliveInterval(static_cast<std::uint32_t>(
        std::clamp<long long>(options.keepAlive.count(), 0, 3600000)));
    client.SetQueueLimit(static_cast<int>(std::min<std::size_t>(options.maxQueued, 65536)),
                         options.maxQueuedBytes,
                         options.dropOldest ? CNetClient::QUEUE_DROP_OLDEST
                                            : CNetClient::QUEUE_REFUSE_NEW);
    if (options.tls) client.SetTls(&options.tlsSettings);
    client.SetNetHandler(&State::OnPackage, state_.get());
    if (!client.Open(params)) throw std::runtime_error("transport::Client: cannot open the client");
}

Client::~Client() { Close(false); }

Client::Client(Client&& other) noexcept = default;

Client& Client::operator=(Client&& other) noexcept {
    if (this != &other) {
        Close(false);
        state_ = std::move(other.state_);
    }
    return *this;
}

bool Client::LogIn(std::string_view user, std::string_view password, const LoginValues& values) {
    if (!state_ || state_->closed) return false;
    const std::string u(user), p(password);
    return state_->client.Login(u.c_str(), p.c_str(), values.param3.c_str(), values.param4,
                                values.param5.c_str(), values.param6.c_str());
}

SendResult Client::Send(const NetMessage& message) {
    if (!state_) return SendResult::kClosed;
    switch (state_->client.TrySend(&message)) {
        case CNetClient::SEND_QUEUED: return SendResult::kQueued;
        case CNetClient::SEND_BAD_PRIORITY: return SendResult::kBadPriority;
        case CNetClient::SEND_FRAME_TAG: return SendResult::kFrameTag;
        case CNetClient::SEND_NO_MEMORY: return SendResult::kNoMemory;
        case CNetClient::SEND_QUEUE_FULL: return SendResult::kQueueFull;
        default: return SendResult::kClosed;
    }
}

SendResult Client::Send(unsigned long id, std::initializer_list<std::string_view> texts,
                        int priority) {
    NetMessage message = Make(id, priority);
    for (std::string_view text : texts) AddText(message.GetParams(), text);
    return Send(message);
}

SendResult Client::SendBinary(unsigned long id, std::string_view bytes,
                              std::initializer_list<std::string_view> texts, int priority) {
    NetMessage message = Make(id, priority);
    AddBytes(message, bytes);
    for (std::string_view text : texts) AddText(message.GetParams(), text);
    return Send(message);
}

SendResult Client::SendObject(std::string_view name, std::string_view bytes, int priority) {
    NetMessage message = Make(10, priority);
    AddText(message.GetParams(), name);
    AddBytes(message, bytes);
    return Send(message);
}

std::size_t Client::Flush(std::chrono::milliseconds timeout) {
    // The queue shrinks on the send thread once an answer has been handled;
    // a short poll sees it without a hook into that thread.
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::size_t left = Pending();
        if (left == 0 || std::chrono::steady_clock::now() >= deadline) return left;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::size_t Client::Pending() const {
    return state_ ? static_cast<std::size_t>(state_->client.GetQueuedCount()) : 0;
}

void Client::Close(bool dropQueued) {
    if (!state_ || state_->closed) return;
    state_->closed = true;
    state_->client.Close(dropQueued);
}

CNetClient& Client::Classic() { return state_->client; }

}  // namespace transport
