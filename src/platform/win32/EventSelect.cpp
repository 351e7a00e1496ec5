// Event selection: the system's (WSAEventSelect), with three things the
// client relies on added. A connect that completed before the selection is
// still reported (the client connects, then selects). A connect result is
// reported alone, before what came with it. A close is reported once, after
// the data before it has been read, and nothing is reported after it or
// after a failed connect.

#include "platform/win32/KernelObjects.h"
#include "platform/win32/SocketTable.h"
#include "platform/win32/Win32Platform.h"

namespace transport {
namespace win32 {
namespace {

constexpr long kSelectable = kFdRead | kFdConnect | kFdClose;
static_assert(kFdRead == FD_READ && kFdConnect == FD_CONNECT && kFdClose == FD_CLOSE,
              "the seam's network event bits are the system's");

// With the state's mutex held: whether a connect under way has finished,
// looked at without waiting; records its outcome as the report to give.
void ProbeConnectLocked(SocketState& state) {
    fd_set writable{};
    writable.fd_count = 1;
    writable.fd_array[0] = state.socket;
    fd_set failed = writable;
    timeval now{0, 0};
    if (::select(0, nullptr, &writable, &failed, &now) <= 0) return;
    int error = 0;
    if (failed.fd_count != 0) {
        int length = sizeof(error);
        if (::getsockopt(state.socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error),
                         &length) != 0 ||
            error == 0) {
            error = WSAECONNREFUSED;
        }
    } else if (writable.fd_count == 0) {
        return;
    }
    state.connectReport = true;
    state.connectError = error;
}

// Bytes waiting to be received; 0 when none or unknown.
u_long PendingBytes(SOCKET socket) {
    u_long bytes = 0;
    return ::ioctlsocket(socket, FIONREAD, &bytes) == 0 ? bytes : 0;
}

// With the state's mutex held: the socket has nothing more to report. The
// system stops signalling its event, which is cleared of anything signalled
// since the enumeration.
void EndReportsLocked(SocketState& state) {
    state.phase = SocketState::Phase::kClosed;
    state.readReport = false;
    state.closeReport = false;
    if (state.event == nullptr) return;
    ::WSAEventSelect(state.socket, nullptr, 0);
    ::ResetEvent(state.event->handle);
}

}  // namespace

int Win32Platform::EventSelect(SocketHandle socket, Handle handle, long mask) {
    const HANDLE event = SystemHandle(handle, KernelObject::Kind::kEvent);
    if (mask != 0 && event == nullptr) return Fail(kErrInvalid);
    std::shared_ptr<SocketState> state = sockets_->Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);

    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->closing) return Fail(kErrNotSocket);
    const long selected = mask & kSelectable;
    // A socket with nothing more to report is not handed to the system again.
    if (state->phase != SocketState::Phase::kClosed) {
        const int result = selected != 0 ? ::WSAEventSelect(state->socket, event, selected)
                                         : ::WSAEventSelect(state->socket, nullptr, 0);
        if (result != 0) return Fail(::WSAGetLastError());
    }
    state->event = selected != 0 ? handle : nullptr;
    state->mask = selected;
    if (selected == 0) return 0;

    // The system reports no connect that finished before the selection.
    if (state->phase == SocketState::Phase::kConnecting && !state->connectReport) {
        ProbeConnectLocked(*state);
    }
    if (state->connectReport && (selected & kFdConnect) == 0) state->connectReport = false;
    // Reports held back are waiting: the next wait on the event finds them.
    if (state->connectReport || state->readReport || state->closeReport) ::SetEvent(event);
    return 0;
}

int Win32Platform::EnumNetworkEvents(SocketHandle socket, Handle handle, NetworkEvents* events) {
    if (events == nullptr) return Fail(kErrFault);
    *events = NetworkEvents{};
    std::shared_ptr<SocketState> state = sockets_->Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);
    const HANDLE event = SystemHandle(handle, KernelObject::Kind::kEvent);
    if (handle != nullptr && event == nullptr) return Fail(kErrInvalid);

    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->closing) return Fail(kErrNotSocket);
    // Clears the event before looking, so that nothing signalled afterwards is lost.
    WSANETWORKEVENTS seen{};
    if (::WSAEnumNetworkEvents(state->socket, event, &seen) != 0) {
        return Fail(::WSAGetLastError());
    }
    const SocketState::Phase phase = state->phase;
    if (phase == SocketState::Phase::kClosed) return 0;
    if ((seen.lNetworkEvents & FD_CONNECT) != 0 && phase == SocketState::Phase::kConnecting) {
        state->connectReport = true;  // the same result as a probe may have found: once
        state->connectError = seen.iErrorCode[FD_CONNECT_BIT];
    }
    if ((seen.lNetworkEvents & FD_READ) != 0) state->readReport = true;
    if ((seen.lNetworkEvents & FD_CLOSE) != 0) {
        state->closeReport = true;
        state->closeError = seen.iErrorCode[FD_CLOSE_BIT];
        if (state->closeError == 0) state->closeError = ConnectionEndError(state->socket);
        if (state->closeError == WSAECONNRESET) state->reset = true;
    }
    const long mask = state->mask;

    if (state->connectReport) {
        // Reported alone: data or a close that came with it follow next time.
        state->connectReport = false;
        if ((mask & kFdConnect) != 0) {
            events->lNetworkEvents = kFdConnect;
            events->iErrorConnect = state->connectError;
        }
        if (state->connectError != 0) {
            // A failed connect reports nothing after it.
            EndReportsLocked(*state);
            return 0;
        }
        state->phase = SocketState::Phase::kOpen;
        if ((state->readReport || state->closeReport) && state->event != nullptr) {
            ::SetEvent(state->event->handle);
        }
        return 0;
    }

    // Data is reported while some waits: a report a receive has since made
    // stale is dropped.
    const bool readSelected = (mask & kFdRead) != 0;
    const u_long pending = readSelected && (state->readReport || state->closeReport)
                               ? PendingBytes(state->socket)
                               : 0;
    state->readReport = false;
    if (readSelected && pending > 0) events->lNetworkEvents |= kFdRead;
    if (state->closeReport) {
        // A graceful close waits behind the data before it; a reset loses that
        // data anyway, and a selection for the close alone does not read it.
        if (pending > 0 && state->closeError == 0) {
            // The system may not signal again for data it signalled before.
            if (state->event != nullptr) ::SetEvent(state->event->handle);
            return 0;
        }
        if ((mask & kFdClose) != 0) {
            events->lNetworkEvents |= kFdClose;
            events->iErrorClose = state->closeError;
        }
        EndReportsLocked(*state);
    }
    return 0;
}

}  // namespace win32
}  // namespace transport
