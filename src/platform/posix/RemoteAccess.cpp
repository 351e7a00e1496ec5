// Remote-access connections as the client knows them, from the host's
// network interfaces: cellular modems and desktop cable links are listed
// under the device names the client looks for; other interfaces are not
// remote-access connections.

#include <cstring>

#include "platform/posix/NetworkInterfaces.h"
#include "platform/posix/PosixPlatform.h"

namespace transport {
namespace posix {
namespace {

struct DeviceRule {
    const char* prefix;
    const char* deviceName;
};

constexpr DeviceRule kDeviceRules[] = {
    {"wwan", "Cellular Line"},
    {"ppp", "Cellular Line"},
    {"usb", "Serial on USB"},
    {"rndis", "Serial on USB"},
};

const char* DeviceNameOf(const std::string& interfaceName) {
    for (const DeviceRule& rule : kDeviceRules) {
        if (interfaceName.compare(0, std::strlen(rule.prefix), rule.prefix) == 0) {
            return rule.deviceName;
        }
    }
    return nullptr;
}

}  // namespace

bool PosixPlatform::EnumRemoteConnections(std::vector<RemoteConnection>* connections) {
    if (connections == nullptr) return false;
    connections->clear();
    std::vector<NetworkInterface> interfaces;
    if (!ListNetworkInterfaces(&interfaces)) return false;
    for (const NetworkInterface& item : interfaces) {
        const char* deviceName = DeviceNameOf(item.name);
        if (deviceName == nullptr) continue;
        connections->push_back(RemoteConnection{deviceName, item.running ? kRasConnected : 0u});
    }
    return true;
}

}  // namespace posix
}  // namespace transport
