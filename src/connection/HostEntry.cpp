#include "connection/HostEntry.h"

#include <cstring>

namespace transport {
namespace {

// 1 to 65535 in decimal digits, or 0.
unsigned PortOf(const std::string& text) {
    if (text.empty() || text.size() > 5) return 0;
    unsigned port = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return 0;
        port = port * 10 + static_cast<unsigned>(c - '0');
    }
    return port <= 65535 ? port : 0;
}

}  // namespace

HostEntryParts SplitHostEntry(const char* entry) {
    HostEntryParts parts;
    if (entry == nullptr) return parts;
    const std::string text(entry, strnlen(entry, 256));
    parts.name = text;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return parts;
        const bool bare = close + 1 == text.size();
        const unsigned port = bare ? 0 : PortOf(text.substr(close + 2));
        if (!bare && (text[close + 1] != ':' || port == 0)) return parts;
        parts.name = text.substr(1, close - 1);
        parts.port = port;
        return parts;
    }
    const std::size_t colon = text.find(':');
    // More than one colon: an address of the other family, written bare.
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) return parts;
    const unsigned port = PortOf(text.substr(colon + 1));
    if (port == 0) return parts;
    parts.name = text.substr(0, colon);
    parts.port = port;
    return parts;
}

}  // namespace transport
