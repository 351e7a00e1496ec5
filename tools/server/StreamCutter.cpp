#include "StreamCutter.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace refserver {
namespace {

constexpr std::string_view kOpen = "<g44>";
constexpr std::string_view kClose = "</g44>";
constexpr std::string_view kPost = "POST ";
constexpr std::string_view kConnect = "CONNECT ";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::size_t kHeaderLimit = 8 * 1024;

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// True when text is a proper beginning of prefix: more bytes may complete it.
bool MayBecome(std::string_view text, std::string_view prefix) {
    return text.size() < prefix.size() && prefix.substr(0, text.size()) == text;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// The Content-Length of a header block; 0 when absent, -1 when malformed.
long long ContentLength(std::string_view headers) {
    std::size_t at = headers.find("\r\n");
    while (at != std::string_view::npos && at + 2 < headers.size()) {
        const std::size_t start = at + 2;
        std::size_t end = headers.find("\r\n", start);
        if (end == std::string_view::npos) end = headers.size();
        std::string_view line = headers.substr(start, end - start);
        const std::size_t colon = line.find(':');
        if (colon != std::string_view::npos && EqualsNoCase(line.substr(0, colon), "Content-Length")) {
            std::string_view value = line.substr(colon + 1);
            while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
                value.remove_prefix(1);
            }
            while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
                value.remove_suffix(1);
            }
            if (value.empty() || value.size() > 12) return -1;
            long long length = 0;
            for (char c : value) {
                if (c < '0' || c > '9') return -1;
                length = length * 10 + (c - '0');
            }
            return length;
        }
        at = end;
    }
    return 0;
}

}  // namespace

void StreamCutter::Append(const char* data, std::size_t length) {
    m_buffer.erase(0, m_start);
    m_start = 0;
    m_buffer.append(data, length);
    m_sinceUnit += length;
}

StreamUnit StreamCutter::Done(StreamUnit unit) {
    if (unit.kind == StreamUnit::kFrame || unit.kind == StreamUnit::kHttpRequest ||
        unit.kind == StreamUnit::kTunnel) {
        m_sinceUnit = Buffered();
    } else if (unit.kind == StreamUnit::kNeedMore && m_sinceUnit > m_limit) {
        unit.kind = StreamUnit::kOverflow;
    }
    return unit;
}

StreamUnit StreamCutter::Next() {
    for (;;) {
        const std::string_view view = Pending();
        if (view.empty()) return Done({});
        if (StartsWith(view, kOpen)) return Done(CutFrame());
        if (StartsWith(view, kPost)) return Done(CutRequest(false));
        if (StartsWith(view, kConnect)) return Done(CutRequest(true));
        if (MayBecome(view, kOpen) || MayBecome(view, kPost) || MayBecome(view, kConnect)) {
            return Done({});
        }

        // Stray bytes: drop them up to the next thing that may start a piece.
        std::size_t next = std::string_view::npos;
        for (std::string_view start : {kOpen, kPost, kConnect}) {
            next = std::min(next, view.find(start, 1));
        }
        if (next != std::string_view::npos) {
            Consume(next);
            continue;
        }
        // Keep only a tail that may be the beginning of a start text.
        std::size_t drop = view.size() - std::min(view.size() - 1, kConnect.size() - 1);
        while (drop < view.size()) {
            const std::string_view tail = view.substr(drop);
            if (MayBecome(tail, kOpen) || MayBecome(tail, kPost) || MayBecome(tail, kConnect)) break;
            ++drop;
        }
        Consume(drop);
        return Done({});
    }
}

StreamUnit StreamCutter::CutFrame() {
    const std::string_view view = Pending();
    const std::size_t close = view.find(kClose, kOpen.size());
    if (close == std::string_view::npos) return {};
    // The last opener before the closer starts the frame: an opener whose
    // closer never came is dropped with what followed it.
    const std::size_t start = view.rfind(kOpen, close - kOpen.size());
    const std::size_t end = close + kClose.size();
    StreamUnit unit;
    unit.kind = StreamUnit::kFrame;
    unit.text = std::string(view.substr(start, end - start));
    Consume(end);
    return unit;
}

StreamUnit StreamCutter::CutRequest(bool tunnel) {
    const std::string_view view = Pending();
    const std::size_t headerEnd = view.find(kHeaderEnd);
    if (headerEnd == std::string_view::npos) {
        if (view.size() > kHeaderLimit) return {StreamUnit::kBadRequest, {}, "headers too long"};
        return {};
    }
    if (headerEnd > kHeaderLimit) return {StreamUnit::kBadRequest, {}, "headers too long"};
    StreamUnit unit;
    unit.line = std::string(view.substr(0, view.find("\r\n")));
    const std::size_t bodyStart = headerEnd + kHeaderEnd.size();
    if (tunnel) {
        unit.kind = StreamUnit::kTunnel;
        Consume(bodyStart);
        return unit;
    }
    const long long length = ContentLength(view.substr(0, headerEnd));
    if (length < 0) return {StreamUnit::kBadRequest, {}, "bad Content-Length"};
    // The whole request must fit the input bound, headers included.
    if (static_cast<unsigned long long>(length) + kHeaderLimit > m_limit) {
        return {StreamUnit::kBadRequest, {}, "body of " + std::to_string(length) + " bytes"};
    }
    if (view.size() - bodyStart < static_cast<std::size_t>(length)) return {};
    unit.kind = StreamUnit::kHttpRequest;
    unit.text = std::string(view.substr(bodyStart, static_cast<std::size_t>(length)));
    Consume(bodyStart + static_cast<std::size_t>(length));
    return unit;
}

std::vector<std::string> StreamCutter::FramesOf(std::string_view body) {
    std::vector<std::string> frames;
    std::size_t from = 0;
    for (;;) {
        const std::size_t open = body.find(kOpen, from);
        if (open == std::string_view::npos) break;
        const std::size_t close = body.find(kClose, open + kOpen.size());
        if (close == std::string_view::npos) break;
        const std::size_t start = body.rfind(kOpen, close - kOpen.size());
        const std::size_t end = close + kClose.size();
        frames.emplace_back(body.substr(start, end - start));
        from = end;
    }
    return frames;
}

}  // namespace refserver
