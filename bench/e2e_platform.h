#ifndef TRANSPORT_BENCH_E2E_PLATFORM_H
#define TRANSPORT_BENCH_E2E_PLATFORM_H

#include <transport/Platform.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace bench {

// The clients' platform in the benchmark: the default one, with
// - connects to the fixed server port 800 sent to the benchmark server's port;
// - the Internet probe answered at once (the benchmark measures the server
//   traffic, not a web page);
// - optionally a clock that runs `factor` times faster (waits, sleeps, socket
//   time-outs and the tick count scaled together), so that minutes of idle
//   time pass in seconds;
// - a count of the returns of Wait and Sleep: each is one wake-up of a
//   client thread.
class BenchPlatform : public transport::PlatformWrapper {
public:
    BenchPlatform(transport::Platform& target, std::uint16_t serverPort, std::uint32_t factor = 1);

    std::uint64_t WakeUps() const { return wakeUps_.load(std::memory_order_relaxed); }

    int Connect(transport::SocketHandle socket, const transport::SockAddrIn& address) override;
    bool HttpGet(const transport::HttpProbeRequest& request, std::string* body, int* error,
                 std::string* step) override;
    std::uint32_t Wait(const transport::Handle* handles, std::uint32_t count,
                       std::uint32_t timeoutMs) override;
    void Sleep(std::uint32_t ms) override;
    std::uint32_t GetTickCount() override;
    // Trace lines are not looked at here: the default platform's answer.
    bool TraceEnabled() override { return target().TraceEnabled(); }
    int Send(transport::SocketHandle socket, const char* data, std::uint32_t length,
             std::uint32_t timeoutMs, std::uint32_t* sent) override;
    int Receive(transport::SocketHandle socket, char* buffer, std::uint32_t capacity,
                std::uint32_t timeoutMs, std::uint32_t* received) override;

private:
    std::uint32_t Scale(std::uint32_t timeoutMs) const;

    const std::uint16_t serverPort_;
    const std::uint32_t factor_;
    const std::chrono::steady_clock::time_point base_;
    std::atomic<std::uint64_t> wakeUps_{0};
};

}  // namespace bench

#endif
