// The table of sockets, and the use count that CloseSocket waits out.

#include "platform/win32/SocketTable.h"

#include <limits>
#include <vector>

#include "platform/win32/KernelObjects.h"

namespace transport {
namespace win32 {

SocketUse::~SocketUse() {
    if (!acquired_) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (--state_->busy == 0) state_->idle.notify_all();
}

bool SocketUse::Acquire() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->closing) return false;
    ++state_->busy;
    acquired_ = true;
    return true;
}

int ConnectionEndError(SOCKET socket) {
    WSAPOLLFD entry{};
    entry.fd = socket;
    entry.events = POLLRDNORM;
    if (::WSAPoll(&entry, 1, 0) <= 0 || (entry.revents & POLLERR) == 0) return 0;
    int error = 0;
    int length = sizeof(error);
    if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        error = 0;
    }
    // A connection that stood cannot have been refused: that is the peer's reset.
    return error == 0 || error == WSAECONNREFUSED ? WSAECONNRESET : error;
}

std::shared_ptr<SocketState> SocketTable::Add(SOCKET socket, SocketHandle* handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Positive, so never kInvalidSocket; a wrap takes 2^31 sockets at least.
    lastHandle_ = lastHandle_ == std::numeric_limits<SocketHandle>::max() ? 1 : lastHandle_ + 1;
    auto state = std::make_shared<SocketState>(socket);
    states_[lastHandle_] = state;
    *handle = lastHandle_;
    return state;
}

std::shared_ptr<SocketState> SocketTable::Resolve(SocketHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = states_.find(handle);
    return found != states_.end() ? found->second : nullptr;
}

std::shared_ptr<SocketState> SocketTable::Remove(SocketHandle handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = states_.find(handle);
    if (found == states_.end()) return nullptr;
    std::shared_ptr<SocketState> state = std::move(found->second);
    states_.erase(found);
    return state;
}

void SocketTable::Unselect(Handle event) {
    std::vector<std::shared_ptr<SocketState>> states;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        states.reserve(states_.size());
        for (const auto& entry : states_) states.push_back(entry.second);
    }
    for (const std::shared_ptr<SocketState>& state : states) {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->event != event) continue;
        ::WSAEventSelect(state->socket, nullptr, 0);
        state->event = nullptr;
        state->mask = 0;
    }
}

}  // namespace win32
}  // namespace transport
