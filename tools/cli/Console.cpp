#include "Console.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace cli {
namespace {
constexpr int kBarWidth = 30;

bool StdoutIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(fileno(stdout)) != 0;
#endif
}
}

Console::Console() : m_terminal(StdoutIsTerminal()) {}

void Console::Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndProgressLocked();
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Console::Trace(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndProgressLocked();
    // Some trace texts hold line breaks: continuation lines stay indented.
    std::string line;
    bool first = true;
    auto flush = [&] {
        std::fprintf(stderr, "%s%s\n", first ? "   trace: " : "          ", line.c_str());
        first = false;
        line.clear();
    };
    for (char c : text) {
        if (c == '\n') {
            flush();
        } else if (c != '\r') {
            line += c;
        }
    }
    if (!line.empty() || first) flush();
    std::fflush(stderr);
}

void Console::Error(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndProgressLocked();
    std::fflush(stdout);
    std::fprintf(stderr, "transport-cli: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string Console::BarText(const std::string& label, unsigned long done,
                             unsigned long total) const {
    const unsigned long percent = total == 0 ? 100 : done * 100 / total;
    const int filled = static_cast<int>(total == 0 ? kBarWidth : done * kBarWidth / total);
    std::string bar = "   " + label + " [";
    for (int i = 0; i < kBarWidth; ++i) bar += i < filled ? '#' : '.';
    bar += "] " + std::to_string(percent) + "%  part " + std::to_string(done) + " of " +
           std::to_string(total);
    return bar;
}

void Console::Progress(const std::string& label, unsigned long done, unsigned long total) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (label != m_label) {
        EndProgressLocked();
        m_label = label;
        m_lastQuarter = -1;
    }
    const std::string text = BarText(label, done, total);
    if (m_terminal) {
        std::fprintf(stdout, "\r%s", text.c_str());
        m_barOpen = true;
    } else {
        const int quarter = static_cast<int>(total == 0 ? 4 : done * 4 / total);
        if (quarter == m_lastQuarter) return;
        m_lastQuarter = quarter;
        std::fprintf(stdout, "%s\n", text.c_str());
    }
    std::fflush(stdout);
}

void Console::EndProgress() {
    std::lock_guard<std::mutex> lock(m_mutex);
    EndProgressLocked();
    m_label.clear();
}

void Console::EndProgressLocked() {
    if (!m_barOpen) return;
    std::fputc('\n', stdout);
    m_barOpen = false;
}

}  // namespace cli
