// The host's network interfaces, for the bearer and remote-access listing.

#include "platform/posix/NetworkInterfaces.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>

namespace transport {
namespace posix {

bool ListNetworkInterfaces(std::vector<NetworkInterface>* interfaces) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    // getifaddrs lists an interface once per address family.
    for (const ifaddrs* item = list; item != nullptr; item = item->ifa_next) {
        if (item->ifa_name == nullptr) continue;
        const bool running =
            (item->ifa_flags & IFF_UP) != 0 && (item->ifa_flags & IFF_RUNNING) != 0;
        auto known =
            std::find_if(interfaces->begin(), interfaces->end(),
                         [item](const NetworkInterface& i) { return i.name == item->ifa_name; });
        if (known == interfaces->end()) {
            interfaces->push_back(NetworkInterface{item->ifa_name, running});
        } else {
            known->running = known->running || running;
        }
    }
    freeifaddrs(list);
    return true;
}

}  // namespace posix
}  // namespace transport
