#include "support/FaultProxy.h"

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
#include <deque>

namespace transport {
namespace test {

namespace {

using Clock = std::chrono::steady_clock;

const char kCloser[] = "</g44>";
constexpr std::size_t kCloserLength = sizeof(kCloser) - 1;
// Reading from one side pauses while this much waits to be written to the
// other, so a side that does not read cannot make the proxy grow.
constexpr std::size_t kMaxQueued = 1 << 20;
// A hung connection's receive buffer: small, so that a client writing to it
// soon finds its own send blocked.
constexpr int kHungReceiveBuffer = 4096;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "FaultProxy: %s failed: %s\n", what, std::strerror(errno));
    std::abort();
}

void SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) Fail("fcntl");
}

void SetNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A blocking connect to 127.0.0.1:port; -1 when refused.
int ConnectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

struct FaultProxy::Piece {
    Clock::time_point due;
    std::string bytes;
    std::size_t offset = 0;
    bool cutAfter = false;  // cut the connection once this piece is written
    bool counted = true;    // counts as passed on (injected bytes do not)
};

struct FaultProxy::Connection {
    int clientFd = -1;
    int serverFd = -1;
    bool open = true;
    bool hung = false;
    // Per direction: pieces waiting to be written, their byte count, the
    // last due time (so that slices keep their order), the tail of what was
    // read (a closer may straddle two reads), closers seen, and whether the
    // reading side has ended.
    std::deque<Piece> out[2];
    std::size_t queued[2] = {0, 0};
    Clock::time_point lastDue[2];
    std::string tail[2];
    int closers[2] = {0, 0};
    bool ended[2] = {false, false};

    int Source(Direction d) const { return d == kToServer ? clientFd : serverFd; }
    int Destination(Direction d) const { return d == kToServer ? serverFd : clientFd; }
};

FaultProxy::FaultProxy(std::uint16_t upstreamPort) {
    m_settings.upstream = upstreamPort;
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0) Fail("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
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

FaultProxy::~FaultProxy() {
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_stop = true;
    }
    Wake();
    m_thread.join();
    for (auto& conn : m_connections) {
        if (conn->open) CloseConnection(*conn, false);
    }
    ::close(m_listenFd);
    ::close(m_wakeFds[0]);
    ::close(m_wakeFds[1]);
}

// ---- Settings ----

void FaultProxy::SetUpstream(std::uint16_t port) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_settings.upstream = port;
}

void FaultProxy::SetDelay(Direction direction, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_settings.delay[direction] = delay;
}

void FaultProxy::SetSlicing(Direction direction, bool oneByte, std::chrono::microseconds pause) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_settings.slicing[direction] = oneByte;
    m_settings.slicePause[direction] = pause;
}

void FaultProxy::SetDuplicate(Direction direction, bool duplicate) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_settings.duplicate[direction] = duplicate;
}

void FaultProxy::DropAfterBytes(Direction direction, std::size_t bytes) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_settings.dropAfterBytes[direction] = static_cast<long>(bytes);
}

void FaultProxy::DropEveryFrames(Direction direction, int n) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_settings.dropEveryFrames[direction] = n > 0 ? n : 0;
}

void FaultProxy::SetHang(bool hang) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_settings.hang = hang;
}

void FaultProxy::DropAll() { RunOnThread(Command{Command::kDropAll, kToClient, {}, 0}); }

bool FaultProxy::Inject(Direction direction, const std::string& bytes) {
    return RunOnThread(Command{Command::kInject, direction, bytes, 0});
}

bool FaultProxy::RunOnThread(Command command) {
    std::unique_lock<std::mutex> lock(m_mutex);
    command.serial = m_nextSerial++;
    const std::uint64_t serial = command.serial;
    m_commands.push_back(std::move(command));
    lock.unlock();
    Wake();
    lock.lock();
    m_changed.wait(lock, [&] { return m_doneSerial >= serial || m_stop; });
    for (auto r = m_results.begin(); r != m_results.end(); ++r) {
        if (r->first != serial) continue;
        const bool ok = r->second;
        m_results.erase(r);  // read once: the list stays short however long the run
        return ok;
    }
    return false;
}

// ---- Observation ----

std::size_t FaultProxy::Accepted() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_accepted;
}

std::size_t FaultProxy::OpenConnections() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_open;
}

std::size_t FaultProxy::Cut() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_cut;
}

std::size_t FaultProxy::Hung() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_hung;
}

std::uint64_t FaultProxy::Forwarded(Direction direction) const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_forwarded[direction];
}

bool FaultProxy::WaitForAccepted(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_accepted >= n; });
}

bool FaultProxy::WaitForCut(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_cut >= n; });
}

bool FaultProxy::WaitForHung(std::size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_hung >= n; });
}

// ---- The proxy thread ----

void FaultProxy::Wake() {
    const char byte = 1;
    const ssize_t n = ::write(m_wakeFds[1], &byte, 1);
    (void)n;  // a full pipe wakes the thread all the same
}

void FaultProxy::Run() {
    std::vector<pollfd> fds;
    struct Polled {
        Connection* conn;
        Direction direction;  // for a source: the direction it feeds
        bool source;
    };
    std::vector<Polled> polled;
    for (;;) {
        {
            std::lock_guard<std::mutex> g(m_mutex);
            if (m_stop) break;
        }
        fds.clear();
        polled.clear();
        fds.push_back(pollfd{m_wakeFds[0], POLLIN, 0});
        fds.push_back(pollfd{m_listenFd, POLLIN, 0});
        const Clock::time_point now = Clock::now();
        for (auto& conn : m_connections) {
            if (!conn->open) continue;
            for (Direction d : {kToServer, kToClient}) {
                // A hung connection reads nothing; only injected bytes go out.
                if (!conn->hung && !conn->ended[d] && conn->queued[d] < kMaxQueued) {
                    fds.push_back(pollfd{conn->Source(d), POLLIN, 0});
                    polled.push_back(Polled{conn.get(), d, true});
                }
                if (!conn->out[d].empty() && conn->out[d].front().due <= now) {
                    fds.push_back(pollfd{conn->Destination(d), POLLOUT, 0});
                    polled.push_back(Polled{conn.get(), d, false});
                }
            }
        }
        int timeoutMs = -1;
        const Clock::time_point due = NextDue();
        if (due != Clock::time_point::max()) {
            const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(due - now);
            timeoutMs = wait.count() <= 0 ? 0 : static_cast<int>((wait.count() + 999) / 1000);
        }
        const int n = ::poll(fds.data(), fds.size(), timeoutMs);
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
            Connection& conn = *polled[i].conn;
            if (!conn.open || fds[i + 2].revents == 0) continue;
            if (polled[i].source) ReadSide(conn, polled[i].direction);
        }
        // Write whatever is due, on every connection (a slice may have come
        // due while nothing else happened).
        for (auto& conn : m_connections) {
            for (Direction d : {kToServer, kToClient}) {
                if (conn->open) Flush(*conn, d);
            }
        }
        m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                           [](const std::unique_ptr<Connection>& c) {
                                               return !c->open;
                                           }),
                            m_connections.end());
    }
    std::lock_guard<std::mutex> g(m_mutex);
    m_changed.notify_all();
}

Clock::time_point FaultProxy::NextDue() const {
    Clock::time_point next = Clock::time_point::max();
    for (const auto& conn : m_connections) {
        if (!conn->open) continue;
        for (const auto& out : conn->out) {
            if (!out.empty()) next = std::min(next, out.front().due);
        }
    }
    return next;
}

void FaultProxy::RunCommands() {
    std::vector<Command> commands;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        commands.swap(m_commands);
    }
    std::vector<std::pair<std::uint64_t, bool>> results;
    for (Command& cmd : commands) {
        bool ok = false;
        if (cmd.kind == Command::kDropAll) {
            for (auto& conn : m_connections) {
                if (conn->open) CloseConnection(*conn, true);
            }
            ok = true;
        } else {
            Connection* newest = nullptr;
            for (auto& conn : m_connections) {
                if (conn->open && conn->Destination(cmd.direction) >= 0) newest = conn.get();
            }
            if (newest != nullptr) {
                Piece piece;
                piece.due = Clock::now();
                piece.bytes = std::move(cmd.bytes);
                piece.counted = false;
                newest->queued[cmd.direction] += piece.bytes.size();
                newest->out[cmd.direction].push_back(std::move(piece));
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

void FaultProxy::Accept() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;  // all taken
        bool hang;
        std::uint16_t upstream;
        {
            std::lock_guard<std::mutex> g(m_mutex);
            ++m_accepted;
            hang = m_settings.hang;
            upstream = m_settings.upstream;
            m_hung += hang;
            m_changed.notify_all();
        }
        auto conn = std::make_unique<Connection>();
        conn->clientFd = fd;
        conn->lastDue[0] = conn->lastDue[1] = Clock::now();
        if (hang) {
            int size = kHungReceiveBuffer;
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            conn->hung = true;
        } else {
            conn->serverFd = ConnectLoopback(upstream);
            if (conn->serverFd < 0) {
                // The server is away: the client sees its connection close.
                ::close(fd);
                continue;
            }
            SetNonBlocking(conn->serverFd);
            SetNoDelay(conn->serverFd);
        }
        SetNonBlocking(fd);
        SetNoDelay(fd);
        {
            std::lock_guard<std::mutex> g(m_mutex);
            ++m_open;
        }
        m_connections.push_back(std::move(conn));
    }
}

void FaultProxy::ReadSide(Connection& conn, Direction direction) {
    char buf[65536];
    const ssize_t n = ::recv(conn.Source(direction), buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
    if (n <= 0) {
        // This side ended: what it sent before still goes over, then the
        // connection closes.
        conn.ended[direction] = true;
        if (conn.out[direction].empty()) CloseConnection(conn, false);
        return;
    }
    Forward(conn, direction, buf, static_cast<std::size_t>(n));
}

void FaultProxy::Forward(Connection& conn, Direction d, const char* data, std::size_t length) {
    Settings s;
    std::size_t take = length;
    bool cut = false;
    {
        std::lock_guard<std::mutex> g(m_mutex);
        s = m_settings;
        if (m_settings.dropAfterBytes[d] >= 0) {
            const std::size_t left = static_cast<std::size_t>(m_settings.dropAfterBytes[d]);
            if (left <= length) {
                take = left;
                cut = true;
                m_settings.dropAfterBytes[d] = -1;
            } else {
                m_settings.dropAfterBytes[d] = static_cast<long>(left - length);
            }
        }
    }
    if (s.dropEveryFrames[d] > 0) {
        // Closers are looked for in the tail of the previous read and this one.
        const std::string seen = conn.tail[d] + std::string(data, length);
        const std::size_t before = conn.tail[d].size();
        for (std::size_t at = seen.find(kCloser); at != std::string::npos;
             at = seen.find(kCloser, at + 1)) {
            const std::size_t end = at + kCloserLength;
            if (end <= before) continue;
            if (++conn.closers[d] >= s.dropEveryFrames[d]) {
                take = std::min(take, end - before);
                cut = true;
                break;
            }
        }
        conn.tail[d] = seen.substr(seen.size() > kCloserLength - 1 ? seen.size() - (kCloserLength - 1)
                                                                   : 0);
    }
    if (take == 0 && cut) {
        CloseConnection(conn, true);
        return;
    }

    const Clock::time_point now = Clock::now();
    Clock::time_point due = std::max(now + s.delay[d], conn.lastDue[d]);
    auto push = [&](const char* bytes, std::size_t count) {
        Piece piece;
        piece.due = due;
        piece.bytes.assign(bytes, count);
        conn.queued[d] += count;
        conn.out[d].push_back(std::move(piece));
    };
    const int copies = s.duplicate[d] ? 2 : 1;
    for (int copy = 0; copy < copies; ++copy) {
        if (s.slicing[d]) {
            for (std::size_t i = 0; i < take; ++i) {
                push(data + i, 1);
                due += s.slicePause[d];
            }
        } else {
            push(data, take);
        }
    }
    conn.lastDue[d] = due;
    if (cut) conn.out[d].back().cutAfter = true;
    Flush(conn, d);
}

void FaultProxy::Flush(Connection& conn, Direction d) {
    const int fd = conn.Destination(d);
    const Clock::time_point now = Clock::now();
    while (conn.open && !conn.out[d].empty() && conn.out[d].front().due <= now) {
        Piece& piece = conn.out[d].front();
        const std::size_t left = piece.bytes.size() - piece.offset;
        const ssize_t n = left == 0 ? 0
                                    : ::send(fd, piece.bytes.data() + piece.offset, left,
                                             MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            CloseConnection(conn, false);  // that side is gone
            return;
        }
        piece.offset += static_cast<std::size_t>(n);
        conn.queued[d] -= static_cast<std::size_t>(n);
        if (piece.counted) {
            std::lock_guard<std::mutex> g(m_mutex);
            m_forwarded[d] += static_cast<std::uint64_t>(n);
        }
        if (piece.offset < piece.bytes.size()) return;  // the rest when it can take it
        const bool cutNow = piece.cutAfter;
        conn.out[d].pop_front();
        if (cutNow) {
            CloseConnection(conn, true);
            return;
        }
    }
    if (conn.open && conn.out[d].empty() && conn.ended[d]) CloseConnection(conn, false);
}

void FaultProxy::CloseConnection(Connection& conn, bool cut) {
    if (!conn.open) return;
    {
        // Counted first: whoever sees the close finds it counted.
        std::lock_guard<std::mutex> g(m_mutex);
        --m_open;
        m_cut += cut;
        m_changed.notify_all();
    }
    if (conn.clientFd >= 0) ::close(conn.clientFd);
    if (conn.serverFd >= 0) ::close(conn.serverFd);
    conn.clientFd = conn.serverFd = -1;
    conn.open = false;
    for (auto& out : conn.out) out.clear();
}

}  // namespace test
}  // namespace transport
