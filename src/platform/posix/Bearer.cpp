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
std::uint64_t Fnv1a(const char* text, std::uint64_t hash) {
    for (const char* c = text; *c != '\0'; ++c) {
        hash ^= static_cast<unsigned char>(*c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

bool AnyInterfaceRunning() {
    std::vector<NetworkInterface> interfaces;
    if (!ListNetworkInterfaces(&interfaces)) return false;
    for (const NetworkInterface& item : interfaces) {
        if (item.running) return true;
    }
    return false;
}

}  // namespace

int PosixPlatform::CmMapUrl(const char* url, Guid* network) {
    if (network == nullptr) return kCmFailed;
    // The same URL always maps to the same network.
    const char* text = url != nullptr ? url : "";
    const std::uint64_t high = Fnv1a(text, 0xcbf29ce484222325ull);
    const std::uint64_t low = Fnv1a(text, high ^ 0x9e3779b97f4a7c15ull);
    network->Data1 = static_cast<std::uint32_t>(high >> 32);
    network->Data2 = static_cast<std::uint16_t>(high >> 16);
    network->Data3 = static_cast<std::uint16_t>(high);
    for (int i = 0; i < 8; ++i) network->Data4[i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    return 0;
}

Handle PosixPlatform::CmApiReadyEvent() {
    Handle ready = CreateEvent();
    if (ready != nullptr) SetEvent(ready);  // always ready
    return ready;
}

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
