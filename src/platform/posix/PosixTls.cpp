// TLS on a platform socket: the handshake, and the sends and receives of a
// secured socket, waiting on the descriptor as the session asks.

#include <poll.h>

#include "platform/posix/Deadline.h"
#include "platform/posix/KernelObjects.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/TlsSession.h"
#include "platform/posix/Waiter.h"

namespace transport {
namespace posix {
namespace {

short PollFor(TlsSession::Step step) {
    return step == TlsSession::Step::kWantWrite ? POLLOUT : POLLIN;
}

// Waits until fd is ready for events or deadline has passed; false on the
// time-out. A poke of the calling thread ends the wait early only when it
// asks the thread to suspend.
bool WaitReady(int fd, short events, Clock::time_point deadline, bool* suspended) {
    Waiter& waiter = CurrentWaiter();
    for (;;) {
        const int left = PollTimeout(deadline);
        if (left == 0) return false;
        waiter.BeginRound();
        if (suspended != nullptr && SuspensionRequested(waiter)) {
            *suspended = true;
            return false;
        }
        pollfd fds[2] = {{-1, 0, 0}, {fd, events, 0}};
        if (waiter.Poll(fds, 2, left) > 0 && fds[1].revents != 0) return true;
    }
}

}  // namespace

int PosixPlatform::StartTls(SocketHandle socket, const TlsSettings& settings, std::string* reason) {
    std::string ignored;
    if (reason == nullptr) reason = &ignored;
    std::shared_ptr<SocketState> state = sockets_.Resolve(socket);
    if (state == nullptr) return FailWith(kErrNotSocket);
    SocketUse use(state);
    if (!use.Acquire()) return FailWith(kErrNotSocket);

    int code = 0;
    std::shared_ptr<TlsSession> session = TlsSession::Create(state->fd, settings, &code, reason);
    if (session == nullptr) return FailWith(code);
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->tls = session;
        state->dataWaiting = false;  // what a poll saw before is the handshake's
    }
    const Clock::time_point deadline = DeadlineAfter(settings.timeoutMs);
    for (;;) {
        const TlsSession::Step step = session->Handshake(&code, reason);
        if (step == TlsSession::Step::kDone) break;
        if (step == TlsSession::Step::kFailed || step == TlsSession::Step::kClosed) {
            return FailWith(code);
        }
        bool suspended = false;
        if (!WaitReady(state->fd, PollFor(step), deadline, &suspended)) {
            *reason = suspended ? "interrupted" : "no handshake within the time allowed";
            return FailWith(suspended ? kErrInterrupted : kErrTlsTimeout);
        }
    }
    *reason = session->Description();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->tlsBuffered = session->Buffered();
    return 0;
}

int PosixPlatform::TlsSend(const std::shared_ptr<SocketState>& state, TlsSession& session,
                           const char* data, std::uint32_t length, std::uint32_t timeoutMs,
                           std::uint32_t* sent) {
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    std::uint32_t total = 0;
    int code = 0;
    while (total < length && code == 0) {
        std::size_t count = 0;
        const TlsSession::Step step = session.Write(data + total, length - total, &count, &code);
        total += static_cast<std::uint32_t>(count);
        if (step == TlsSession::Step::kDone) continue;
        if (step == TlsSession::Step::kFailed || step == TlsSession::Step::kClosed) break;
        code = 0;
        if (!WaitReady(state->fd, PollFor(step), deadline, nullptr)) code = kErrIoIncomplete;
    }
    if (sent != nullptr) *sent = total;
    return code == 0 ? 0 : FailWith(code);
}

int PosixPlatform::TlsReceive(const std::shared_ptr<SocketState>& state, TlsSession& session,
                              char* buffer, std::uint32_t capacity, std::uint32_t timeoutMs,
                              std::uint32_t* received) {
    const Clock::time_point deadline = DeadlineAfter(timeoutMs);
    const unsigned long rawBefore = session.RawBytesRead();
    int code = 0;
    for (;;) {
        std::size_t count = 0;
        const TlsSession::Step step = session.Read(buffer, capacity, &count, &code);
        if (step == TlsSession::Step::kDone || step == TlsSession::Step::kClosed) {
            const bool buffered = session.Buffered();
            std::lock_guard<std::mutex> lock(state->mutex);
            state->tlsBuffered = buffered;
            if (received != nullptr) *received = static_cast<std::uint32_t>(count);
            return 0;
        }
        if (step == TlsSession::Step::kFailed) return FailWith(code);
        // Records came that carried no data: nothing to hand over, and
        // waiting for more would hold up a reader that was told "readable".
        if (step == TlsSession::Step::kWantRead && session.RawBytesRead() != rawBefore) {
            pollfd entry{state->fd, POLLIN, 0};
            if (poll(&entry, 1, 0) <= 0) return FailWith(kErrWouldBlock);
            continue;
        }
        if (!WaitReady(state->fd, PollFor(step), deadline, nullptr)) return FailWith(kErrIoIncomplete);
    }
}

}  // namespace posix
}  // namespace transport
