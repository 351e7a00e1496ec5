#ifndef TRANSPORT_BENCH_E2E_SESSION_H
#define TRANSPORT_BENCH_E2E_SESSION_H

#include <transport/NetClient.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// What the clients' handler has seen, for all clients of the process (the
// handler is a plain function and cannot tell clients apart).
struct HandlerCounts {
    std::uint64_t logins;   // log-in answers delivered
    std::uint64_t results;  // delivery results of sent messages (information 1 or error 7)
    std::uint64_t errors;   // other errors (refusal, reconnection limit)
};

HandlerCounts Counts();
// Steady-clock time of the latest delivery result, in nanoseconds.
std::int64_t LastResultNs();
std::int64_t NowNs();

// Records the time of each delivery result from now on, up to capacity of
// them; TakeResultTimes stops recording and returns them (nanoseconds).
void RecordResultTimes(std::size_t capacity);
std::vector<std::int64_t> TakeResultTimes();

// Waits until the handler has seen at least `logins` log-in answers or
// `results` delivery results (whichever is given, the other 0); false on
// time-out.
bool WaitForLogins(std::uint64_t logins, std::chrono::milliseconds timeout);
bool WaitForResults(std::uint64_t results, std::chrono::milliseconds timeout);

// Installs the handler, opens the client on 127.0.0.1 (port 800, which the
// platform maps) and logs in. Does not wait for the answer.
bool OpenAndLogin(CNetClient& client);

// A message whose frame has exactly frameLength characters (id 20, one text
// parameter), priority 2.
NetMessage FillerMessage(std::size_t frameLength);

}  // namespace bench

#endif
