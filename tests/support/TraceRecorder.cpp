#include "support/TraceRecorder.h"

#include <chrono>
#include <cstdio>

namespace transport {
namespace test {

void TraceRecorder::Trace(const char* text, bool flag) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_.push_back(Entry{text != nullptr ? text : "", flag});
        if (echo_) std::fprintf(stderr, "[trace] %s\n", entries_.back().text.c_str());
    }
    added_.notify_all();
    PlatformWrapper::Trace(text, flag);
}

std::vector<std::string> TraceRecorder::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    lines.reserve(entries_.size());
    for (const Entry& entry : entries_) lines.push_back(entry.text);
    return lines;
}

std::vector<TraceRecorder::Entry> TraceRecorder::Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

bool TraceRecorder::Contains(const std::string& text) const { return IndexOf(text) >= 0; }

std::size_t TraceRecorder::Count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountLocked(text);
}

long TraceRecorder::IndexOf(const std::string& text, std::size_t from) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = from; i < entries_.size(); ++i) {
        if (entries_[i].text.find(text) != std::string::npos) return static_cast<long>(i);
    }
    return -1;
}

bool TraceRecorder::WaitFor(const std::string& text, std::uint32_t realTimeoutMs) const {
    return WaitForCount(text, 1, realTimeoutMs);
}

bool TraceRecorder::WaitForCount(const std::string& text, std::size_t n,
                                 std::uint32_t realTimeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return added_.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                           [&] { return CountLocked(text) >= n; });
}

void TraceRecorder::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

void TraceRecorder::SetEcho(bool echo) {
    std::lock_guard<std::mutex> lock(mutex_);
    echo_ = echo;
}

std::size_t TraceRecorder::CountLocked(const std::string& text) const {
    std::size_t count = 0;
    for (const Entry& entry : entries_) {
        if (entry.text.find(text) != std::string::npos) ++count;
    }
    return count;
}

}  // namespace test
}  // namespace transport
