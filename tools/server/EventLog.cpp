#include "EventLog.h"

#include <cstdio>

namespace refserver {

void EventLog::Line(const std::string& text) {
    if (m_capture != nullptr) {
        m_capture->push_back(text);
        return;
    }
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string EventLog::Printable(std::string_view text, std::size_t max) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

}  // namespace refserver
