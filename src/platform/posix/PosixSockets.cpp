// TCP sockets: creation, options, name lookup, connect, bounded sends and
// receives, shutdown and close. Every socket is non-blocking; waits are
// poll() calls bounded by the caller's time-out.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/Deadline.h"
#include "platform/AddressChoice.h"
#include "platform/posix/ErrorMap.h"
#include "platform/posix/KernelObjects.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/TlsSession.h"

namespace transport {
namespace posix {
namespace {

thread_local int tlsLastError = 0;

// Waits for events on fd until deadline. False when the time ran out first.
bool PollUntil(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, PollTimeout(deadline));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return true;  // let the socket call report the error
    }
}

}  // namespace

int PosixPlatform::Fail(int code) {
    tlsLastError = code;
    return kSocketError;
}

int PosixPlatform::FailWith(int code) {
    tlsLastError = code;
    return code;
}

int PosixPlatform::SocketStartup() {
    ++startups_;
    return 0;
}

void PosixPlatform::SocketCleanup() {
    int count = startups_.load();
    while (count > 0 && !startups_.compare_exchange_weak(count, count - 1)) {
    }
}

int PosixPlatform::GetLastSocketError() { return tlsLastError; }

void PosixPlatform::SetLastSocketError(int error) { tlsLastError = error; }

SocketHandle PosixPlatform::CreateSocket() { return NewSocket(AF_INET); }

SocketHandle PosixPlatform::CreateSocket6() { return NewSocket(AF_INET6); }

SocketHandle PosixPlatform::NewSocket(int family) {
    const int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        Fail(SocketErrorFromErrno(errno));
        return kInvalidSocket;
    }
    SocketHandle handle = kInvalidSocket;
    sockets_.Add(fd, &handle);
    return handle;
}

int PosixPlatform::SetSocketOption(SocketHandle socket, int option, int value) {
    int name = 0;
    switch (option) {
        case kSoReuseAddr:
            name = SO_REUSEADDR;
            break;
        case kSoKeepAlive:
            name = SO_KEEPALIVE;
            break;
        default:
            return Fail(SocketErrorFromErrno(ENOPROTOOPT));
    }
    std::shared_ptr<SocketState> state = sockets_.Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);
    SocketUse use(state);
    if (!use.Acquire()) return Fail(kErrNotSocket);
    if (setsockopt(state->fd, SOL_SOCKET, name, &value, sizeof(value)) != 0) {
        return Fail(SocketErrorFromErrno(errno));
    }
    return 0;
}

std::uint32_t PosixPlatform::InetAddr(const char* text) {
    in_addr address{};
    // Only the four-part dotted decimal form; "1.2.3" or "0x7f.1" are not addresses.
    if (text == nullptr || inet_pton(AF_INET, text, &address) != 1) return kInaddrNone;
    return address.s_addr;
}

bool PosixPlatform::GetHostByName(const char* name, HostEntry* entry) {
    if (name == nullptr || entry == nullptr) {
        Fail(kErrFault);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* result = nullptr;
    const int status = getaddrinfo(name, nullptr, &hints, &result);
    const int savedErrno = errno;
    if (status != 0) {
        Fail(SocketErrorFromAddrInfo(status, savedErrno));
        return false;
    }
    const bool found = ChooseAddress<addrinfo, sockaddr_in, sockaddr_in6>(result, name, AF_INET, AF_INET6, entry);
    freeaddrinfo(result);
    if (!found) Fail(kErrNoData);
    return found;
}

int PosixPlatform::Connect(SocketHandle socket, const SockAddrIn& address) {
    std::shared_ptr<SocketState> state = sockets_.Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);
    SocketUse use(state);
    if (!use.Acquire()) return Fail(kErrNotSocket);
    if (address.sin_family != kAfInet) return Fail(kErrAfNoSupport);

    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = address.sin_port;
    target.sin_addr.s_addr = address.sin_addr;
    return StartConnect(state, reinterpret_cast<const sockaddr*>(&target), sizeof(target));
}

int PosixPlatform::Connect6(SocketHandle socket, const std::uint8_t* address, std::uint16_t port) {
    std::shared_ptr<SocketState> state = sockets_.Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);
    if (address == nullptr) return Fail(kErrFault);
    SocketUse use(state);
    if (!use.Acquire()) return Fail(kErrNotSocket);
    sockaddr_in6 target{};
    target.sin6_family = AF_INET6;
    target.sin6_port = port;
    std::memcpy(&target.sin6_addr, address, 16);
    return StartConnect(state, reinterpret_cast<const sockaddr*>(&target), sizeof(target));
}

int PosixPlatform::StartConnect(const std::shared_ptr<SocketState>& state, const sockaddr* target,
                                socklen_t length) {
    const int result = connect(state->fd, target, length);
    const int error = result == 0 ? 0 : errno;
    // An interrupted non-blocking connect goes on in the background.
    if (result != 0 && error != EINPROGRESS && error != EINTR) {
        return Fail(SocketErrorFromErrno(error));
    }

    // Even a connect that completed at once is reported as FD_CONNECT, which
    // is what the owner of the socket waits for.
    EventObject* event = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->phase = SocketState::Phase::kConnecting;
        state->connectReport = false;
        state->closeReport = false;
        event = state->event;
    }
    if (event != nullptr) {
        std::lock_guard<std::mutex> lock(event->mutex);
        event->PokeWaitersLocked();  // start polling the connect
    }
    return result == 0 ? 0 : Fail(kErrWouldBlock);
}

int PosixPlatform::Send(SocketHandle socket, const char* data, std::uint32_t length,
                        std::uint32_t timeoutMs, std::uint32_t* sent) {
    if (sent != nullptr) *sent = 0;
    std::shared_ptr<SocketState> state = sockets_.Resolve(socket);
    if (state == nullptr) return FailWith(kErrNotSocket);
    SocketUse use(state);
    if (!use.Acquire()) return FailWith(kErrNotSocket);
    if (data == nullptr && length > 0) return FailWith(kErrFault);
    if (std::shared_ptr<TlsSession> tls = use.Tls()) {
        return TlsSend(state, *tls, data, length, timeoutMs, sent);
    }

    const int fd = state->fd;
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    std::uint32_t total = 0;
    int code = 0;
    while (total < length) {
        // MSG_NOSIGNAL: a peer that went away is an error code, not SIGPIPE.
        const ssize_t n = send(fd, data + total, length - total, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            total += static_cast<std::uint32_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            code = SocketErrorFromErrno(errno);
            break;
        }
        if (!PollUntil(fd, POLLOUT, deadline)) {
            code = kErrIoIncomplete;  // not all handed over in time
            break;
        }
    }
    if (sent != nullptr) *sent = total;
    return code == 0 ? 0 : FailWith(code);
}

int PosixPlatform::Receive(SocketHandle socket, char* buffer, std::uint32_t capacity,
                           std::uint32_t timeoutMs, std::uint32_t* received) {
    if (received != nullptr) *received = 0;
    std::shared_ptr<SocketState> state = sockets_.Resolve(socket);
    if (state == nullptr) return FailWith(kErrNotSocket);
    SocketUse use(state);
    if (!use.Acquire()) return FailWith(kErrNotSocket);
    use.MarkReceive();
    // A zero-byte read would look like the peer's close.
    if (buffer == nullptr || capacity == 0) return FailWith(kErrInvalid);
    if (std::shared_ptr<TlsSession> tls = use.Tls()) {
        return TlsReceive(state, *tls, buffer, capacity, timeoutMs, received);
    }

    const int fd = state->fd;
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    for (;;) {
        const ssize_t n = recv(fd, buffer, capacity, MSG_DONTWAIT);
        if (n >= 0) {
            if (received != nullptr) *received = static_cast<std::uint32_t>(n);
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return FailWith(SocketErrorFromErrno(errno));
        if (!PollUntil(fd, POLLIN, deadline)) return FailWith(kErrIoIncomplete);
    }
}

void PosixPlatform::ShutdownSend(SocketHandle socket) {
    std::shared_ptr<SocketState> state = sockets_.Resolve(socket);
    if (state == nullptr) {
        Fail(kErrNotSocket);
        return;
    }
    SocketUse use(state);
    if (!use.Acquire()) {
        Fail(kErrNotSocket);
        return;
    }
    if (shutdown(state->fd, SHUT_WR) != 0) Fail(SocketErrorFromErrno(errno));
}

void PosixPlatform::CloseSocket(SocketHandle socket) {
    // From here on the handle resolves no more: no new call starts on it.
    std::shared_ptr<SocketState> state = sockets_.Remove(socket);
    if (state == nullptr) {
        Fail(kErrNotSocket);
        return;
    }
    EventObject* event = nullptr;
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->closing = true;
        event = state->event;
        state->event = nullptr;
        state->mask = 0;
        state->phase = SocketState::Phase::kClosed;
        // The closing alert, when nothing else is using the session.
        if (state->tls != nullptr && state->busy == 0) state->tls->Shutdown();
        // A send or receive under way on another thread ends now, and the
        // descriptor is closed only after it has.
        if (state->busy > 0) shutdown(state->fd, SHUT_RDWR);
        state->idle.wait(lock, [&] { return state->busy == 0; });
        if (close(state->fd) != 0) Fail(SocketErrorFromErrno(errno));
    }
    // Cancel the selection and wake its waiters, so that they stop polling
    // the descriptor.
    if (event != nullptr) {
        std::lock_guard<std::mutex> lock(event->mutex);
        auto& sockets = event->sockets;
        sockets.erase(std::remove(sockets.begin(), sockets.end(), state), sockets.end());
        event->PokeWaitersLocked();
    }
}

}  // namespace posix
}  // namespace transport
