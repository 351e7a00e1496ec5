#ifndef TRANSPORT_PLATFORM_ADDRESS_CHOICE_H
#define TRANSPORT_PLATFORM_ADDRESS_CHOICE_H

// The address a name stands for, picked from the system's getaddrinfo list
// the same way on every platform. The system's types come in as template
// arguments, so this header needs no socket header of its own.

#include <transport/Platform.h>

#include <cstring>
#include <string>

namespace transport {

// IPv4 first when the name has both: servers of this protocol listen on
// IPv4, and a name that gained an IPv6 address must reach them as before.
// False, entry untouched, when the list has neither.
template <typename AddrInfo, typename SockAddrV4, typename SockAddrV6>
bool ChooseAddress(const AddrInfo* list, const char* name, int inet, int inet6, HostEntry* entry) {
    const AddrInfo* chosen = nullptr;
    for (const AddrInfo* item = list; item != nullptr; item = item->ai_next) {
        if (item->ai_addr == nullptr) continue;
        if (item->ai_family == inet) {
            chosen = item;
            break;
        }
        if (item->ai_family == inet6 && chosen == nullptr) chosen = item;
    }
    if (chosen == nullptr) return false;
    entry->ipv6 = chosen->ai_family == inet6;
    entry->address = 0;
    if (entry->ipv6) {
        std::memcpy(entry->address6, &reinterpret_cast<const SockAddrV6*>(chosen->ai_addr)->sin6_addr, 16);
    } else {
        std::memcpy(&entry->address, &reinterpret_cast<const SockAddrV4*>(chosen->ai_addr)->sin_addr, 4);
    }
    entry->officialName = list->ai_canonname != nullptr ? list->ai_canonname : std::string(name);
    return true;
}

}  // namespace transport

#endif
