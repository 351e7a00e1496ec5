#ifndef TRANSPORT_BENCH_E2E_SERVER_H
#define TRANSPORT_BENCH_E2E_SERVER_H

#include <sys/types.h>

#include <cstdint>

namespace bench {

// The benchmark's answer server, in a child process of its own so that the
// client's CPU time, memory and descriptors are measured alone. It listens on
// 127.0.0.1 and answers every complete frame at once:
//   log-in (id 1)       -> "<g44>1<p>x</p><p>y</p></g44>"
//   keep-alive (id 12)  -> "<g44>12<p>Keep-Alive</p></g44>"
//   anything else       -> "<g44>7<p>1</p></g44>"
// Fork it before the process starts any thread.
struct ServerProcess {
    pid_t pid = -1;
    std::uint16_t port = 0;
};

// Starts the server; false when it could not listen.
bool StartServer(ServerProcess* server);
void StopServer(ServerProcess* server);

}  // namespace bench

#endif
