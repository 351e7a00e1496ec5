#include "support/EchoServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace transport {
namespace test {

namespace {

const char kOpen[] = "<g44>";
const char kClose[] = "</g44>";
constexpr std::size_t kOpenLength = sizeof(kOpen) - 1;
constexpr std::size_t kCloseLength = sizeof(kClose) - 1;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "EchoServer: %s failed: %s\n", what, std::strerror(errno));
    std::abort();
}

// Id and parameters of a frame, read without the client's parser.
EchoServer::Frame Parse(const std::string& text, std::size_t connection) {
    EchoServer::Frame frame;
    frame.connection = connection;
    frame.length = text.size();
    const std::size_t idEnd = text.find('<', kOpenLength);
    const std::string id = text.substr(kOpenLength, idEnd - kOpenLength);
    char* end = nullptr;
    const long value = std::strtol(id.c_str(), &end, 10);
    frame.id = (!id.empty() && end != nullptr && *end == '\0') ? value : -1;
    std::size_t pos = idEnd;
    while (pos != std::string::npos) {
        const std::size_t open = text.find("<p>", pos);
        if (open == std::string::npos) break;
        const std::size_t close = text.find("</p>", open + 3);
        if (close == std::string::npos) break;
        frame.params.push_back(text.substr(open + 3, close - open - 3));
        pos = close + 4;
    }
    return frame;
}

}  // namespace

EchoServer::EchoServer() {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) Fail("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) Fail("bind");
    if (::listen(m_listenFd, 16) < 0) Fail("listen");
    socklen_t length = sizeof addr;
    if (::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &length) < 0) {
        Fail("getsockname");
    }
    m_port = ntohs(addr.sin_port);
    if (::pipe2(m_wakeFds, O_CLOEXEC | O_NONBLOCK) < 0) Fail("pipe2");
    m_thread = std::thread([this] { Run(); });
}

EchoServer::~EchoServer() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_stop = true;
    }
    Wake();
    m_thread.join();
    for (Connection& conn : m_connections) ::close(conn.fd);
    ::close(m_listenFd);
    ::close(m_wakeFds[0]);
    ::close(m_wakeFds[1]);
}

void EchoServer::SetPartsAsServerTransfer(bool asServerTransfer) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_asServerTransfer = asServerTransfer;
}

void EchoServer::HoldAnswers() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_hold = true;
}

void EchoServer::ReleaseAnswers() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_hold = false;
    }
    Wake();
}

void EchoServer::Wake() {
    const char byte = 1;
    const ssize_t n = ::write(m_wakeFds[1], &byte, 1);
    (void)n;  // a full pipe wakes the thread as well
}

std::vector<EchoServer::Frame> EchoServer::Frames() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_frames;
}

std::vector<EchoServer::Frame> EchoServer::FramesWithId(long id) const {
    std::lock_guard<std::mutex> g(m_mutex);
    std::vector<Frame> out;
    for (const Frame& f : m_frames) {
        if (f.id == id) out.push_back(f);
    }
    return out;
}

bool EchoServer::WaitForFramesWithId(long id, std::size_t n,
                                     std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        return static_cast<std::size_t>(std::count_if(
                   m_frames.begin(), m_frames.end(),
                   [id](const Frame& f) { return f.id == id; })) >= n;
    });
}

void EchoServer::Run() {
    std::vector<pollfd> fds;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            if (m_stop) return;
        }
        fds.clear();
        fds.push_back(pollfd{m_wakeFds[0], POLLIN, 0});
        fds.push_back(pollfd{m_listenFd, POLLIN, 0});
        for (const Connection& conn : m_connections) fds.push_back(pollfd{conn.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            Fail("poll");
        }
        if (fds[0].revents != 0) {
            char drained[64];
            while (::read(m_wakeFds[0], drained, sizeof drained) > 0) {
            }
            SendHeldAnswers();
            continue;  // a stop is seen at the top
        }
        if (fds[1].revents != 0) Accept();
        // Walk backwards so that closed connections can be erased in place;
        // connections accepted just now have no entry in fds yet.
        for (std::size_t i = fds.size() - 2; i-- > 0;) {
            if (fds[i + 2].revents == 0) continue;
            if (!ReadFrom(m_connections[i])) {
                ::close(m_connections[i].fd);
                m_connections.erase(m_connections.begin() + static_cast<long>(i));
            }
        }
    }
}

void EchoServer::SendHeldAnswers() {
    std::vector<std::pair<std::size_t, std::string>> held;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        if (m_hold) return;
        held.swap(m_held);
    }
    for (const auto& answer : held) {
        for (const Connection& conn : m_connections) {
            if (conn.index == answer.first) WriteAll(conn.fd, answer.second);
        }
    }
}

void EchoServer::Accept() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;  // all taken
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Connection conn;
        conn.fd = fd;
        conn.index = m_accepted++;
        m_connections.push_back(std::move(conn));
    }
}

bool EchoServer::ReadFrom(Connection& conn) {
    char buffer[65536];
    const ssize_t n = ::recv(conn.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (n == 0) return false;
    conn.pending.append(buffer, static_cast<std::size_t>(n));
    HandleFrames(conn);
    return true;
}

// Cuts the complete frames from the front of the pending bytes, in order.
void EchoServer::HandleFrames(Connection& conn) {
    std::string& b = conn.pending;
    for (;;) {
        const std::size_t open = b.find(kOpen);
        if (open == std::string::npos) {
            // Keep a tail that may begin an opening tag.
            if (b.size() > kOpenLength) b.erase(0, b.size() - kOpenLength);
            conn.scanned = 0;
            return;
        }
        if (open > 0) {
            b.erase(0, open);
            conn.scanned = 0;
        }
        const std::size_t from = std::max(conn.scanned, kOpenLength);
        const std::size_t close = b.find(kClose, from);
        if (close == std::string::npos) {
            // Resume later just before the end, in case a tag is split.
            conn.scanned = b.size() > kCloseLength ? b.size() - kCloseLength : 0;
            return;
        }
        const std::string text = b.substr(0, close + kCloseLength);
        b.erase(0, close + kCloseLength);
        conn.scanned = 0;

        const Frame frame = Parse(text, conn.index);
        std::string answer;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            answer = AnswerFor(text, frame);
            if (m_hold && !answer.empty()) {
                m_held.emplace_back(conn.index, answer);
                answer.clear();
            }
            m_frames.push_back(frame);
            m_changed.notify_all();
        }
        if (!answer.empty()) WriteAll(conn.fd, answer);
    }
}

std::string EchoServer::AnswerFor(const std::string& text, const Frame& frame) const {
    switch (frame.id) {
        case 0:
            return std::string();
        case 1:
            return "<g44>1<p>1</p><p>ok</p></g44>";
        case 12:
            return "<g44>12<p>Keep-Alive</p></g44>";
        default:
            break;
    }
    std::string echo = text;
    if (frame.id == 10 && m_asServerTransfer) {
        echo = std::string(kOpen) + "8<p>4</p>" + text.substr(kOpenLength + 2);
    }
    return "<g44>7<p>1</p></g44>" + echo;
}

void EchoServer::WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    int idle = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The client reads on a thread of its own: wait until it has made
            // room, but not for ever (a client that stopped reading).
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 1000) == 0 && ++idle >= 30) return;
            continue;
        }
        idle = 0;
        if (n <= 0) return;  // the client is gone; its close is seen on the next read
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace test
}  // namespace transport
