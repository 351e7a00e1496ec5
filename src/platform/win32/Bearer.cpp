// The connection manager: the host's network is taken as the bearer. A
// request is granted (status connected) when some interface is up,
// loopback included, since the servers may run on this host. While requests
// are held, the system's interface notifications re-evaluate them and
// signal those whose status changed.

#include "platform/win32/Adapters.h"
#include "platform/win32/InterfaceWatch.h"
#include "platform/win32/KernelObjects.h"
#include "platform/win32/Win32Platform.h"

namespace transport {
namespace win32 {
namespace {

constexpr int kCmFailed = -1;
constexpr std::uint32_t kCmStatusNoPath = 0x24;

std::uint32_t CurrentStatus() {
    std::vector<NetworkAdapter> adapters;
    if (ListNetworkAdapters(&adapters)) {
        for (const NetworkAdapter& adapter : adapters) {
            if (adapter.up) return kCmStatusConnected;
        }
    }
    return kCmStatusNoPath;
}

}  // namespace

InterfaceWatch::InterfaceWatch(Win32Platform* platform) {
    // Without notifications (an older or emulated system) a request keeps
    // the status it was granted with.
    if (::NotifyIpInterfaceChange(AF_UNSPEC, &Changed, platform, FALSE, &handle_) != NO_ERROR) {
        handle_ = nullptr;
    }
}

InterfaceWatch::~InterfaceWatch() {
    if (handle_ != nullptr) ::CancelMibChangeNotify2(handle_);
}

void WINAPI InterfaceWatch::Changed(void* context, MIB_IPINTERFACE_ROW*, MIB_NOTIFICATION_TYPE) {
    static_cast<Win32Platform*>(context)->RefreshConnections();
}

int Win32Platform::CmEstablishConnection(const ConnectionInfo& info, Handle* connection) {
    if (connection == nullptr) return kCmFailed;
    *connection = nullptr;
    if (info.cbSize != sizeof(ConnectionInfo)) return kCmFailed;
    Handle request = CreateEvent();
    if (request == nullptr) return kCmFailed;
    const std::uint32_t status = CurrentStatus();
    {
        std::lock_guard<std::mutex> lock(connectionsMutex_);
        connections_[request] = status;
        if (watch_ == nullptr) watch_ = std::make_unique<InterfaceWatch>(this);
    }
    SetEvent(request);  // the status is known at once
    *connection = request;
    return 0;
}

int Win32Platform::CmConnectionStatus(Handle connection, std::uint32_t* status) {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    auto found = connection != nullptr ? connections_.find(connection) : connections_.end();
    if (found == connections_.end()) {
        if (status != nullptr) *status = 0;
        return kCmFailed;
    }
    if (status == nullptr) return kCmFailed;
    *status = found->second;
    return 0;
}

int Win32Platform::CmReleaseConnection(Handle connection, std::uint32_t) {
    if (!ForgetConnection(connection)) return kCmFailed;
    CloseHandle(connection);
    return 0;
}

bool Win32Platform::ForgetConnection(Handle handle) {
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    return connections_.erase(handle) != 0;
}

void Win32Platform::RefreshConnections() {
    const std::uint32_t status = CurrentStatus();  // outside the lock: it may take a while
    std::lock_guard<std::mutex> lock(connectionsMutex_);
    for (auto& entry : connections_) {
        if (entry.second == status) continue;
        entry.second = status;
        ::SetEvent(entry.first->handle);
    }
}

}  // namespace win32
}  // namespace transport
