#include "support/ConnectScript.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace transport {
namespace test {

namespace {

std::string AddressText(std::uint32_t networkOrder) {
    char text[INET_ADDRSTRLEN] = "";
    in_addr addr{};
    addr.s_addr = networkOrder;
    ::inet_ntop(AF_INET, &addr, text, sizeof text);
    return text;
}

bool IsLoopback(std::uint32_t networkOrder) { return (ntohl(networkOrder) >> 24) == 127; }

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

ConnectScript::~ConnectScript() {
    for (const auto& refuser : m_refusers) ::close(refuser.second.first);
}

void ConnectScript::Set(const std::string& address, std::uint16_t port, Step standing) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_standing[Key(address, port)] = standing;
}

void ConnectScript::Then(const std::string& address, std::uint16_t port, std::vector<Step> steps) {
    std::lock_guard<std::mutex> g(m_mutex);
    auto& queue = m_once[Key(address, port)];
    queue.insert(queue.end(), steps.begin(), steps.end());
}

std::vector<std::string> ConnectScript::Journal() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_journal;
}

std::vector<ConnectScript::Attempt> ConnectScript::Attempts() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_attempts;
}

std::vector<std::string> ConnectScript::Targets() const {
    std::lock_guard<std::mutex> g(m_mutex);
    std::vector<std::string> out;
    for (const Attempt& a : m_attempts) out.push_back(a.target);
    return out;
}

std::size_t ConnectScript::AttemptCount() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_attempts.size();
}

bool ConnectScript::WaitForAttempts(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_attempts.size() >= n; });
}

bool ConnectScript::WaitForJournal(
    const std::function<bool(const std::vector<std::string>&)>& done,
    std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return done(m_journal); });
}

bool ConnectScript::WaitForSent(std::size_t index, const std::string& text,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        return index < m_attempts.size() && m_attempts[index].sent.find(text) != std::string::npos;
    });
}

void ConnectScript::AddLocked(const std::string& entry) {
    m_journal.push_back(entry);
    m_changed.notify_all();
}

ConnectScript::Step ConnectScript::NextStepLocked(const Key& key) {
    auto once = m_once.find(key);
    if (once != m_once.end() && !once->second.empty()) {
        Step step = once->second.front();
        once->second.pop_front();
        return step;
    }
    auto standing = m_standing.find(key);
    return standing != m_standing.end() ? standing->second : Refuse();
}

// A port of that address that is bound and never listened on: the socket
// layer answers a connect there with a reset, a refusal like any other.
std::uint16_t ConnectScript::RefusingPortLocked(std::uint32_t address) {
    auto it = m_refusers.find(address);
    if (it != m_refusers.end()) return it->second.second;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = address;
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        std::perror("ConnectScript: refusing port");
        std::abort();
    }
    m_refusers[address] = {fd, ntohs(addr.sin_port)};
    return ntohs(addr.sin_port);
}

int ConnectScript::Connect(SocketHandle socket, const SockAddrIn& address) {
    SockAddrIn routed = address;
    Step step = RouteTo(ntohs(address.sin_port));
    {
        std::lock_guard<std::mutex> g(m_mutex);
        const std::string target =
            AddressText(address.sin_addr) + ":" + std::to_string(ntohs(address.sin_port));
        m_attemptOf[socket] = m_attempts.size();
        m_attempts.push_back(Attempt{target, std::string()});
        if (IsLoopback(address.sin_addr)) {
            step = NextStepLocked(Key(AddressText(address.sin_addr), ntohs(address.sin_port)));
            if (step.outcome == Outcome::kRefuse) step.port = RefusingPortLocked(address.sin_addr);
        }
        AddLocked("connect " + target);
    }
    if (step.outcome == Outcome::kTimeOut) {
        SetLastSocketError(kErrTimedOut);
        return kSocketError;
    }
    routed.sin_port = htons(step.port);
    return PlatformWrapper::Connect(socket, routed);
}

int ConnectScript::Send(SocketHandle socket, const char* data, std::uint32_t length,
                        std::uint32_t timeoutMs, std::uint32_t* sent) {
    const int result = PlatformWrapper::Send(socket, data, length, timeoutMs, sent);
    if (result == 0 && sent != nullptr) {
        std::lock_guard<std::mutex> g(m_mutex);
        auto it = m_attemptOf.find(socket);
        if (it != m_attemptOf.end()) {
            m_attempts[it->second].sent.append(data, *sent);
            m_changed.notify_all();
        }
    }
    return result;
}

void ConnectScript::Sleep(std::uint32_t ms) {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        AddLocked("sleep " + std::to_string(ms));
    }
    PlatformWrapper::Sleep(ms);
}

bool ConnectScript::GetHostByName(const char* name, HostEntry* entry) {
    if (name != nullptr && EndsWith(name, ".invalid")) {
        SetLastSocketError(kErrHostNotFound);
        return false;
    }
    return PlatformWrapper::GetHostByName(name, entry);
}

// Journalled once done, so that a test that sees the entry may drive the
// connection it made.
int ConnectScript::CmEstablishConnection(const ConnectionInfo& info, Handle* connection) {
    const int result = PlatformWrapper::CmEstablishConnection(info, connection);
    std::lock_guard<std::mutex> g(m_mutex);
    AddLocked("establish");
    return result;
}

int ConnectScript::CmReleaseConnection(Handle connection, std::uint32_t flags) {
    const int result = PlatformWrapper::CmReleaseConnection(connection, flags);
    std::lock_guard<std::mutex> g(m_mutex);
    AddLocked("release");
    return result;
}

}  // namespace test
}  // namespace transport
