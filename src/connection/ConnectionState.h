#ifndef TRANSPORT_CONNECTION_CONNECTION_STATE_H
#define TRANSPORT_CONNECTION_CONNECTION_STATE_H

#include <transport/NetClient.h>

#include <atomic>
#include <cstdint>

namespace transport {

// Moves the connection state to `to` unless it is CONN_CLOSED, in one step:
// Close and a server refusal may write CONN_CLOSED on another thread at any
// moment, and a plain check-then-store would reopen a closed client.
// Returns false when the state was CONN_CLOSED (and stays so).
inline bool SetStateUnlessClosed(std::atomic<int>& state, int to) {
    int current = state.load();
    while (current != CNetClient::CONN_CLOSED) {
        if (state.compare_exchange_weak(current, to)) return true;
    }
    return false;
}

// Elapsed milliseconds between two tick counts, correct across the wrap of
// the 32-bit counter.
inline std::uint32_t TicksSince(std::uint32_t now, std::uint32_t then) { return now - then; }

}  // namespace transport

#endif
