#ifndef TRANSPORT_TESTS_SUPPORT_FAST_CLOCK_PLATFORM_H
#define TRANSPORT_TESTS_SUPPORT_FAST_CLOCK_PLATFORM_H

#include <transport/Platform.h>

#include <chrono>
#include <cstdint>

namespace transport {
namespace test {

// A platform whose clock runs `factor` times faster than real time: the
// time-outs of Wait, Sleep, Send and Receive are divided by factor and the
// tick count advances factor milliseconds per real millisecond, so a 30 s
// check or a 60 s time-out takes milliseconds. kInfinite stays infinite, 0
// stays 0, and any other time-out stays at least 1 ms.
class FastClockPlatform : public PlatformWrapper {
public:
    FastClockPlatform(Platform& target, std::uint32_t factor);

    // A time-out as this clock passes it to the wrapped platform.
    std::uint32_t Scale(std::uint32_t timeoutMs) const;

    std::uint32_t Wait(const Handle* handles, std::uint32_t count,
                       std::uint32_t timeoutMs) override;
    void Sleep(std::uint32_t ms) override;
    std::uint32_t GetTickCount() override;
    int Send(SocketHandle socket, const char* data, std::uint32_t length, std::uint32_t timeoutMs,
             std::uint32_t* sent) override;
    int Receive(SocketHandle socket, char* buffer, std::uint32_t capacity, std::uint32_t timeoutMs,
                std::uint32_t* received) override;

private:
    using Clock = std::chrono::steady_clock;

    const std::uint32_t factor_;
    const Clock::time_point base_;
    const std::uint32_t startTick_;
};

}  // namespace test
}  // namespace transport

#endif
