#ifndef TRANSPORT_PLATFORM_WIN32_ADAPTERS_H
#define TRANSPORT_PLATFORM_WIN32_ADAPTERS_H

// The host's network interfaces, for the bearer and remote-access listing.

#include <string>
#include <vector>

namespace transport {
namespace win32 {

struct NetworkAdapter {
    std::string name;         // the description and the friendly name, for matching
    unsigned long type = 0;   // IF_TYPE_...
    bool up = false;          // operational status up
};

// False when the system could not list them.
bool ListNetworkAdapters(std::vector<NetworkAdapter>* adapters);

}  // namespace win32
}  // namespace transport

#endif
