#include "support/TestPlatforms.h"

#include <algorithm>

namespace transport {
namespace test {

namespace {

using Lock = std::lock_guard<std::mutex>;

template <typename F>
auto Locked(std::mutex& mutex, F f) {
    Lock lock(mutex);
    return f();
}

}  // namespace

void TraceRecorder::Trace(const char* text, bool flag) {
    Locked(mutex_, [&] { lines_.push_back(text != nullptr ? text : ""); });
    PlatformWrapper::Trace(text, flag);
}

std::vector<std::string> TraceRecorder::Lines() const {
    return Locked(mutex_, [&] { return lines_; });
}

void TraceRecorder::Clear() {
    Locked(mutex_, [&] { lines_.clear(); });
}

std::size_t TraceRecorder::Count(const std::string& text) const {
    const auto lines = Lines();
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

long TraceRecorder::IndexOf(const std::string& text, std::size_t from) const {
    const auto lines = Lines();
    for (std::size_t i = from; i < lines.size(); ++i) {
        if (lines[i].find(text) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
}

BearerDouble::~BearerDouble() {
    for (Handle connection : live_) target().CloseHandle(connection);
}

void BearerDouble::SetStatus(std::uint32_t status) {
    Lock lock(mutex_);
    status_ = status;  // before the signal: a woken waiter reads the new word
    for (Handle connection : live_) target().SetEvent(connection);
}

int BearerDouble::CmEstablishConnection(const ConnectionInfo&, Handle* connection) {
    Lock lock(mutex_);
    Handle created = connection != nullptr ? target().CreateEvent() : nullptr;
    if (created == nullptr) return -1;
    live_.push_back(created);
    status_ = kCmStatusConnected;  // granted at once
    target().SetEvent(created);
    *connection = created;
    return 0;
}

int BearerDouble::CmConnectionStatus(Handle connection, std::uint32_t* status) {
    Lock lock(mutex_);
    const bool live = std::find(live_.begin(), live_.end(), connection) != live_.end();
    if (status != nullptr) *status = live ? status_ : 0;
    return live && status != nullptr ? 0 : -1;
}

int BearerDouble::CmReleaseConnection(Handle connection, std::uint32_t) {
    Lock lock(mutex_);
    const auto it = std::find(live_.begin(), live_.end(), connection);
    if (connection == nullptr || it == live_.end()) return -1;
    live_.erase(it);
    target().CloseHandle(connection);
    return 0;
}

PortMapPlatform::~PortMapPlatform() {
    for (const auto& refuser : refusers_) {
        if (refuser.second.first != kNoPeer) close(refuser.second.first);
    }
}

void PortMapPlatform::Route(const std::string& address, std::uint16_t port, std::vector<std::uint16_t> to) {
    Locked(mutex_, [&] { routes_[address + ":" + std::to_string(port)].assign(to.begin(), to.end()); });
}

std::vector<std::string> PortMapPlatform::Journal() const {
    return Locked(mutex_, [&] { return journal_; });
}

std::vector<std::string> PortMapPlatform::Targets() const {
    return Locked(mutex_, [&] { return targets_; });
}

std::string PortMapPlatform::Sent(std::size_t connect) const {
    return Locked(mutex_, [&] { return connect < sent_.size() ? sent_[connect] : std::string(); });
}

void PortMapPlatform::Add(const std::string& entry) {
    Locked(mutex_, [&] { journal_.push_back(entry); });
}

int PortMapPlatform::Connect(SocketHandle socket, const SockAddrIn& address) {
    char host[INET_ADDRSTRLEN] = "";
    in_addr in{};
    in.s_addr = address.sin_addr;
    inet_ntop(AF_INET, &in, host, sizeof host);
    const std::string target = host + (":" + std::to_string(ntohs(address.sin_port)));
    SockAddrIn routed = address;
    {
        Lock lock(mutex_);
        journal_.push_back("connect " + target);
        connectOf_[socket] = targets_.size();
        targets_.push_back(target);
        sent_.emplace_back();
        std::deque<std::uint16_t>& route = routes_[target];
        const std::uint16_t to = route.empty() ? kRefuse : route.front();
        if (route.size() > 1) route.pop_front();
        if ((ntohl(address.sin_addr) >> 24) == 127 && to == kTimeOut) {
            SetLastSocketError(kErrTimedOut);
            return kSocketError;
        }
        if (to == kRefuse && refusers_.count(host) == 0) {
            std::uint16_t port = 0;
            const int fd = BindLoopback(host, &port);
            refusers_[host] = {fd, port};
        }
        if ((ntohl(address.sin_addr) >> 24) == 127) routed.sin_port = htons(to == kRefuse ? refusers_[host].second : to);
    }
    return PlatformWrapper::Connect(socket, routed);
}

int PortMapPlatform::Send(SocketHandle socket, const char* data, std::uint32_t length, std::uint32_t timeoutMs,
                          std::uint32_t* sent) {
    const int result = PlatformWrapper::Send(socket, data, length, timeoutMs, sent);
    Lock lock(mutex_);
    const auto it = connectOf_.find(socket);
    if (result == 0 && sent != nullptr && it != connectOf_.end()) sent_[it->second].append(data, *sent);
    return result;
}

void PortMapPlatform::Sleep(std::uint32_t ms) {
    Add("sleep " + std::to_string(ms));
    PlatformWrapper::Sleep(ms);
}

bool PortMapPlatform::GetHostByName(const char* name, HostEntry* entry) {
    const std::string host = name != nullptr ? name : "";
    if (host.size() < 8 || host.compare(host.size() - 8, 8, ".invalid") != 0) {
        return PlatformWrapper::GetHostByName(name, entry);
    }
    SetLastSocketError(kErrHostNotFound);
    return false;
}

int PortMapPlatform::CmEstablishConnection(const ConnectionInfo& info, Handle* connection) {
    Add("establish");
    return PlatformWrapper::CmEstablishConnection(info, connection);
}

int PortMapPlatform::CmReleaseConnection(Handle connection, std::uint32_t flags) {
    Add("release");
    return PlatformWrapper::CmReleaseConnection(connection, flags);
}

}  // namespace test
}  // namespace transport
