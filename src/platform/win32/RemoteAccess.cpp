// Remote-access connections as the client knows them, from the host's
// network interfaces: dial-up and mobile broadband links and cable links to
// a device are listed under the device names the client looks for; other
// interfaces are not remote-access connections.

#include <algorithm>
#include <cctype>

#include "platform/win32/Adapters.h"
#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Platform.h"

namespace transport {
namespace win32 {
namespace {

// Mobile broadband interface types (not in every SDK's headers).
constexpr unsigned long kIfTypeWwanPp = 243;
constexpr unsigned long kIfTypeWwanPp2 = 244;

bool Contains(const std::string& text, const char* word) {
    std::string upper(text);
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return upper.find(word) != std::string::npos;
}

const char* DeviceNameOf(const NetworkAdapter& adapter) {
    if (adapter.type == IF_TYPE_PPP || adapter.type == kIfTypeWwanPp ||
        adapter.type == kIfTypeWwanPp2) {
        return "Cellular Line";
    }
    if (Contains(adapter.name, "USB") || Contains(adapter.name, "RNDIS")) return "Serial on USB";
    return nullptr;
}

}  // namespace

bool Win32Platform::EnumRemoteConnections(std::vector<RemoteConnection>* connections) {
    if (connections == nullptr) return false;
    connections->clear();
    std::vector<NetworkAdapter> adapters;
    if (!ListNetworkAdapters(&adapters)) return false;
    for (const NetworkAdapter& adapter : adapters) {
        const char* deviceName = DeviceNameOf(adapter);
        if (deviceName == nullptr) continue;
        connections->push_back(RemoteConnection{deviceName, adapter.up ? kRasConnected : 0u});
    }
    return true;
}

}  // namespace win32
}  // namespace transport
