#ifndef TRANSPORT_BENCH_E2E_RAW_H
#define TRANSPORT_BENCH_E2E_RAW_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// A frame of exactly length characters (at least 20): id 20 and one
// parameter of filler text.
std::string FillerFrame(std::size_t length);

// The baseline: one blocking socket, TCP as the library uses it (no
// TCP_NODELAY), writing a frame and reading the whole 20-byte reply before
// the next write: the same stop-and-wait exchange as the library, without
// its threads. Returns the time of each round trip in nanoseconds; empty on
// a socket failure.
std::vector<std::int64_t> RawRoundTrips(std::uint16_t port, const std::string& frame,
                                        std::size_t count);

// The design's own limit: the same exchange with the library's two thread
// hand-offs and nothing else. A receiving thread blocks in recv() and, once
// a reply is complete, wakes a sending thread through an eventfd; the
// sending thread writes the next frame. Returns the time between
// consecutive replies in nanoseconds; empty on a socket failure.
std::vector<std::int64_t> ProbeRoundTrips(std::uint16_t port, const std::string& frame,
                                          std::size_t count);

}  // namespace bench

#endif
