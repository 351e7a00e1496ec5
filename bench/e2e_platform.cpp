#include "e2e_platform.h"

namespace bench {

namespace {
constexpr std::uint16_t kServerPort = 800;

std::uint16_t NetworkOrder(std::uint16_t port) {
    return static_cast<std::uint16_t>((port >> 8) | (port << 8));
}
}  // namespace

BenchPlatform::BenchPlatform(transport::Platform& target, std::uint16_t serverPort,
                             std::uint32_t factor)
    : PlatformWrapper(target),
      serverPort_(serverPort),
      factor_(factor == 0 ? 1 : factor),
      base_(std::chrono::steady_clock::now()) {}

int BenchPlatform::Connect(transport::SocketHandle socket, const transport::SockAddrIn& address) {
    transport::SockAddrIn mapped = address;
    if (mapped.sin_port == NetworkOrder(kServerPort)) mapped.sin_port = NetworkOrder(serverPort_);
    return PlatformWrapper::Connect(socket, mapped);
}

bool BenchPlatform::HttpGet(const transport::HttpProbeRequest&, std::string* body, int* error,
                            std::string*) {
    if (body != nullptr) *body = "<html></html>";
    if (error != nullptr) *error = 0;
    return true;
}

std::uint32_t BenchPlatform::Scale(std::uint32_t timeoutMs) const {
    if (factor_ == 1 || timeoutMs == transport::kInfinite || timeoutMs == 0) return timeoutMs;
    const std::uint32_t scaled = timeoutMs / factor_;
    return scaled == 0 ? 1 : scaled;
}

std::uint32_t BenchPlatform::Wait(const transport::Handle* handles, std::uint32_t count,
                                  std::uint32_t timeoutMs) {
    const std::uint32_t result = PlatformWrapper::Wait(handles, count, Scale(timeoutMs));
    wakeUps_.fetch_add(1, std::memory_order_relaxed);
    return result;
}

void BenchPlatform::Sleep(std::uint32_t ms) {
    PlatformWrapper::Sleep(Scale(ms));
    wakeUps_.fetch_add(1, std::memory_order_relaxed);
}

std::uint32_t BenchPlatform::GetTickCount() {
    if (factor_ == 1) return PlatformWrapper::GetTickCount();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - base_);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(elapsed.count()) * factor_);
}

int BenchPlatform::Send(transport::SocketHandle socket, const char* data, std::uint32_t length,
                        std::uint32_t timeoutMs, std::uint32_t* sent) {
    return PlatformWrapper::Send(socket, data, length, Scale(timeoutMs), sent);
}

int BenchPlatform::Receive(transport::SocketHandle socket, char* buffer, std::uint32_t capacity,
                           std::uint32_t timeoutMs, std::uint32_t* received) {
    return PlatformWrapper::Receive(socket, buffer, capacity, Scale(timeoutMs), received);
}

}  // namespace bench
