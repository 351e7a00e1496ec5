#include "ServerLoop.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

namespace refserver {
namespace {

constexpr std::size_t kReadChunk = 16 * 1024;
// Per poll round a connection reads at most this much, so one busy client
// cannot starve the others.
constexpr std::size_t kReadPerRound = 256 * 1024;
constexpr std::size_t kPauseReadingAt = 1024 * 1024;
constexpr std::size_t kMaxUnsent = 64u * 1024 * 1024;
constexpr std::chrono::seconds kHandshakeTime{10};

// Signals reach the poll loop through this pipe; the handler only writes.
int g_signalPipe[2] = {-1, -1};

extern "C" void OnSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    ssize_t ignored = write(g_signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

// "a.b.c.d:port" or "[v6]:port".
std::string AddressText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof(text));
        return "[" + std::string(text) + "]:" + std::to_string(ntohs(in6.sin6_port));
    }
    const auto& in = reinterpret_cast<const sockaddr_in&>(address);
    inet_ntop(AF_INET, &in.sin_addr, text, sizeof(text));
    return std::string(text) + ":" + std::to_string(ntohs(in.sin_port));
}

// Keep-alive (id 12) and disconnect (id 0) frames.
bool IsControlFrame(const std::string& frame) {
    return frame.compare(0, 8, "<g44>12<") == 0 || frame.compare(0, 7, "<g44>0<") == 0;
}

}  // namespace

ServerLoop::ServerLoop(const ServerOptions& options, EventLog& log)
    : m_options(options), m_log(log), m_handler(options, log) {}

ServerLoop::~ServerLoop() {
    for (auto& connection : m_connections) {
        if (!connection->closed) ::close(connection->fd);
    }
    if (m_listen >= 0) ::close(m_listen);
}

bool ServerLoop::Listen(std::string* error) {
    if (!m_options.tlsCert.empty()) {
        m_tls = TlsContext::Create(m_options.tlsCert, m_options.tlsKey, m_options.tlsCa, error);
        if (!m_tls) return false;
    }
    sockaddr_storage address{};
    socklen_t addressLength = 0;
    if (!ParseAddress(m_options.address, m_options.port, &address, &addressLength)) {
        *error = "'" + m_options.address + "' is not an IPv4 or IPv6 address";
        return false;
    }
    m_listen = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listen < 0) {
        *error = std::string("cannot create a socket: ") + std::strerror(errno);
        return false;
    }
    const int on = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&address), addressLength) != 0 ||
        ::listen(m_listen, 128) != 0) {
        const int code = errno;
        *error = "cannot listen on " + m_options.address + " port " +
                 std::to_string(m_options.port) + ": " + std::strerror(code);
        if (code == EACCES && m_options.port < 1024) {
            *error += " (ports below 1024 need root or CAP_NET_BIND_SERVICE; --port picks another)";
        }
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&bound), &length);
    m_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(bound).sin6_port
                                               : reinterpret_cast<sockaddr_in&>(bound).sin_port);
    m_log.Line("listening on " + AddressText(bound));
    return true;
}

void ServerLoop::Run() {
    if (pipe2(g_signalPipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int number : {SIGINT, SIGTERM, SIGUSR1}) sigaction(number, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<pollfd> polls;
    for (;;) {
        polls.clear();
        polls.push_back({g_signalPipe[0], POLLIN, 0});
        polls.push_back({m_listen, POLLIN, 0});
        for (auto& connection : m_connections) {
            short events = 0;
            if (connection->handshaking) {
                events = connection->handshakeWantsWrite ? POLLOUT : POLLIN;
            } else {
                if (connection->out.size() < kPauseReadingAt || connection->writeWantsRead) {
                    events |= POLLIN;
                }
                if (!connection->out.empty() || connection->readWantsWrite) events |= POLLOUT;
            }
            polls.push_back({connection->fd, events, 0});
        }
        if (::poll(polls.data(), polls.size(), PollTimeout()) < 0) {
            if (errno == EINTR) continue;
            m_log.Line(std::string("poll failed: ") + std::strerror(errno));
            break;
        }
        if ((polls[0].revents & POLLIN) && !HandleSignals()) break;

        // Connections accepted below are polled from the next round on.
        const std::size_t polled = m_connections.size();
        for (std::size_t i = 0; i < polled; ++i) {
            Connection& connection = *m_connections[i];
            const short revents = polls[i + 2].revents;
            if (connection.closed) continue;
            if (connection.handshaking) {
                Handshake(connection, revents != 0);
                continue;
            }
            if (revents == 0) continue;
            if ((revents & (POLLIN | POLLHUP | POLLERR)) ||
                ((revents & POLLOUT) && connection.readWantsWrite)) {
                Read(connection);
            }
            if (!connection.closed && !connection.out.empty()) Flush(connection);
        }
        if (polls[1].revents & POLLIN) Accept();

        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                           [](const std::unique_ptr<Connection>& c) {
                                               return c->closed;
                                           }),
                            m_connections.end());
    }
    for (auto& connection : m_connections) {
        if (!connection->closed) Close(*connection, "closed: server stopping");
    }
    m_connections.clear();
    m_log.Line("server stopped");
    ::close(g_signalPipe[0]);
    ::close(g_signalPipe[1]);
    g_signalPipe[0] = g_signalPipe[1] = -1;
}

bool ServerLoop::HandleSignals() {
    unsigned char numbers[16];
    ssize_t count;
    bool keepRunning = true;
    while ((count = ::read(g_signalPipe[0], numbers, sizeof(numbers))) > 0) {
        for (ssize_t i = 0; i < count; ++i) {
            if (numbers[i] == SIGUSR1) {
                m_log.Line("SIGUSR1: dropping " + std::to_string(m_connections.size()) +
                           " connection(s)");
                for (auto& connection : m_connections) {
                    if (!connection->closed) Close(*connection, "dropped (SIGUSR1)");
                }
            } else {
                m_log.Line(std::string("stopping on ") + (numbers[i] == SIGINT ? "SIGINT" : "SIGTERM"));
                keepRunning = false;
            }
        }
    }
    return keepRunning;
}

void ServerLoop::Accept() {
    for (;;) {
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        const int fd = ::accept4(m_listen, reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN, or a connection that died in the backlog
        if (m_connections.size() >= m_options.maxConnections) {
            m_log.Line("refused a connection from " + AddressText(address) + ": " +
                       std::to_string(m_connections.size()) + " connections already served");
            ::close(fd);
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->fd = fd;
        connection->peer.id = m_nextId++;
        connection->peer.address = AddressText(address);
        m_log.Line("conn " + std::to_string(connection->peer.id) + " from " +
                   connection->peer.address);
        if (m_tls) {
            connection->tls = std::make_unique<TlsConnection>(*m_tls, fd);
            connection->handshaking = true;
            connection->handshakeDeadline = std::chrono::steady_clock::now() + kHandshakeTime;
        }
        m_connections.push_back(std::move(connection));
    }
}

int ServerLoop::PollTimeout() const {
    using namespace std::chrono;
    const steady_clock::time_point now = steady_clock::now();
    long long timeout = -1;
    for (const auto& connection : m_connections) {
        if (!connection->handshaking) continue;
        // A millisecond late rather than early, so that the wake-up finds it due.
        const long long left = std::max<long long>(
            0, duration_cast<milliseconds>(connection->handshakeDeadline - now).count() + 1);
        if (timeout < 0 || left < timeout) timeout = left;
    }
    return static_cast<int>(timeout);
}

void ServerLoop::Handshake(Connection& connection, bool ready) {
    if (std::chrono::steady_clock::now() >= connection.handshakeDeadline) {
        Close(connection, "tls handshake failed: not finished within " +
                              std::to_string(kHandshakeTime.count()) + " s");
        return;
    }
    if (!ready) return;
    const TlsResult result = connection.tls->Handshake();
    if (result.kind == TlsResult::kWantRead || result.kind == TlsResult::kWantWrite) {
        connection.handshakeWantsWrite = result.kind == TlsResult::kWantWrite;
        return;
    }
    if (result.kind != TlsResult::kDone) {
        Close(connection, "tls handshake failed: " + connection.tls->Error());
        return;
    }
    connection.handshaking = false;
    m_log.Line("conn " + std::to_string(connection.peer.id) + " tls established " +
               connection.tls->Version());
    // Frames may have come right behind the handshake.
    Read(connection);
    if (!connection.closed && !connection.out.empty()) Flush(connection);
}

void ServerLoop::Read(Connection& connection) {
    char chunk[kReadChunk];
    std::size_t total = 0;
    // Past this round's share, still take what TLS holds decrypted: poll cannot see it.
    while (total < kReadPerRound || (connection.tls && connection.tls->Pending())) {
        const std::size_t count = Receive(connection, chunk, sizeof(chunk));
        if (count == 0) return;
        total += count;
        connection.cutter.Append(chunk, count);
        Process(connection);
        if (connection.closed) return;
    }
}

std::size_t ServerLoop::Receive(Connection& connection, char* buffer, std::size_t size) {
    if (connection.tls) {
        const TlsResult result = connection.tls->Read(buffer, size);
        connection.readWantsWrite = result.kind == TlsResult::kWantWrite;
        if (result.kind == TlsResult::kClosed) Close(connection, "closed by the client");
        if (result.kind == TlsResult::kFailed) {
            Close(connection, "closed: " + connection.tls->Error());
        }
        return result.kind == TlsResult::kDone ? result.count : 0;
    }
    for (;;) {
        const ssize_t count = ::recv(connection.fd, buffer, size, 0);
        if (count > 0) return static_cast<std::size_t>(count);
        if (count == 0) {
            Close(connection, "closed by the client");
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            Close(connection, std::string("closed: ") + std::strerror(errno));
        }
        return 0;
    }
}

void ServerLoop::Process(Connection& connection) {
    std::vector<std::string> answers;
    for (;;) {
        StreamUnit unit = connection.cutter.Next();
        switch (unit.kind) {
            case StreamUnit::kNeedMore:
                return;
            case StreamUnit::kOverflow:
                Close(connection, "dropped: more than 64 KiB without a frame");
                return;
            case StreamUnit::kBadRequest:
                Close(connection, "dropped: bad HTTP request (" + unit.line + ")");
                return;
            case StreamUnit::kTunnel:
                m_log.Line("conn " + std::to_string(connection.peer.id) + " tunnel request \"" +
                           EventLog::Printable(unit.line) + "\" -> 200");
                if (!m_options.silent) connection.out += "HTTP/1.1 200 Connection established\r\n\r\n";
                break;
            case StreamUnit::kFrame:
                // The client never wraps its keep-alive and disconnect frames.
                if (m_options.httpOnly && !IsControlFrame(unit.text)) {
                    Close(connection, "dropped: plain frame (--http-only)");
                    return;
                }
                answers.clear();
                if (m_handler.Handle(connection.peer, unit.text, &answers) == FrameHandler::kDrop) {
                    Flush(connection);
                    if (!connection.closed) Close(connection, "closed (--drop-after)");
                    return;
                }
                for (const std::string& answer : answers) connection.out += answer;
                break;
            case StreamUnit::kHttpRequest: {
                if (!connection.http) {
                    connection.http = true;
                    m_log.Line("conn " + std::to_string(connection.peer.id) + " speaks HTTP (\"" +
                               EventLog::Printable(unit.line) + "\")");
                }
                answers.clear();
                for (const std::string& frame : StreamCutter::FramesOf(unit.text)) {
                    if (m_handler.Handle(connection.peer, frame, &answers) == FrameHandler::kDrop) {
                        Flush(connection);
                        if (!connection.closed) Close(connection, "closed (--drop-after)");
                        return;
                    }
                }
                if (m_options.silent) break;
                std::string body;
                for (const std::string& answer : answers) body += answer;
                connection.out += "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                                  std::to_string(body.size()) + "\r\n\r\n" + body;
                break;
            }
        }
        if (connection.out.size() > kMaxUnsent) {
            Close(connection, "dropped: the client does not read its answers");
            return;
        }
    }
}

void ServerLoop::Flush(Connection& connection) {
    std::size_t sent = 0;
    while (sent < connection.out.size()) {
        const std::size_t count =
            Send(connection, connection.out.data() + sent, connection.out.size() - sent);
        if (count == 0) break;
        sent += count;
    }
    connection.out.erase(0, sent);
}

std::size_t ServerLoop::Send(Connection& connection, const char* data, std::size_t size) {
    if (connection.tls) {
        const TlsResult result = connection.tls->Write(data, size);
        connection.writeWantsRead = result.kind == TlsResult::kWantRead;
        if (result.kind == TlsResult::kClosed) Close(connection, "closed by the client");
        if (result.kind == TlsResult::kFailed) {
            Close(connection, "closed: " + connection.tls->Error());
        }
        return result.kind == TlsResult::kDone ? result.count : 0;
    }
    for (;;) {
        const ssize_t count = ::send(connection.fd, data, size, MSG_NOSIGNAL);
        if (count > 0) return static_cast<std::size_t>(count);
        if (count < 0 && errno == EINTR) continue;
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            Close(connection, std::string("closed: ") + std::strerror(errno));
        }
        return 0;
    }
}

void ServerLoop::Close(Connection& connection, const std::string& why) {
    if (connection.closed) return;
    m_log.Line("conn " + std::to_string(connection.peer.id) + " " + why);
    if (connection.tls && !connection.handshaking) connection.tls->Shutdown();
    ::close(connection.fd);
    connection.closed = true;
    connection.fd = -1;
}

}  // namespace refserver
