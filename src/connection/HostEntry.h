#ifndef TRANSPORT_CONNECTION_HOST_ENTRY_H
#define TRANSPORT_CONNECTION_HOST_ENTRY_H

#include <string>

namespace transport {

// A host entry as the application wrote it: "name", "name:port" or
// "[address]:port". Without a port (or with one that is not 1 to 65535) the
// whole entry is the name and the port is 0: the server's own port is used.
struct HostEntryParts {
    std::string name;
    unsigned port = 0;
};
// Reads at most 256 characters: the entries live in fixed fields.
HostEntryParts SplitHostEntry(const char* entry);

}  // namespace transport

#endif
