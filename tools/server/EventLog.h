#ifndef TRANSPORT_TOOLS_SERVER_EVENT_LOG_H
#define TRANSPORT_TOOLS_SERVER_EVENT_LOG_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace refserver {

// One line per event on stdout, flushed at once so that a script reading the
// output sees each event when it happens. Tests capture the lines instead.
class EventLog {
public:
    EventLog() = default;
    explicit EventLog(std::vector<std::string>* capture) : m_capture(capture) {}

    void Line(const std::string& text);

    // Received text made safe for one log line: control and non-ASCII bytes
    // as \xNN, cut to at most max characters with "..." appended.
    static std::string Printable(std::string_view text, std::size_t max = 60);

private:
    std::vector<std::string>* m_capture = nullptr;
};

}  // namespace refserver

#endif
