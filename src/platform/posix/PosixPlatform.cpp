// The clock, the trace sink and the factory of the POSIX platform.

#include "platform/posix/PosixPlatform.h"

#include <time.h>

#include "platform/HostPlatform.h"

namespace transport {

Platform* NewHostPlatform() { return new posix::PosixPlatform; }

namespace posix {

std::uint32_t PosixPlatform::GetTickCount() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                             static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);  // wraps like the 32-bit counter it stands for
}

// Trace lines go nowhere by default; a test or an application installs its
// own sink with a PlatformWrapper.
void PosixPlatform::Trace(const char*, bool) {}

}  // namespace posix
}  // namespace transport
