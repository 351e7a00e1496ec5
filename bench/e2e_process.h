#ifndef TRANSPORT_BENCH_E2E_PROCESS_H
#define TRANSPORT_BENCH_E2E_PROCESS_H

#include <cstdint>

namespace bench {

// What the process uses right now, from /proc and getrusage.
struct ProcessUsage {
    std::uint64_t residentBytes;
    std::uint64_t virtualBytes;
    std::uint64_t descriptors;
    std::uint64_t threads;
    double cpuSeconds;              // user + system
    std::uint64_t contextSwitches;  // voluntary + involuntary
};

ProcessUsage ReadUsage();

// Raises the descriptor limit as far as the system allows (3 threads and
// about 20 descriptors per client); returns the soft limit in force.
std::uint64_t RaiseDescriptorLimit(std::uint64_t wanted);

// The soft descriptor limit in force.
std::uint64_t DescriptorLimit();

// Sets the stack size of threads created from now on (0: leave the default).
bool SetDefaultThreadStack(std::uint64_t bytes);

}  // namespace bench

#endif
