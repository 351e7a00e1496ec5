#include "support/FastClockPlatform.h"

namespace transport {
namespace test {

FastClockPlatform::FastClockPlatform(Platform& target, std::uint32_t factor)
    : PlatformWrapper(target),
      factor_(factor == 0 ? 1 : factor),
      base_(Clock::now()),
      startTick_(target.GetTickCount()) {}

std::uint32_t FastClockPlatform::Scale(std::uint32_t timeoutMs) const {
    if (timeoutMs == kInfinite || timeoutMs == 0) return timeoutMs;
    const std::uint32_t scaled = timeoutMs / factor_;
    return scaled == 0 ? 1 : scaled;  // a time-out never turns into a poll
}

std::uint32_t FastClockPlatform::Wait(const Handle* handles, std::uint32_t count,
                                      std::uint32_t timeoutMs) {
    return target().Wait(handles, count, Scale(timeoutMs));
}

void FastClockPlatform::Sleep(std::uint32_t ms) { target().Sleep(Scale(ms)); }

std::uint32_t FastClockPlatform::GetTickCount() {
    const auto elapsedUs =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - base_).count();
    const auto fastMs = static_cast<std::uint64_t>(elapsedUs) * factor_ / 1000u;
    return startTick_ + static_cast<std::uint32_t>(fastMs);  // wraps like the real counter
}

int FastClockPlatform::Send(SocketHandle socket, const char* data, std::uint32_t length,
                            std::uint32_t timeoutMs, std::uint32_t* sent) {
    return target().Send(socket, data, length, Scale(timeoutMs), sent);
}

int FastClockPlatform::Receive(SocketHandle socket, char* buffer, std::uint32_t capacity,
                               std::uint32_t timeoutMs, std::uint32_t* received) {
    return target().Receive(socket, buffer, capacity, Scale(timeoutMs), received);
}

}  // namespace test
}  // namespace transport
