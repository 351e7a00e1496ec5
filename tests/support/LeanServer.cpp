#include "support/LeanServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace transport {
namespace test {

namespace {

constexpr std::string_view kOpen = "<g44>";
constexpr std::string_view kClose = "</g44>";

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "LeanServer: %s failed: %s\n", what, std::strerror(errno));
    std::abort();
}

void SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) Fail("fcntl");
}

// Id and parameters of one frame, read independently of the client's parser.
LeanServer::Frame Parse(std::size_t connection, std::string_view text) {
    LeanServer::Frame frame{connection, -1, {}};
    std::size_t at = kOpen.size();
    const std::size_t idEnd = std::min(text.find('<', at), text.size());
    const std::string id(text.substr(at, idEnd - at));
    char* end = nullptr;
    const long value = std::strtol(id.c_str(), &end, 10);
    if (!id.empty() && end != nullptr && *end == '\0') frame.id = value;
    at = idEnd;
    for (;;) {
        const std::size_t open = text.find("<p>", at);
        if (open == std::string_view::npos) break;
        const std::size_t close = text.find("</p>", open + 3);
        if (close == std::string_view::npos) break;
        frame.params.push_back(text.substr(open + 3, close - open - 3));
        at = close + 4;
    }
    return frame;
}

}  // namespace

struct LeanServer::Connection {
    int fd = -1;
    std::size_t index = 0;
    bool open = true;
    std::string pending;     // received, not yet cut
    std::size_t opener = std::string::npos;  // of the frame being received
    std::size_t scanFrom = 0;  // where the search for its closer goes on
};

std::string LeanServer::UsualAnswer(const Frame& frame) {
    switch (frame.id) {
        case 0:
            return std::string();
        case 1:
            return "<g44>1<p>1</p><p>ok</p></g44>";
        case 12:
            return "<g44>12<p>Keep-Alive</p></g44>";
        default:
            return "<g44>7<p>1</p></g44>";
    }
}

LeanServer::LeanServer(Handler handler, std::uint16_t port) : m_handler(std::move(handler)) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) Fail("socket");
    int one = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) Fail("bind");
    if (::listen(m_listenFd, 64) < 0) Fail("listen");
    socklen_t len = sizeof addr;
    if (::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) {
        Fail("getsockname");
    }
    m_port = ntohs(addr.sin_port);
    SetNonBlocking(m_listenFd);
    if (::pipe2(m_wakeFds, O_CLOEXEC | O_NONBLOCK) < 0) Fail("pipe2");
    m_thread = std::thread([this] { Run(); });
}

LeanServer::~LeanServer() {
    m_stop = true;
    const char byte = 1;
    const ssize_t n = ::write(m_wakeFds[1], &byte, 1);
    (void)n;
    m_thread.join();
    for (auto& conn : m_connections) Close(*conn);
    ::close(m_listenFd);
    ::close(m_wakeFds[0]);
    ::close(m_wakeFds[1]);
}

void LeanServer::DropAll() {
    std::lock_guard<std::mutex> lock(m_dropMutex);
    const std::uint64_t asked = ++m_dropsAsked;
    const char byte = 1;
    const ssize_t n = ::write(m_wakeFds[1], &byte, 1);
    (void)n;
    while (m_dropsDone.load() < asked && !m_stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void LeanServer::Run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    while (!m_stop) {
        fds.clear();
        polled.clear();
        fds.push_back(pollfd{m_wakeFds[0], POLLIN, 0});
        fds.push_back(pollfd{m_listenFd, POLLIN, 0});
        for (auto& conn : m_connections) {
            fds.push_back(pollfd{conn->fd, POLLIN, 0});
            polled.push_back(conn.get());
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            Fail("poll");
        }
        if (fds[0].revents != 0) {
            char buf[64];
            while (::read(m_wakeFds[0], buf, sizeof buf) > 0) {
            }
            const std::uint64_t asked = m_dropsAsked.load();
            if (m_dropsDone.load() < asked) {
                for (auto& conn : m_connections) Close(*conn);
                m_dropsDone = asked;
            }
        }
        if (fds[1].revents != 0) {
            for (;;) {
                const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) break;
                int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                auto conn = std::make_unique<Connection>();
                conn->fd = fd;
                conn->index = m_accepted++;
                m_connections.push_back(std::move(conn));
            }
        }
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (fds[i + 2].revents != 0 && polled[i]->open) ReadFrom(*polled[i]);
        }
        std::vector<std::unique_ptr<Connection>> kept;
        for (auto& conn : m_connections) {
            if (conn->open) kept.push_back(std::move(conn));
        }
        m_connections.swap(kept);
    }
}

void LeanServer::ReadFrom(Connection& conn) {
    char buf[65536];
    const ssize_t n = ::recv(conn.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        Close(conn);
        return;
    }
    conn.pending.append(buf, static_cast<std::size_t>(n));
    std::string answers;
    std::size_t consumed = 0;
    for (;;) {
        const std::string_view data(conn.pending);
        if (conn.opener == std::string::npos) {
            conn.opener = data.find(kOpen, std::max(consumed, conn.scanFrom));
            if (conn.opener == std::string::npos) {
                // Keep looking where a tag could still begin.
                conn.scanFrom = data.size() >= kOpen.size() ? data.size() - kOpen.size() + 1 : 0;
                break;
            }
            conn.scanFrom = conn.opener;
        }
        const std::size_t close = data.find(kClose, std::max(conn.opener, conn.scanFrom));
        if (close == std::string::npos) {
            conn.scanFrom = data.size() >= kClose.size() ? data.size() - kClose.size() + 1 : 0;
            break;
        }
        const std::size_t end = close + kClose.size();
        ++m_frames;
        answers += m_handler(Parse(conn.index, data.substr(conn.opener, end - conn.opener)));
        consumed = end;
        conn.opener = std::string::npos;
        conn.scanFrom = end;
    }
    if (consumed > 0) {
        conn.pending.erase(0, consumed);
        if (conn.opener != std::string::npos) conn.opener -= consumed;
        conn.scanFrom = conn.scanFrom > consumed ? conn.scanFrom - consumed : 0;
    } else if (conn.opener == std::string::npos && conn.pending.size() > kOpen.size()) {
        // Nothing that could still become a frame is kept.
        conn.pending.erase(0, conn.pending.size() - (kOpen.size() - 1));
        conn.scanFrom = 0;
    }
    std::size_t done = 0;
    while (conn.open && done < answers.size()) {
        const ssize_t w =
            ::send(conn.fd, answers.data() + done, answers.size() - done, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;  // the peer is gone; its close is seen on the next read
        done += static_cast<std::size_t>(w);
    }
}

void LeanServer::Close(Connection& conn) {
    if (!conn.open) return;
    ::close(conn.fd);
    conn.fd = -1;
    conn.open = false;
}

std::size_t ResidentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0;
    std::size_t resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

}  // namespace test
}  // namespace transport
