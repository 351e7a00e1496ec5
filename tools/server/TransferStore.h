#ifndef TRANSPORT_TOOLS_SERVER_TRANSFER_STORE_H
#define TRANSPORT_TOOLS_SERVER_TRANSFER_STORE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace refserver {

// The parts of multi-part transfers (id 10) collected until their last part
// arrives. A transfer is known by its owner (the logged-in user), its name and
// its part count, so that a client that reconnects in the middle of a
// transfer goes on filling the same one. A part sent twice (the client
// repeats the part whose answer was lost with the connection) is kept once.
//
// Bounded: all transfers together hold at most maxBytes of frame text; to
// make room the oldest transfers are given up.
class TransferStore {
public:
    struct Outcome {
        enum Kind { kStored, kComplete, kRefused } kind = kStored;
        std::vector<std::string> frames;    // kComplete: the parts, in part order
        std::size_t received = 0;           // parts held for the transfer
        std::vector<std::string> evicted;   // names of transfers given up for room
    };

    explicit TransferStore(std::size_t maxBytes = 64u * 1024 * 1024) : m_maxBytes(maxBytes) {}

    // Stores part index (1..total) of a transfer. The last part (index ==
    // total) completes the transfer, whatever is missing, and removes it.
    Outcome Add(const std::string& owner, const std::string& name, unsigned long index,
                unsigned long total, const std::string& frame);

    std::size_t TransferCount() const { return m_transfers.size(); }
    std::size_t Bytes() const { return m_bytes; }

private:
    struct Transfer {
        std::string name;
        std::map<unsigned long, std::string> parts;
        std::size_t bytes = 0;
        std::uint64_t started = 0;
    };

    std::map<std::string, Transfer> m_transfers;
    std::size_t m_maxBytes;
    std::size_t m_bytes = 0;
    std::uint64_t m_nextStart = 0;
};

}  // namespace refserver

#endif
