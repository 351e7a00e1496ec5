#ifndef TRANSPORT_PLATFORM_POSIX_DEADLINE_H
#define TRANSPORT_PLATFORM_POSIX_DEADLINE_H

// The end of a bounded wait, and what is left of it as a poll() time-out.

#include <transport/Platform.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>

namespace transport {
namespace posix {

using Clock = std::chrono::steady_clock;

// kInfinite: no end.
inline Clock::time_point DeadlineAfter(std::uint32_t timeoutMs) {
    return timeoutMs == kInfinite ? Clock::time_point::max()
                                  : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

// Milliseconds left: -1 without an end, 0 once it has passed.
inline int PollTimeout(Clock::time_point deadline) {
    if (deadline == Clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

}  // namespace posix
}  // namespace transport

#endif
