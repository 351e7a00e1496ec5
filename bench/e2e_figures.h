#ifndef TRANSPORT_BENCH_E2E_FIGURES_H
#define TRANSPORT_BENCH_E2E_FIGURES_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

// Sizes of one run; the smoke run uses tiny ones.
struct RunSizes {
    std::size_t roundTrips;      // raw and library messages for the rates
    std::size_t singleMessages;  // library messages sent one at a time
    std::size_t bigRoundTrips;   // raw round trips of 2500-byte frames
    std::size_t objectBytes;     // the id 10 object
    std::size_t idleClients;
    std::uint32_t idleMinutes;  // simulated minutes measured
    std::uint32_t idleClockFactor;
    std::size_t capacityClients;
    // Paired blocks: raw and library measured alternately, block by block.
    std::size_t pairedBlocks;
    std::size_t blockMessages;     // per block: raw round trips, library messages
    std::size_t blockSingles;      // per block: single messages each way
    std::size_t blockObjectBytes;  // per block: one id 10 object
};

// Each prints its figures as "figure <name> <value>" lines on stdout and
// returns false when the measurement could not be made.
bool RawFigures(std::uint16_t port, const RunSizes& sizes);
bool LibraryFigures(std::uint16_t port, const RunSizes& sizes);
// The ratios against the baselines once more, each taken from a raw block and
// a library block measured right after each other (a fraction of a second
// apart), so that both meet the same state of a shared machine; the median
// over the blocks is reported.
bool PairedFigures(std::uint16_t port, const RunSizes& sizes);
bool IdleFigures(std::uint16_t port, const RunSizes& sizes);
bool CapacityFigures(std::uint16_t port, const RunSizes& sizes);
// Log-in time on a fresh connection and full-queue rate, in clear text and
// over TLS, against a small server of its own; certificates: the folder of
// scripts/make-certs's output.
bool TlsFigures(const std::string& certificates, const RunSizes& sizes);

}  // namespace bench

#endif
