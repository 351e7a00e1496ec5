#include "support/FakeServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace transport {
namespace test {

namespace {

const char kOpen[] = "<g44>";
const char kClose[] = "</g44>";

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "FakeServer: %s failed: %s\n", what, std::strerror(errno));
    std::abort();
}

// Id and parameters of one frame, read independently of the client's parser
// so that the two cannot share a fault.
void ParseInto(FakeServer::Frame& frame) {
    const std::string& t = frame.text;
    std::size_t pos = sizeof(kOpen) - 1;
    std::size_t idEnd = t.find('<', pos);
    std::string id = t.substr(pos, idEnd - pos);
    char* end = nullptr;
    long value = std::strtol(id.c_str(), &end, 10);
    frame.id = (!id.empty() && end != nullptr && *end == '\0') ? value : -1;
    pos = idEnd;
    while (pos != std::string::npos) {
        std::size_t open = t.find("<p>", pos);
        if (open == std::string::npos) break;
        std::size_t close = t.find("</p>", open + 3);
        if (close == std::string::npos) break;
        frame.params.push_back(t.substr(open + 3, close - open - 3));
        pos = close + 4;
    }
}

std::size_t ContentLength(const std::string& header) {
    std::string lower = header;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::size_t at = lower.find("content-length:");
    if (at == std::string::npos) return 0;
    return static_cast<std::size_t>(std::strtoul(lower.c_str() + at + 15, nullptr, 10));
}

void SetNonBlocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) Fail("fcntl");
}

}  // namespace

struct FakeServer::Connection {
    int fd = -1;
    std::size_t index = 0;
    bool open = true;
    std::string pending;  // received, not yet cut into requests or frames
};

FakeServer::FakeServer(std::uint16_t port, const char* address) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) Fail("socket");
    int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address, &addr.sin_addr) != 1) Fail("inet_pton");
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) Fail("bind");
    if (::listen(m_listenFd, 64) < 0) Fail("listen");
    socklen_t len = sizeof addr;
    if (::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) Fail("getsockname");
    m_port = ntohs(addr.sin_port);
    SetNonBlocking(m_listenFd);
    if (::pipe2(m_wakeFds, O_CLOEXEC | O_NONBLOCK) < 0) Fail("pipe2");
    m_thread = std::thread([this] { Run(); });
}

FakeServer::~FakeServer() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_stop = true;
    }
    Wake();
    m_thread.join();
    for (auto& conn : m_connections) {
        if (conn->open) ::close(conn->fd);
    }
    ::close(m_listenFd);
    ::close(m_wakeFds[0]);
    ::close(m_wakeFds[1]);
}

// ---- Script ----

void FakeServer::SetLoginAnswer(const std::string& secondParam) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_loginSecond = secondParam;
}

void FakeServer::RefuseLogins(int code) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_loginRefusal = code;
}

void FakeServer::AcceptLogins() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_loginRefusal = -1;
}

void FakeServer::IgnoreLogins(bool ignore) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_ignoreLogins = ignore;
}

void FakeServer::SetDefaultResult(int result) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_defaultResult = result;
}

void FakeServer::SetResultForId(long id, int result) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_resultById[id] = result;
}

void FakeServer::QueueResults(const std::vector<int>& results) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_queuedResults.insert(m_queuedResults.end(), results.begin(), results.end());
}

void FakeServer::AnswerKeepAlives(bool answer) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_answerKeepAlive = answer;
}

void FakeServer::SetSilent(bool silent) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_silent = silent;
}

void FakeServer::DropAfterFrames(int n) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_dropAfter = n;
}

void FakeServer::DropOnId(long id, int times) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_dropOnId[id] = times;
}

void FakeServer::DropMidAnswerOnId(long id) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_dropMidOnId[id] = 1;
}

// ---- Commands run on the server thread ----

void FakeServer::DropAll() {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::uint64_t serial = m_nextSerial++;
    m_commands.push_back(Command{Command::kDropAll, 0, std::string(), false, serial});
    lock.unlock();
    Wake();
    lock.lock();
    m_changed.wait(lock, [&] { return m_doneSerial >= serial || m_stop; });
}

bool FakeServer::Push(const std::string& text) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::uint64_t serial = m_nextSerial++;
    m_commands.push_back(Command{Command::kPush, 0, text, true, serial});
    lock.unlock();
    Wake();
    lock.lock();
    m_changed.wait(lock, [&] { return m_doneSerial >= serial || m_stop; });
    for (const auto& r : m_results) {
        if (r.first == serial) return r.second;
    }
    return false;
}

bool FakeServer::PushTo(std::size_t connection, const std::string& text) {
    std::unique_lock<std::mutex> lock(m_mutex);
    std::uint64_t serial = m_nextSerial++;
    m_commands.push_back(Command{Command::kPush, connection, text, false, serial});
    lock.unlock();
    Wake();
    lock.lock();
    m_changed.wait(lock, [&] { return m_doneSerial >= serial || m_stop; });
    for (const auto& r : m_results) {
        if (r.first == serial) return r.second;
    }
    return false;
}

void FakeServer::Wake() {
    char byte = 1;
    ssize_t n = ::write(m_wakeFds[1], &byte, 1);
    (void)n;  // a full pipe already wakes the thread
}

void FakeServer::RunCommands() {
    std::vector<Command> commands;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        commands.swap(m_commands);
    }
    std::vector<std::pair<std::uint64_t, bool>> results;
    for (const Command& cmd : commands) {
        bool ok = false;
        if (cmd.kind == Command::kDropAll) {
            for (auto& conn : m_connections) CloseConnection(*conn);
            ok = true;
        } else {
            Connection* target = nullptr;
            for (auto& conn : m_connections) {
                if (!conn->open) continue;
                if (cmd.newest || conn->index == cmd.connection) target = conn.get();
            }
            if (target != nullptr) {
                WriteAll(*target, cmd.text);
                ok = true;
            }
        }
        results.emplace_back(cmd.serial, ok);
    }
    std::lock_guard<std::mutex> g(m_mutex);
    for (const auto& r : results) {
        m_results.push_back(r);
        m_doneSerial = std::max(m_doneSerial, r.first);
    }
    m_changed.notify_all();
}

// ---- Server thread ----

void FakeServer::Run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            if (m_stop) break;
        }
        fds.clear();
        polled.clear();
        fds.push_back(pollfd{m_wakeFds[0], POLLIN, 0});
        fds.push_back(pollfd{m_listenFd, POLLIN, 0});
        for (auto& conn : m_connections) {
            if (!conn->open) continue;
            fds.push_back(pollfd{conn->fd, POLLIN, 0});
            polled.push_back(conn.get());
        }
        int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("poll");
        }
        if (fds[0].revents != 0) {
            char buf[64];
            while (::read(m_wakeFds[0], buf, sizeof buf) > 0) {
            }
            RunCommands();
        }
        if (fds[1].revents != 0) Accept();
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (fds[i + 2].revents != 0 && polled[i]->open) ReadFrom(*polled[i]);
        }
    }
    // Let waiters of a command that will never run go.
    std::lock_guard<std::mutex> g(m_mutex);
    m_changed.notify_all();
}

void FakeServer::Accept() {
    for (;;) {
        int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN: all taken
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto conn = std::make_unique<Connection>();
        conn->fd = fd;
        conn->index = m_connections.size();
        m_connections.push_back(std::move(conn));
        std::lock_guard<std::mutex> g(m_mutex);
        m_received.emplace_back();
        m_closed.push_back(false);
        m_changed.notify_all();
    }
}

void FakeServer::ReadFrom(Connection& conn) {
    char buf[4096];
    ssize_t n = ::recv(conn.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        CloseConnection(conn);
        return;
    }
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_received[conn.index].append(buf, static_cast<std::size_t>(n));
        m_changed.notify_all();
    }
    conn.pending.append(buf, static_cast<std::size_t>(n));
    Process(conn);
}

// Cuts complete requests and frames from the front of the connection's
// pending bytes, in arrival order; an incomplete one waits for more bytes.
void FakeServer::Process(Connection& conn) {
    std::string& b = conn.pending;
    while (conn.open) {
        std::size_t frame = b.find(kOpen);
        std::size_t post = b.find("POST ");
        std::size_t tunnel = b.find("CONNECT ");
        std::size_t first = std::min(frame, std::min(post, tunnel));
        if (first == std::string::npos) {
            // Keep a tail that may begin a tag or a request line.
            if (b.size() > 8) b.erase(0, b.size() - 8);
            return;
        }
        if (first == post) {
            std::size_t headerEnd = b.find("\r\n\r\n", post);
            if (headerEnd == std::string::npos) return;
            std::size_t length = ContentLength(b.substr(post, headerEnd - post));
            std::size_t bodyStart = headerEnd + 4;
            if (b.size() < bodyStart + length) return;
            std::string body = b.substr(bodyStart, length);
            b.erase(0, bodyStart + length);
            std::string answers;
            std::size_t at = body.find(kOpen);
            while (at != std::string::npos) {
                std::size_t end = body.find(kClose, at);
                if (end == std::string::npos) break;
                end += sizeof(kClose) - 1;
                if (!HandleFrame(conn, body.substr(at, end - at), true, &answers)) return;
                at = body.find(kOpen, end);
            }
            bool silent;
            {
                std::lock_guard<std::mutex> g(m_mutex);
                silent = m_silent;
            }
            if (!silent) {
                WriteAll(conn, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                   std::to_string(answers.size()) + "\r\n\r\n" + answers);
            }
        } else if (first == tunnel) {
            std::size_t end = b.find("\r\n\r\n", tunnel);
            if (end == std::string::npos) return;
            std::string line = b.substr(tunnel, b.find("\r\n", tunnel) - tunnel);
            b.erase(0, end + 4);
            bool silent;
            {
                std::lock_guard<std::mutex> g(m_mutex);
                m_connectRequests.push_back(line);
                silent = m_silent;
                m_changed.notify_all();
            }
            if (!silent) WriteAll(conn, "HTTP/1.1 200 Connection established\r\n\r\n");
        } else {
            std::size_t end = b.find(kClose, frame);
            if (end == std::string::npos) return;
            end += sizeof(kClose) - 1;
            std::string text = b.substr(frame, end - frame);
            b.erase(0, end);
            std::string answers;
            if (!HandleFrame(conn, text, false, &answers)) return;
            if (!answers.empty()) WriteAll(conn, answers);
        }
    }
}

bool FakeServer::HandleFrame(Connection& conn, const std::string& text, bool viaHttp,
                             std::string* answers) {
    Frame frame;
    frame.connection = conn.index;
    frame.text = text;
    frame.viaHttp = viaHttp;
    ParseInto(frame);

    enum { kAnswer, kDrop, kDropMid } action = kAnswer;
    std::string answer;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_dropAfter > 0 && --m_dropAfter == 0) {
            action = kDrop;
        } else if (m_dropOnId.count(frame.id) != 0 && m_dropOnId[frame.id] > 0) {
            --m_dropOnId[frame.id];
            action = kDrop;
        } else if (m_dropMidOnId.count(frame.id) != 0 && m_dropMidOnId[frame.id] > 0) {
            --m_dropMidOnId[frame.id];
            action = kDropMid;
            answer = AnswerFor(frame);
        } else if (!m_silent) {
            answer = AnswerFor(frame);
        }
        m_frames.push_back(frame);
        m_changed.notify_all();
    }
    if (action == kDropMid) WriteAll(conn, answer.substr(0, answer.size() / 2));
    if (action != kAnswer) {
        CloseConnection(conn);
        return false;
    }
    answers->append(answer);
    return true;
}

std::string FakeServer::AnswerFor(const Frame& frame) {
    switch (frame.id) {
    case 0:  // the client's disconnect
        return std::string();
    case 1:
        if (m_ignoreLogins) return std::string();
        if (m_loginRefusal >= 0) return "<g44>0<p>" + std::to_string(m_loginRefusal) + "</p></g44>";
        return "<g44>1<p>1</p><p>" + m_loginSecond + "</p></g44>";
    case 12:
        return m_answerKeepAlive ? "<g44>12<p>Keep-Alive</p></g44>" : std::string();
    default:
        break;
    }
    int result = m_defaultResult;
    if (!m_queuedResults.empty()) {
        result = m_queuedResults.front();
        m_queuedResults.pop_front();
    } else if (m_resultById.count(frame.id) != 0) {
        result = m_resultById[frame.id];
    }
    if (result == kNoAnswer) return std::string();
    return "<g44>7<p>" + std::to_string(result) + "</p></g44>";
}

void FakeServer::WriteAll(Connection& conn, const std::string& data) {
    std::size_t done = 0;
    while (conn.open && done < data.size()) {
        ssize_t n = ::send(conn.fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the peer is gone; its close is seen on the next read
        done += static_cast<std::size_t>(n);
    }
}

void FakeServer::CloseConnection(Connection& conn) {
    if (!conn.open) return;
    ::close(conn.fd);
    conn.open = false;
    conn.fd = -1;
    std::lock_guard<std::mutex> g(m_mutex);
    m_closed[conn.index] = true;
    m_changed.notify_all();
}

// ---- Observation ----

std::size_t FakeServer::ConnectionCount() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_received.size();
}

std::size_t FakeServer::OpenConnectionCount() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return static_cast<std::size_t>(std::count(m_closed.begin(), m_closed.end(), false));
}

bool FakeServer::IsClosed(std::size_t connection) const {
    std::lock_guard<std::mutex> g(m_mutex);
    return connection < m_closed.size() && m_closed[connection];
}

std::string FakeServer::Received(std::size_t connection) const {
    std::lock_guard<std::mutex> g(m_mutex);
    return connection < m_received.size() ? m_received[connection] : std::string();
}

std::vector<FakeServer::Frame> FakeServer::Frames() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_frames;
}

std::vector<FakeServer::Frame> FakeServer::FramesWithId(long id) const {
    std::lock_guard<std::mutex> g(m_mutex);
    std::vector<Frame> out;
    for (const Frame& f : m_frames) {
        if (f.id == id) out.push_back(f);
    }
    return out;
}

std::size_t FakeServer::FrameCount() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_frames.size();
}

std::vector<std::string> FakeServer::ConnectRequests() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_connectRequests;
}

bool FakeServer::WaitForFrames(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_frames.size() >= n; });
}

bool FakeServer::WaitForFramesWithId(long id, std::size_t n,
                                     std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(
                   m_frames.begin(), m_frames.end(), [&](const Frame& f) { return f.id == id; })) >= n;
    });
}

bool FakeServer::WaitForConnections(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_received.size() >= n; });
}

bool FakeServer::WaitForClosed(std::size_t connection, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        return connection < m_closed.size() && m_closed[connection];
    });
}

// ---- ClosedPort ----

ClosedPort::ClosedPort() {
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) Fail("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) Fail("bind");
    socklen_t len = sizeof addr;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) Fail("getsockname");
    m_port = ntohs(addr.sin_port);
}

ClosedPort::~ClosedPort() { ::close(m_fd); }

std::unique_ptr<LoopbackPeer> ConnectToLoopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<LoopbackPeer>(fd);
}

}  // namespace test
}  // namespace transport
