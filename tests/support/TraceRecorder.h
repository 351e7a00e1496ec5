#ifndef TRANSPORT_TESTS_SUPPORT_TRACE_RECORDER_H
#define TRANSPORT_TESTS_SUPPORT_TRACE_RECORDER_H

#include <transport/Platform.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace transport {
namespace test {

// Records every trace line (and forwards it). Thread-safe. Matching is by
// substring: Contains("FD_CLOSE") matches "WSAEnumNetworkEvents: FD_CLOSE";
// compare Lines() for exact lines and their order.
class TraceRecorder : public PlatformWrapper {
public:
    struct Entry {
        std::string text;
        bool flag;
    };

    explicit TraceRecorder(Platform& target) : PlatformWrapper(target) {}

    void Trace(const char* text, bool flag) override;

    std::vector<std::string> Lines() const;
    std::vector<Entry> Entries() const;
    bool Contains(const std::string& text) const;
    std::size_t Count(const std::string& text) const;
    // Index of the first line containing text at or after `from`, or -1.
    long IndexOf(const std::string& text, std::size_t from = 0) const;
    // Waits (real time) until some line contains text; false on time-out.
    bool WaitFor(const std::string& text, std::uint32_t realTimeoutMs) const;
    // Waits (real time) until at least n lines contain text.
    bool WaitForCount(const std::string& text, std::size_t n, std::uint32_t realTimeoutMs) const;
    void Clear();
    // Also writes each line to standard error (for debugging a test).
    void SetEcho(bool echo);

private:
    std::size_t CountLocked(const std::string& text) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable added_;
    std::vector<Entry> entries_;
    bool echo_ = false;
};

}  // namespace test
}  // namespace transport

#endif
