#ifndef TRANSPORT_NET_CLIENT_PARAMS_H
#define TRANSPORT_NET_CLIENT_PARAMS_H

#include <cstddef>
#include <cstdint>

// The record an application fills and passes to Open, which copies all 812
// bytes. Its layout is part of the interface. Host entries are host names or
// dotted IPv4 addresses, each with a port of its own if wanted ("name:8800",
// "[address]:8800"; otherwise the server's port 800); an empty entry is passed over.
struct NetClientParams {
    char szHost1[256];
    char szHost2[16];
    char szHost3[256];
    char szHost4[16];
    char szBrowseUrl[256];       // target of the Internet probe: dotted address or URL
    std::uint32_t dwReserved;
    std::uint32_t nMaxReconCount;  // reconnection cycles before error 11
    std::uint32_t dwReconDelay;    // ms: pause after a pass over the hosts, bearer reconnect delay
};

static_assert(sizeof(NetClientParams) == 812, "NetClientParams is 812 bytes");
static_assert(offsetof(NetClientParams, szHost1) == 0, "szHost1 at 0");
static_assert(offsetof(NetClientParams, szHost2) == 256, "szHost2 at 256");
static_assert(offsetof(NetClientParams, szHost3) == 272, "szHost3 at 272");
static_assert(offsetof(NetClientParams, szHost4) == 528, "szHost4 at 528");
static_assert(offsetof(NetClientParams, szBrowseUrl) == 544, "szBrowseUrl at 544");
static_assert(offsetof(NetClientParams, dwReserved) == 800, "dwReserved at 800");
static_assert(offsetof(NetClientParams, nMaxReconCount) == 804, "nMaxReconCount at 804");
static_assert(offsetof(NetClientParams, dwReconDelay) == 808, "dwReconDelay at 808");

#endif
