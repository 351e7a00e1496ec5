// Event selection: an event stands for a socket's network events. Waits on
// the event poll the socket (see Wait.cpp); enumeration classifies what
// happened without blocking and clears the event.

#include <algorithm>

#include "platform/posix/KernelObjects.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/SocketState.h"

namespace transport {
namespace posix {

int PosixPlatform::EventSelect(SocketHandle socket, Handle handle, long mask) {
    EventObject* event = AsEvent(handle);
    if (mask != 0 && event == nullptr) return Fail(kErrInvalid);
    std::shared_ptr<SocketState> state = sockets_.Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);

    EventObject* selected = mask != 0 ? event : nullptr;
    EventObject* previous = nullptr;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        previous = state->event;
        state->event = selected;
        state->mask = selected != nullptr ? mask : 0;
    }
    if (previous != nullptr && previous != selected) {
        std::lock_guard<std::mutex> lock(previous->mutex);
        auto& sockets = previous->sockets;
        sockets.erase(std::remove(sockets.begin(), sockets.end(), state), sockets.end());
        previous->PokeWaitersLocked();
    }
    if (selected != nullptr) {
        std::lock_guard<std::mutex> lock(selected->mutex);
        auto& sockets = selected->sockets;
        if (std::find(sockets.begin(), sockets.end(), state) == sockets.end()) {
            sockets.push_back(state);
        }
        // A thread already waiting on the event starts polling the socket.
        selected->PokeWaitersLocked();
    }
    return 0;
}

int PosixPlatform::EnumNetworkEvents(SocketHandle socket, Handle handle, NetworkEvents* events) {
    if (events == nullptr) return Fail(kErrFault);
    *events = NetworkEvents{};
    std::shared_ptr<SocketState> state = sockets_.Resolve(socket);
    if (state == nullptr) return Fail(kErrNotSocket);
    if (handle != nullptr) {
        EventObject* event = AsEvent(handle);
        if (event == nullptr) return Fail(kErrInvalid);
        // Cleared before looking, so that nothing seen afterwards is lost.
        event->Reset();
    }

    std::lock_guard<std::mutex> lock(state->mutex);
    // Not selected yet (the client connects, then selects): nothing is
    // reported and nothing taken, or the connect's report would be lost.
    if (state->mask == 0) return 0;
    const long now = state->ProbeLocked();
    const long mask = state->mask;
    if (state->connectReport) {
        // Reported alone: data or a close that came with it follow next time.
        state->connectReport = false;
        if ((mask & kFdConnect) != 0) {
            events->lNetworkEvents |= kFdConnect;
            events->iErrorConnect = state->connectError;
        }
        return 0;
    }
    if ((now & kFdRead) != 0 && (mask & kFdRead) != 0) events->lNetworkEvents |= kFdRead;
    // Reported: the next enumeration looks afresh (the reader is about to read).
    state->dataWaiting = false;
    if (state->closeReport) {
        state->closeReport = false;  // once
        if ((mask & kFdClose) != 0) {
            events->lNetworkEvents |= kFdClose;
            events->iErrorClose = state->closeError;
        }
    }
    return 0;
}

}  // namespace posix
}  // namespace transport
