// TCP sockets: start-up, creation, options, name lookup, connect, bounded
// sends and receives, shutdown and close. Every socket is non-blocking;
// waits are WSAPoll calls bounded by the caller's time-out. The system's
// socket errors are already the seam's numbering.

#include <algorithm>
#include <cstring>

#include "platform/AddressChoice.h"
#include "platform/win32/KernelObjects.h"
#include "platform/win32/SocketTable.h"
#include "platform/win32/Win32Platform.h"

namespace transport {
namespace win32 {
namespace {

// Kept apart from the system's last error, which any other call may change
// between a failing call and the caller's question.
thread_local int lastSocketError = 0;

// A send hands over at most this much per call, so that a time-out is met
// with part of a large buffer sent rather than all of it queued at once.
constexpr int kSendChunk = 64 * 1024;
// A waiting send or receive looks this often whether its socket is being
// closed: a poll cannot be woken from another thread.
constexpr std::uint32_t kCloseCheckMs = 50;

// Milliseconds left until deadline; 0 once it has passed.
std::uint32_t RemainingMs(ULONGLONG deadline) {
    const ULONGLONG now = ::GetTickCount64();
    return now >= deadline ? 0 : static_cast<std::uint32_t>(std::min<ULONGLONG>(deadline - now, 0x7FFFFFFF));
}

enum class Ready { kReady, kTimeOut, kClosing };

// Waits until socket is ready for events (POLLRDNORM or POLLWRNORM), the
// deadline has passed, or the socket is being closed.
Ready PollUntil(SocketState& state, SHORT events, bool infinite, ULONGLONG deadline) {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            if (state.closing) return Ready::kClosing;
        }
        const std::uint32_t left = infinite ? kCloseCheckMs : RemainingMs(deadline);
        WSAPOLLFD entry{};
        entry.fd = state.socket;
        entry.events = events;
        const int ready = ::WSAPoll(&entry, 1, static_cast<INT>(std::min(left, kCloseCheckMs)));
        // An error or a hang-up is ready too: the socket call reports it.
        if (ready != 0) return Ready::kReady;
        if (!infinite && left <= kCloseCheckMs) return Ready::kTimeOut;
    }
}

}  // namespace

int Win32Platform::Fail(int code) {
    lastSocketError = code;
    return kSocketError;
}

int Win32Platform::FailWith(int code) {
    lastSocketError = code;
    return code;
}

int Win32Platform::SocketStartup() {
    // Each start-up is the system's own, so that the count it keeps matches
    // the cleanups; the platform holds one more of its own (constructor).
    WSADATA data{};
    const int result = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (result != 0) return result;
    std::lock_guard<std::mutex> lock(startupMutex_);
    ++startups_;
    return 0;
}

void Win32Platform::SocketCleanup() {
    {
        std::lock_guard<std::mutex> lock(startupMutex_);
        if (startups_ == 0) return;  // never below the platform's own start-up
        --startups_;
    }
    ::WSACleanup();
}

int Win32Platform::GetLastSocketError() { return lastSocketError; }

void Win32Platform::SetLastSocketError(int error) { lastSocketError = error; }

SocketHandle Win32Platform::CreateSocket() { return NewSocket(AF_INET); }

SocketHandle Win32Platform::CreateSocket6() { return NewSocket(AF_INET6); }

SocketHandle Win32Platform::NewSocket(int family) {
    // Not inherited by child processes; a system without that flag gets a
    // plain socket.
    SOCKET socket = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                 WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL) {
        socket = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    }
    if (socket == INVALID_SOCKET) {
        Fail(::WSAGetLastError());
        return kInvalidSocket;
    }
    u_long nonBlocking = 1;
    if (::ioctlsocket(socket, FIONBIO, &nonBlocking) != 0) {
        Fail(::WSAGetLastError());
        ::closesocket(socket);
        return kInvalidSocket;
    }
    SocketHandle handle = kInvalidSocket;
    sockets_->Add(socket, &handle);
    return handle;
}

int Win32Platform::SetSocketOption(SocketHandle socket, int option, int value) {
    int name = 0;
    switch (option) {
        case kSoReuseAddr:
            name = SO_REUSEADDR;
            break;
        case kSoKeepAlive:
            name = SO_KEEPALIVE;
            break;
        default:
            return Fail(WSAENOPROTOOPT);
    }
    std::shared_ptr<SocketState> state = sockets_->Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);
    SocketUse use(state);
    if (!use.Acquire()) return Fail(kErrNotSocket);
    const BOOL flag = value != 0 ? TRUE : FALSE;
    if (::setsockopt(state->socket, SOL_SOCKET, name, reinterpret_cast<const char*>(&flag),
                     sizeof(flag)) != 0) {
        return Fail(::WSAGetLastError());
    }
    return 0;
}

std::uint32_t Win32Platform::InetAddr(const char* text) {
    IN_ADDR address{};
    // Only the four-part dotted decimal form; "1.2.3" or "0x7f.1" are not addresses.
    if (text == nullptr || ::inet_pton(AF_INET, text, &address) != 1) return kInaddrNone;
    return address.S_un.S_addr;
}

bool Win32Platform::GetHostByName(const char* name, HostEntry* entry) {
    if (name == nullptr || entry == nullptr) {
        Fail(kErrFault);
        return false;
    }
    // The system resolves an empty name to the host's own addresses; the
    // client means no host.
    if (*name == '\0') {
        Fail(kErrHostNotFound);
        return false;
    }
    ADDRINFOA hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    ADDRINFOA* result = nullptr;
    const int status = ::getaddrinfo(name, nullptr, &hints, &result);
    if (status != 0) {
        Fail(status);  // WSAHOST_NOT_FOUND, WSATRY_AGAIN, ...
        return false;
    }
    const bool found = ChooseAddress<ADDRINFOA, sockaddr_in, sockaddr_in6>(result, name, AF_INET, AF_INET6, entry);
    ::freeaddrinfo(result);
    if (!found) Fail(kErrNoData);
    return found;
}

int Win32Platform::Connect(SocketHandle socket, const SockAddrIn& address) {
    std::shared_ptr<SocketState> state = sockets_->Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);
    SocketUse use(state);
    if (!use.Acquire()) return Fail(kErrNotSocket);
    if (address.sin_family != kAfInet) return Fail(kErrAfNoSupport);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = address.sin_port;
    target.sin_addr.S_un.S_addr = address.sin_addr;
    return StartConnect(state, &target, sizeof(target));
}

int Win32Platform::Connect6(SocketHandle socket, const std::uint8_t* address, std::uint16_t port) {
    std::shared_ptr<SocketState> state = sockets_->Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);
    if (address == nullptr) return Fail(kErrFault);
    SocketUse use(state);
    if (!use.Acquire()) return Fail(kErrNotSocket);
    sockaddr_in6 target{};
    target.sin6_family = AF_INET6;
    target.sin6_port = port;
    std::memcpy(&target.sin6_addr, address, 16);
    return StartConnect(state, &target, sizeof(target));
}

int Win32Platform::StartConnect(const std::shared_ptr<SocketState>& state, const void* target,
                                int length) {
    SocketState::Phase before = SocketState::Phase::kIdle;
    {
        // Before the call: a result the system reports at once finds it.
        std::lock_guard<std::mutex> lock(state->mutex);
        before = state->phase;
        state->phase = SocketState::Phase::kConnecting;
        state->connectReport = false;
        state->readReport = false;
        state->closeReport = false;
    }
    const int result = ::connect(state->socket, static_cast<const sockaddr*>(target), length);
    const int error = result == 0 ? 0 : ::WSAGetLastError();
    if (result != 0 && error != WSAEWOULDBLOCK) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->phase = before;
        return Fail(error);
    }
    // Even a connect that completed at once is reported as FD_CONNECT, which
    // is what the owner of the socket waits for (EventSelect.cpp).
    return result == 0 ? 0 : Fail(kErrWouldBlock);
}

int Win32Platform::Send(SocketHandle socket, const char* data, std::uint32_t length,
                        std::uint32_t timeoutMs, std::uint32_t* sent) {
    if (sent != nullptr) *sent = 0;
    std::shared_ptr<SocketState> state = sockets_->Resolve(socket);
    if (state == nullptr) return FailWith(kErrNotSocket);
    SocketUse use(state);
    if (!use.Acquire()) return FailWith(kErrNotSocket);
    if (data == nullptr && length > 0) return FailWith(kErrFault);

    const bool infinite = timeoutMs == kInfinite;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    std::uint32_t total = 0;
    int code = 0;
    while (total < length) {
        const int chunk = static_cast<int>(std::min<std::uint32_t>(length - total, kSendChunk));
        const int n = ::send(state->socket, data + total, chunk, 0);
        if (n != SOCKET_ERROR) {
            total += static_cast<std::uint32_t>(n);
            continue;
        }
        const int error = ::WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            std::lock_guard<std::mutex> lock(state->mutex);
            // A send after the peer's reset may be refused as a shutdown or an
            // abort; the cause is the reset.
            const bool afterReset =
                state->reset && !state->sendShut && (error == WSAESHUTDOWN || error == WSAECONNABORTED);
            code = afterReset ? kErrConnReset : error;
            break;
        }
        const Ready ready = PollUntil(*state, POLLWRNORM, infinite, deadline);
        if (ready == Ready::kTimeOut) {
            code = kErrIoIncomplete;  // not all handed over in time
            break;
        }
        if (ready == Ready::kClosing) {
            code = kErrNotSocket;
            break;
        }
    }
    if (sent != nullptr) *sent = total;
    return code == 0 ? 0 : FailWith(code);
}

int Win32Platform::Receive(SocketHandle socket, char* buffer, std::uint32_t capacity,
                           std::uint32_t timeoutMs, std::uint32_t* received) {
    if (received != nullptr) *received = 0;
    std::shared_ptr<SocketState> state = sockets_->Resolve(socket);
    if (state == nullptr) return FailWith(kErrNotSocket);
    SocketUse use(state);
    if (!use.Acquire()) return FailWith(kErrNotSocket);
    // A zero-byte read would look like the peer's close.
    if (buffer == nullptr || capacity == 0) return FailWith(kErrInvalid);

    const int size = static_cast<int>(std::min<std::uint32_t>(capacity, 0x7FFFFFFF));
    const bool infinite = timeoutMs == kInfinite;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        const int n = ::recv(state->socket, buffer, size, 0);
        int error = 0;
        if (n > 0) {
            if (received != nullptr) *received = static_cast<std::uint32_t>(n);
            return 0;
        }
        if (n == 0) {
            // The end of the stream: the peer's close, or a reset read as one.
            error = ConnectionEndError(state->socket);
            if (error == 0) return 0;
        } else {
            error = ::WSAGetLastError();
        }
        if (error != WSAEWOULDBLOCK) {
            if (error == WSAECONNRESET) {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->reset = true;
            }
            return FailWith(error);
        }
        const Ready ready = PollUntil(*state, POLLRDNORM, infinite, deadline);
        if (ready == Ready::kTimeOut) return FailWith(kErrIoIncomplete);
        if (ready == Ready::kClosing) return 0;  // ended by the close, as a close ends it
    }
}

void Win32Platform::ShutdownSend(SocketHandle socket) {
    std::shared_ptr<SocketState> state = sockets_->Resolve(socket);
    if (state == nullptr) {
        Fail(kErrNotSocket);
        return;
    }
    SocketUse use(state);
    if (!use.Acquire()) {
        Fail(kErrNotSocket);
        return;
    }
    if (::shutdown(state->socket, SD_SEND) != 0) {
        Fail(::WSAGetLastError());
        return;
    }
    std::lock_guard<std::mutex> lock(state->mutex);
    state->sendShut = true;
}

void Win32Platform::CloseSocket(SocketHandle socket) {
    // From here on the handle resolves no more: no new call starts on it.
    std::shared_ptr<SocketState> state = sockets_->Remove(socket);
    if (state == nullptr) {
        Fail(kErrNotSocket);
        return;
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    state->closing = true;
    state->event = nullptr;
    state->mask = 0;
    state->phase = SocketState::Phase::kClosed;
    // A send or receive under way on another thread ends now (it also looks
    // at closing between its polls), and the socket is closed only after it
    // has, so that its SOCKET value is not handed out again under it.
    if (state->busy > 0) ::shutdown(state->socket, SD_BOTH);
    state->idle.wait(lock, [&] { return state->busy == 0; });
    if (::closesocket(state->socket) != 0) Fail(::WSAGetLastError());
}

}  // namespace win32
}  // namespace transport
