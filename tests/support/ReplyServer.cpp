#include "support/ReplyServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace transport {
namespace test {

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "ReplyServer: %s failed: %s\n", what, std::strerror(errno));
    std::abort();
}

void WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace

ReplyServer::ReplyServer(const char* address, Mode mode, std::string reply)
    : m_mode(mode), m_reply(std::move(reply)) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) Fail("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (::inet_pton(AF_INET, address, &addr.sin_addr) != 1) Fail("inet_pton");
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) Fail("bind");
    if (::listen(m_listenFd, 16) < 0) Fail("listen");
    socklen_t len = sizeof addr;
    if (::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&addr), &len) < 0) Fail("getsockname");
    m_port = ntohs(addr.sin_port);
    if (::pipe2(m_wakeFds, O_CLOEXEC | O_NONBLOCK) < 0) Fail("pipe2");
    m_thread = std::thread([this] { Run(); });
}

ReplyServer::~ReplyServer() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_stop = true;
    }
    char byte = 1;
    (void)!::write(m_wakeFds[1], &byte, 1);
    m_thread.join();
    for (const Connection& c : m_connections) {
        if (c.fd >= 0) ::close(c.fd);
    }
    ::close(m_listenFd);
    ::close(m_wakeFds[0]);
    ::close(m_wakeFds[1]);
}

std::size_t ReplyServer::ConnectionCount() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_connections.size();
}

std::string ReplyServer::Received(std::size_t connection) const {
    std::lock_guard<std::mutex> g(m_mutex);
    return connection < m_received.size() ? m_received[connection] : std::string();
}

bool ReplyServer::WaitForConnections(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_connections.size() >= n; });
}

bool ReplyServer::WaitForReplies(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_replies >= n; });
}

void ReplyServer::CloseAll() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_closeAll = true;
    char byte = 1;
    (void)!::write(m_wakeFds[1], &byte, 1);
    m_changed.wait(lock, [&] { return !m_closeAll || m_stop; });
}

void ReplyServer::Run() {
    for (;;) {
        std::vector<pollfd> fds{{m_wakeFds[0], POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        std::vector<std::size_t> polled;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            if (m_stop) break;
            if (m_closeAll) {
                for (Connection& c : m_connections) {
                    if (c.fd >= 0) ::close(c.fd);
                    c.fd = -1;
                }
                m_closeAll = false;
                m_changed.notify_all();
            }
            for (std::size_t i = 0; i < m_connections.size(); ++i) {
                if (m_connections[i].fd < 0) continue;
                fds.push_back(pollfd{m_connections[i].fd, POLLIN, 0});
                polled.push_back(i);
            }
        }
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            Fail("poll");
        }
        if (fds[0].revents != 0) {
            char buf[64];
            while (::read(m_wakeFds[0], buf, sizeof buf) > 0) {
            }
        }
        if (fds[1].revents != 0) {
            int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                std::lock_guard<std::mutex> g(m_mutex);
                if (m_mode == Mode::kHangUp) {
                    ::close(fd);
                    fd = -1;
                }
                m_connections.push_back(Connection{fd, false});
                m_received.emplace_back();
                m_changed.notify_all();
            }
        }
        for (std::size_t k = 0; k < polled.size(); ++k) {
            if (fds[k + 2].revents != 0) Serve(polled[k]);
        }
    }
    std::lock_guard<std::mutex> g(m_mutex);
    m_changed.notify_all();
}

// Reads what arrived; the first complete request head gets the reply.
void ReplyServer::Serve(std::size_t index) {
    std::lock_guard<std::mutex> g(m_mutex);
    Connection& c = m_connections[index];
    char buf[4096];
    ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        ::close(c.fd);
        c.fd = -1;
        m_changed.notify_all();
        return;
    }
    m_received[index].append(buf, static_cast<std::size_t>(n));
    if (!c.replied && m_received[index].find("\r\n\r\n") != std::string::npos) {
        c.replied = true;
        WriteAll(c.fd, m_reply);
        ++m_replies;
        if (m_mode == Mode::kReplyAndClose) {
            ::close(c.fd);
            c.fd = -1;
        }
    }
    m_changed.notify_all();
}

}  // namespace test
}  // namespace transport
