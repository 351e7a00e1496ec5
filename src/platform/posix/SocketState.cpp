// Classification of a socket's network events, and the table of sockets.

#include "platform/posix/SocketState.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <transport/Platform.h>

#include <cerrno>

#include "platform/posix/ErrorMap.h"

namespace transport {
namespace posix {
namespace {

// The connect's outcome, once the descriptor is writable or in error.
int ConnectResult(int fd) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    return error;
}

}  // namespace

long SocketState::ProbeLocked() {
    if (closing) return 0;
    if (phase == Phase::kConnecting) {
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, 0) > 0 && entry.revents != 0) {
            const int error = ConnectResult(fd);
            connectReport = true;
            connectError = error == 0 ? 0 : SocketErrorFromErrno(error);
            // A failed connect reports FD_CONNECT with its error and nothing after it.
            phase = error == 0 ? Phase::kOpen : Phase::kClosed;
        }
    }
    if (connectReport && mask != 0 && (mask & kFdConnect) == 0) connectReport = false;

    long readable = 0;
    // A finished connect is reported on its own, before any data or close.
    if (phase == Phase::kOpen && !connectReport) {
        if (((mask & kFdRead) != 0 || mask == 0) && (dataWaiting || tlsBuffered)) {
            // Seen already (a poll or an earlier peek) and not read since, or
            // kept decrypted inside the TLS session.
            readable = kFdRead;
        } else if ((mask & kFdRead) != 0 || mask == 0) {
            // A close is seen once the data before it has been read.
            char byte;
            const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n > 0) {
                readable = kFdRead;
                dataWaiting = true;
            } else if (n == 0) {
                closeReport = true;
                closeError = 0;
                phase = Phase::kClosed;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                closeReport = true;
                closeError = SocketErrorFromErrno(errno);
                phase = Phase::kClosed;
            }
        } else {
            // Selected for the close alone: unread data does not hide it.
            pollfd entry{fd, POLLRDHUP, 0};
            if (poll(&entry, 1, 0) > 0 && entry.revents != 0) {
                const int error = ConnectResult(fd);
                closeReport = true;
                closeError = error == 0 ? 0 : SocketErrorFromErrno(error);
                phase = Phase::kClosed;
            }
        }
    }
    return PendingLocked() | readable;
}

long SocketState::PendingLocked() const {
    if (connectReport) return kFdConnect;
    return closeReport ? kFdClose : 0;
}

short SocketState::PollEventsLocked() const {
    if (closing) return 0;
    switch (phase) {
        case Phase::kConnecting:
            return POLLOUT;
        case Phase::kOpen:
            return (mask & kFdRead) != 0 ? static_cast<short>(POLLIN | POLLRDHUP)
                                         : static_cast<short>(POLLRDHUP);
        case Phase::kIdle:
        case Phase::kClosed:
            break;
    }
    return 0;
}

SocketUse::~SocketUse() {
    if (!acquired_) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (receive_) {
        state_->dataWaiting = false;
        ++state_->receives;
    }
    if (--state_->busy == 0) state_->idle.notify_all();
}

std::shared_ptr<TlsSession> SocketUse::Tls() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->tls;
}

bool SocketUse::Acquire() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->closing) return false;
    ++state_->busy;
    acquired_ = true;
    return true;
}

namespace {

constexpr int kGenerationShift = 32;

int DescriptorOf(SocketHandle handle) {
    return handle < 0 ? -1 : static_cast<int>(handle & 0x7FFFFFFF);
}

std::uint32_t GenerationOf(SocketHandle handle) {
    return handle < 0 ? 0 : static_cast<std::uint32_t>(handle >> kGenerationShift);
}

// The identity of the open file behind fd, or 0.
std::uint64_t InodeOf(int fd) {
    struct stat info {};
    return fstat(fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_ino) : 0;
}

}  // namespace

std::shared_ptr<SocketState> SocketTable::Add(int fd, SocketHandle* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Generations stay positive and non-zero, so handles are never negative
    // and never look like a foreign descriptor.
    lastGeneration_ = lastGeneration_ >= 0x7FFFFFFFu ? 1 : lastGeneration_ + 1;
    auto state = std::make_shared<SocketState>(fd, lastGeneration_);
    states_[fd] = state;
    *handle = (static_cast<SocketHandle>(lastGeneration_) << kGenerationShift) | fd;
    return state;
}

std::shared_ptr<SocketState> SocketTable::FindLocked(SocketHandle handle) const {
    auto found = states_.find(DescriptorOf(handle));
    if (found == states_.end() || found->second->generation != GenerationOf(handle)) {
        return nullptr;
    }
    return found->second;
}

std::shared_ptr<SocketState> SocketTable::Resolve(SocketHandle handle) {
    const int fd = DescriptorOf(handle);
    if (fd < 0) return nullptr;
    const std::uint64_t inode = GenerationOf(handle) == 0 ? InodeOf(fd) : 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::shared_ptr<SocketState> state = FindLocked(handle);
        // An adopted descriptor may have been closed by its owner and reused.
        if (state != nullptr && (state->generation != 0 || state->inode == inode)) return state;
        // A platform handle whose socket is closed, or a raw descriptor that
        // the platform now uses for a socket of its own.
        if (GenerationOf(handle) != 0) return nullptr;
        auto found = states_.find(fd);
        if (found != states_.end() && found->second->generation != 0) return nullptr;
    }

    int type = 0;
    socklen_t length = sizeof(type);
    if (inode == 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0) return nullptr;
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof(peer);
    const bool connected = getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0;
    // The platform never blocks in a socket call.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);

    auto state = std::make_shared<SocketState>(fd, 0);
    state->inode = inode;
    state->phase = connected ? SocketState::Phase::kOpen : SocketState::Phase::kIdle;
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<SocketState>& slot = states_[fd];
    if (slot != nullptr && slot->generation != 0) return nullptr;
    if (slot == nullptr || slot->inode != inode) slot = state;
    return slot;
}

std::shared_ptr<SocketState> SocketTable::Remove(SocketHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<SocketState> state = FindLocked(handle);
    if (state != nullptr) states_.erase(state->fd);
    return state;
}

}  // namespace posix
}  // namespace transport
