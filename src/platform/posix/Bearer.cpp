// The connection manager: the host's network is taken as the bearer. A
// request is granted (status connected) when some interface is up and
// running, loopback included, since the servers may run on this host.

#include <cstring>

#include "platform/posix/KernelObjects.h"
#include "platform/posix/NetworkInterfaces.h"
#include "platform/posix/PosixPlatform.h"

namespace transport {
namespace posix {
namespace {

constexpr int kCmFailed = -1;
constexpr std::uint32_t kCmStatusNoPath = 0x24;

// FNV-1a over text, from a given starting value.
bool AnyInterfaceRunning() {
    std::vector<NetworkInterface> interfaces;
    if (!ListNetworkInterfaces(&interfaces)) return false;
    for (const NetworkInterface& item : interfaces) {
        if (item.running) return true;
    }
    return false;
}

}  // namespace

int PosixPlatform::CmEstablishConnection(const ConnectionInfo& info, Handle* connection) {
    if (connection == nullptr) return kCmFailed;
    *connection = nullptr;
    if (info.cbSize != sizeof(ConnectionInfo)) return kCmFailed;
    auto* request = new ConnectionObject;
    {
        std::lock_guard<std::mutex> lock(request->mutex);
        request->status = AnyInterfaceRunning() ? kCmStatusConnected : kCmStatusNoPath;
    }
    request->Set();  // the status is known at once
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_.insert(request);
    }
    *connection = request;
    return 0;
}

int PosixPlatform::CmConnectionStatus(Handle connection, std::uint32_t* status) {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    if (connection == nullptr || connections_.count(connection) == 0) {
        if (status != nullptr) *status = 0;
        return kCmFailed;
    }
    if (status == nullptr) return kCmFailed;
    auto* request = static_cast<ConnectionObject*>(connection);
    std::lock_guard<std::mutex> requestLock(request->mutex);
    *status = request->status;
    return 0;
}

int PosixPlatform::CmReleaseConnection(Handle connection, std::uint32_t) {
    if (!ForgetConnection(connection)) return kCmFailed;
    CloseHandle(connection);
    return 0;
}

bool PosixPlatform::ForgetConnection(Handle handle) {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    return connections_.erase(handle) != 0;
}

}  // namespace posix
}  // namespace transport
