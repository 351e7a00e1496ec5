#include "support/HttpTestServers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace transport {
namespace test {

namespace {

bool MakeAddress(const std::string& address, std::uint16_t port, sockaddr_in* out) {
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    return ::inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

// A TCP socket bound to address:port, or -1 with *why.
int BoundSocket(const std::string& address, std::uint16_t port, std::string* why) {
    sockaddr_in addr;
    if (!MakeAddress(address, port, &addr)) {
        if (why != nullptr) *why = "not an IPv4 address: " + address;
        return -1;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (why != nullptr) *why = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (why != nullptr) {
            *why = "bind " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        }
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Accepts(const std::string& address, std::uint16_t port) {
    sockaddr_in addr;
    if (!MakeAddress(address, port, &addr)) return false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// Reads what arrives on fd until `until` has arrived, the peer closes or
// nothing comes for timeoutMs.
void ReadUntil(int fd, const std::string& until, int timeoutMs, std::string* received) {
    while (until.empty() || received->find(until) == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        received->append(buffer, static_cast<std::size_t>(n));
    }
}

}  // namespace

bool CanListenOn(const std::string& address, std::uint16_t port, std::string* why) {
    const int fd = BoundSocket(address, port, why);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// ---- BusyboxHttpd ----

bool BusyboxHttpd::Start(const std::string& address, std::uint16_t port, const std::string& root,
                         std::string* why) {
    const std::string busybox = FindProgram("busybox");
    if (busybox.empty()) {
        if (why != nullptr) *why = "busybox is not installed";
        return false;
    }
    const std::string where = address + ":" + std::to_string(port);
    if (!m_process.Start({busybox, "httpd", "-f", "-p", where, "-h", root})) {
        if (why != nullptr) *why = "busybox httpd could not be started";
        return false;
    }
    for (int i = 0; i < 1000; ++i) {
        if (Accepts(address, port)) return true;
        if (!m_process.Running()) {
            if (why != nullptr) *why = "busybox httpd ended at once (is " + where + " taken?)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_process.Stop();
    if (why != nullptr) *why = "busybox httpd did not accept connections on " + where;
    return false;
}

// ---- RecordingHttpServer ----

RecordingHttpServer::RecordingHttpServer(const std::string& address, std::uint16_t port) {
    const int fd = BoundSocket(address, port, &m_error);
    if (fd < 0) return;
    if (::listen(fd, 8) != 0 || ::pipe2(m_wakeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_error = std::string("listen: ") + std::strerror(errno);
        ::close(fd);
        return;
    }
    m_listenFd = fd;
    m_thread = std::thread([this] { Run(); });
}

RecordingHttpServer::~RecordingHttpServer() {
    if (m_listenFd < 0) return;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_stop = true;
    }
    const char byte = 1;
    const ssize_t n = ::write(m_wakeFds[1], &byte, 1);
    (void)n;
    m_thread.join();
    ::close(m_listenFd);
    ::close(m_wakeFds[0]);
    ::close(m_wakeFds[1]);
}

void RecordingHttpServer::SetResponse(const std::string& response) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_response = response;
}

std::vector<std::string> RecordingHttpServer::Requests() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_requests;
}

std::vector<std::string> RecordingHttpServer::Bodies() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_bodies;
}

void RecordingHttpServer::Run() {
    for (;;) {
        pollfd fds[2] = {{m_wakeFds[0], POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            if (m_stop) return;
        }
        if (fds[1].revents == 0) continue;
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        Serve(fd);
        ::close(fd);
    }
}

void RecordingHttpServer::Serve(int fd) {
    std::string received;
    ReadUntil(fd, "\r\n\r\n", 5000, &received);
    const std::size_t headEnd = received.find("\r\n\r\n");
    const std::string head =
        headEnd == std::string::npos ? received : received.substr(0, headEnd + 4);
    std::string body = headEnd == std::string::npos ? std::string() : received.substr(headEnd + 4);
    // A request without a body has nothing more to say; wait briefly to be sure.
    ReadUntil(fd, std::string(), 50, &body);

    std::string response;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_requests.push_back(head);
        m_bodies.push_back(body);
        response = m_response;
    }
    std::size_t done = 0;
    while (done < response.size()) {
        const ssize_t n =
            ::send(fd, response.data() + done, response.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    // Let the client read to the end before the socket goes.
    std::string rest;
    ReadUntil(fd, std::string(), 1000, &rest);
}

// ---- RefusingPort ----

RefusingPort::RefusingPort(const std::string& address, std::uint16_t port)
    : m_fd(BoundSocket(address, port, nullptr)) {}

RefusingPort::~RefusingPort() {
    if (m_fd >= 0) ::close(m_fd);
}

}  // namespace test
}  // namespace transport
