#include "connection/ConnectionWalk.h"

#include <transport/NetClient.h>

namespace transport {

bool NextHost(WalkPosition& position, unsigned hostsSet, bool* wrapped) {
    *wrapped = false;
    ++position.hostIndex;
    if (position.hostIndex >= kHostEntries || position.hostIndex < 0) {
        position.hostIndex = 0;
        ++position.reconCount;
        *wrapped = true;
    }
    return (hostsSet >> position.hostIndex) & 1u;
}

WalkMove NextAttempt(WalkPosition& position, unsigned hostsSet) {
    const int attempt = ++position.attempt;
    if (position.lastConnType != CNetClient::CONNTYPE_NONE) {
        ++position.reconCount;
        return {WalkStep::kSameWay, false};
    }
    if (attempt < kTypesPerHost) {
        position.connType = attempt % kTypesPerHost;
        return {WalkStep::kNextWay, false};
    }
    position.connType = CNetClient::CONNTYPE_DIRECT;
    position.attempt = 0;
    bool wrapped = false;
    if (NextHost(position, hostsSet, &wrapped)) return {WalkStep::kNextHost, wrapped};
    // Come back through the main loop, which moves on to the next entry.
    position.attempt = kTypesPerHost - 1;
    return {WalkStep::kEmptyHost, wrapped};
}

}  // namespace transport
