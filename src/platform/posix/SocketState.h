#ifndef TRANSPORT_PLATFORM_POSIX_SOCKET_STATE_H
#define TRANSPORT_PLATFORM_POSIX_SOCKET_STATE_H

// What the platform knows about one socket: where its connect stands, which
// network events are waiting to be reported, the event it is selected on,
// and the calls under way on it.

#include <transport/Platform.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace transport {
namespace posix {

struct EventObject;
class TlsSession;

struct SocketState {
    SocketState(int descriptor, std::uint32_t handleGeneration)
        : fd(descriptor), generation(handleGeneration) {}

    enum class Phase {
        kIdle,        // no connect yet: nothing to poll
        kConnecting,  // poll for writability, then read SO_ERROR
        kOpen,        // poll for data and for the peer's close
        kClosed,      // failed connect or close seen: never polled again
    };

    // With mutex held: looks at the descriptor without blocking, records a
    // finished connect or a close as a pending report, and returns the
    // network events (kFd...) that could be reported now, before the mask.
    long ProbeLocked();
    // With mutex held: reports waiting to be taken (before the mask).
    long PendingLocked() const;
    // With mutex held: what a Wait on the associated event polls the
    // descriptor for; 0 when the socket must not be polled.
    short PollEventsLocked() const;

    const int fd;
    const std::uint32_t generation;  // 0: a descriptor the platform did not create
    std::uint64_t inode = 0;         // of an adopted descriptor: is it still the same socket?
    std::mutex mutex;
    Phase phase = Phase::kIdle;
    bool connectReport = false;
    int connectError = 0;
    bool closeReport = false;
    int closeError = 0;
    EventObject* event = nullptr;  // the selected event, or null
    long mask = 0;
    // Data is known to be waiting (a poll or a peek saw it, and no receive
    // has run since): the next probe need not look again.
    bool dataWaiting = false;
    std::uint64_t receives = 0;  // receives finished, to tell a poll's view stale
    // Sends and receives under way; CloseSocket waits for them, so the
    // descriptor is never closed (and handed out again) under a call.
    int busy = 0;
    bool closing = false;
    std::condition_variable idle;
    // Once StartTls has begun: sends and receives go through the session.
    // tlsBuffered: it holds data the descriptor no longer shows.
    std::shared_ptr<TlsSession> tls;
    bool tlsBuffered = false;
};

// Keeps a socket in use for one send or receive; Acquire fails once the
// socket is being closed.
class SocketUse {
public:
    explicit SocketUse(std::shared_ptr<SocketState> state) : state_(std::move(state)) {}
    ~SocketUse();
    SocketUse(const SocketUse&) = delete;
    SocketUse& operator=(const SocketUse&) = delete;
    bool Acquire();
    // The use is a receive: when it ends, what was known about waiting data
    // is forgotten.
    void MarkReceive() { receive_ = true; }
    // The socket's TLS session, or null.
    std::shared_ptr<TlsSession> Tls();

private:
    std::shared_ptr<SocketState> state_;
    bool acquired_ = false;
    bool receive_ = false;
};

// Socket states by descriptor. The handles given out carry a generation
// besides the descriptor, so a handle kept after its socket was closed
// never reaches a later socket that got the same descriptor.
class SocketTable {
public:
    // A new state for a socket the platform created, and its handle.
    std::shared_ptr<SocketState> Add(int fd, SocketHandle* handle);
    // The state behind a handle; a descriptor the platform did not create (a
    // test's or an application's socket) is adopted: open when connected,
    // idle otherwise. Null for a closed handle or something not a socket.
    std::shared_ptr<SocketState> Resolve(SocketHandle handle);
    // Forgets the state behind a handle, which then resolves no more.
    std::shared_ptr<SocketState> Remove(SocketHandle handle);

private:
    std::shared_ptr<SocketState> FindLocked(SocketHandle handle) const;

    std::mutex mutex_;
    std::unordered_map<int, std::shared_ptr<SocketState>> states_;
    std::uint32_t lastGeneration_ = 0;
};

}  // namespace posix
}  // namespace transport

#endif
