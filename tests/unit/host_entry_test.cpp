// Host entries: a name, and the port it may name.

#include <gtest/gtest.h>

#include <string>

#include "connection/HostEntry.h"

namespace {

TEST(HostEntry, NameAndPort) {
    const struct {
        const char* entry;
        const char* name;
        unsigned port;
    } rows[] = {
        {"server.example", "server.example", 0}, {"10.0.0.1:8800", "10.0.0.1", 8800},
        {"h:1", "h", 1},                          {"h:65535", "h", 65535},
        {"h:65536", "h:65536", 0},                {"h:0", "h:0", 0},
        {"h:", "h:", 0},                          {"h:8x", "h:8x", 0},
        {"[::1]:900", "::1", 900},                {"[::1]", "::1", 0},
        {"[::1]x9", "[::1]x9", 0},                {"[::1", "[::1", 0},
        {"::1", "::1", 0},                        {"", "", 0},
    };
    for (const auto& row : rows) {
        const transport::HostEntryParts parts = transport::SplitHostEntry(row.entry);
        EXPECT_EQ(parts.name, row.name) << row.entry;
        EXPECT_EQ(parts.port, row.port) << row.entry;
    }
    EXPECT_EQ(transport::SplitHostEntry(nullptr).name, "");
    const std::string unterminated(300, 'h');
    EXPECT_EQ(transport::SplitHostEntry(unterminated.c_str()).name.size(), 256u);
}

}  // namespace
