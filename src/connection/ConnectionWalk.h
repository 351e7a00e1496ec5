#ifndef TRANSPORT_CONNECTION_CONNECTION_WALK_H
#define TRANSPORT_CONNECTION_CONNECTION_WALK_H

// The reconnection walk as a pure policy: after a failed socket-level
// attempt, which host entry and which way to try next. Three ways per host
// (direct, tunnel, HTTP POST), then the next host entry; a full pass over
// the four entries is one reconnection cycle. Once a way has worked, the
// walk keeps host and way and only counts cycles.
namespace transport {

constexpr int kTypesPerHost = 3;
constexpr int kHostEntries = 4;

// The client's walk fields, as one value.
struct WalkPosition {
    int attempt;       // m_nAttemptCount: attempts on the current host
    int hostIndex;     // m_nHostIndex, 0 to 3
    int reconCount;    // m_nReconCount
    int connType;      // m_nConnType
    int lastConnType;  // m_nLastConnType: the way that last worked, or -1
};

enum class WalkStep {
    kSameWay,    // a way that worked before: try it again
    kNextWay,    // the next way to the same host
    kNextHost,   // the first way to the next host entry (hostIndex)
    kEmptyHost,  // the next entry is empty: go round the main loop to pass it
};

struct WalkMove {
    WalkStep step;
    bool wrapped;  // the walk went past the fourth entry: pause before going on
};

// hostsSet has bit i set when host entry i is not empty.
// Moves to the next host entry and says whether it is set, and whether a
// full pass ended (a cycle counted).
bool NextHost(WalkPosition& position, unsigned hostsSet, bool* wrapped);

// The step after a failed attempt.
WalkMove NextAttempt(WalkPosition& position, unsigned hostsSet);

}  // namespace transport

#endif
