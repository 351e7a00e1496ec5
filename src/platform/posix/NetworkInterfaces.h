#ifndef TRANSPORT_PLATFORM_POSIX_NETWORK_INTERFACES_H
#define TRANSPORT_PLATFORM_POSIX_NETWORK_INTERFACES_H

#include <string>
#include <vector>

namespace transport {
namespace posix {

struct NetworkInterface {
    std::string name;
    bool running;  // up and running
};

// The host's network interfaces, each once, in the order the system lists
// them; false when they cannot be listed.
bool ListNetworkInterfaces(std::vector<NetworkInterface>* interfaces);

}  // namespace posix
}  // namespace transport

#endif
