#ifndef TRANSPORT_TOOLS_CLI_CONSOLE_H
#define TRANSPORT_TOOLS_CLI_CONSOLE_H

#include <mutex>
#include <string>

namespace cli {

// Everything the client prints goes through here: lines on standard output,
// trace lines on standard error, and one progress bar at a time, redrawn in
// place on a terminal and printed at every quarter otherwise (logs stay
// short). Safe to use from the library's threads.
class Console {
public:
    Console();

    void Line(const std::string& text);
    void Trace(const std::string& text);
    // A failure, on standard error: "transport-cli: " and the text.
    void Error(const std::string& text);

    // Shows done of total for the bar named label; a new label starts a new bar.
    void Progress(const std::string& label, unsigned long done, unsigned long total);
    // Ends the open bar's line, if any.
    void EndProgress();

private:
    void EndProgressLocked();
    std::string BarText(const std::string& label, unsigned long done, unsigned long total) const;

    std::mutex m_mutex;
    bool m_terminal;
    bool m_barOpen = false;       // a bar is drawn on the current terminal line
    std::string m_label;          // the bar being drawn
    int m_lastQuarter = -1;       // last quarter printed without a terminal
};

}  // namespace cli

#endif
