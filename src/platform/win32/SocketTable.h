#ifndef TRANSPORT_PLATFORM_WIN32_SOCKET_TABLE_H
#define TRANSPORT_PLATFORM_WIN32_SOCKET_TABLE_H

// What the platform knows about one socket beyond the system: where its
// connect stands, the reports held back from an enumeration to keep their
// order, the event it is selected on, and the calls under way on it.

#include <transport/Platform.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/win32/Win32Api.h"

namespace transport {
namespace win32 {

struct SocketState {
    explicit SocketState(SOCKET systemSocket) : socket(systemSocket) {}

    enum class Phase {
        kIdle,        // no connect yet
        kConnecting,  // its result not reported yet
        kOpen,        // connected and reported
        kClosed,      // failed connect or close reported: nothing more to report
    };

    const SOCKET socket;
    std::mutex mutex;
    Phase phase = Phase::kIdle;
    Handle event = nullptr;  // the selected event, or null
    long mask = 0;
    // Reports the system gave (or that were found) but not handed on yet: a
    // connect result, data behind it, a close behind data.
    bool connectReport = false;
    int connectError = 0;
    bool readReport = false;
    bool closeReport = false;
    int closeError = 0;
    // The peer reset the connection (seen by a receive or a close report),
    // and whether this side shut its sending down.
    bool reset = false;
    bool sendShut = false;
    // Sends and receives under way; CloseSocket waits for them, so that the
    // socket is never closed (and its value handed out again) under a call.
    int busy = 0;
    bool closing = false;
    std::condition_variable idle;
};

// Of a socket whose peer has gone (a receive read its end, or a close was
// reported without an error): the error that ended the connection, or 0 for
// a graceful close. Some Winsock implementations (Wine) report a reset as a
// plain end; the socket still shows it as an error condition.
int ConnectionEndError(SOCKET socket);

// Keeps a socket in use for one call; Acquire fails once it is being closed.
class SocketUse {
public:
    explicit SocketUse(std::shared_ptr<SocketState> state) : state_(std::move(state)) {}
    ~SocketUse();
    SocketUse(const SocketUse&) = delete;
    SocketUse& operator=(const SocketUse&) = delete;
    bool Acquire();

private:
    std::shared_ptr<SocketState> state_;
    bool acquired_ = false;
};

// Socket states by handle. A handle is a number given once: a handle kept
// after its socket was closed never reaches a later socket, even one the
// system gave the same SOCKET value.
class SocketTable {
public:
    // A new state for a socket the platform created, and its handle.
    std::shared_ptr<SocketState> Add(SOCKET socket, SocketHandle* handle);
    // The state behind a handle; null for a closed or unknown handle.
    std::shared_ptr<SocketState> Resolve(SocketHandle handle);
    // Forgets the state behind a handle, which then resolves no more.
    std::shared_ptr<SocketState> Remove(SocketHandle handle);
    // Cancels the selection of every socket selected on event (it is being closed).
    void Unselect(Handle event);

private:
    std::mutex mutex_;
    std::unordered_map<SocketHandle, std::shared_ptr<SocketState>> states_;
    SocketHandle lastHandle_ = 0;
};

}  // namespace win32
}  // namespace transport

#endif
