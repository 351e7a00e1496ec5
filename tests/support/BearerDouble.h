#ifndef TRANSPORT_TESTS_SUPPORT_BEARER_DOUBLE_H
#define TRANSPORT_TESTS_SUPPORT_BEARER_DOUBLE_H

#include <transport/Platform.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace transport {
namespace test {

// A connection manager driven by the test. Each established connection is an
// event of the wrapped platform, signalled whenever the test sets a status.
// All live connections share one status word.
class BearerDouble : public PlatformWrapper {
public:
    static constexpr std::uint32_t kStatusAttempting = 0x40;

    explicit BearerDouble(Platform& target);
    ~BearerDouble() override;  // closes connections never released

    // Status given to a new connection, which is then signalled at once
    // (default kCmStatusConnected); std::nullopt: the connection stays
    // waiting (status kStatusAttempting, not signalled) until SetStatus.
    void SetEstablishStatus(std::optional<std::uint32_t> status);
    // Makes CmEstablishConnection fail (non-zero, no handle).
    void SetEstablishFails(bool fails);
    // Sets the status of the live connections and signals them; kept for
    // connections established later only through SetEstablishStatus.
    void SetStatus(std::uint32_t status);
    void SetGuid(const Guid& guid);

    std::uint32_t Status() const;
    int EstablishCount() const;  // calls, failed ones included
    int ReleaseCount() const;    // successful releases
    int MapUrlCount() const;
    std::size_t LiveConnections() const;
    Handle CurrentConnection() const;  // the newest live connection, or null
    std::string LastUrl() const;
    ConnectionInfo LastInfo() const;
    // Real-time waits for the counters.
    bool WaitForEstablishCount(int n, std::uint32_t realTimeoutMs) const;
    bool WaitForReleaseCount(int n, std::uint32_t realTimeoutMs) const;

    int CmMapUrl(const char* url, Guid* network) override;
    Handle CmApiReadyEvent() override;
    int CmEstablishConnection(const ConnectionInfo& info, Handle* connection) override;
    int CmConnectionStatus(Handle connection, std::uint32_t* status) override;
    int CmReleaseConnection(Handle connection, std::uint32_t flags) override;

private:
    bool IsLiveLocked(Handle connection) const;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::optional<std::uint32_t> establishStatus_{kCmStatusConnected};
    bool establishFails_ = false;
    std::uint32_t status_ = 0;
    Guid guid_{0x5eb1a7e5, 0x0d0b, 0x4c1e, {0x8a, 0x11, 0x7e, 0x57, 0x00, 0x00, 0x00, 0x01}};
    std::vector<Handle> live_;
    int establishCount_ = 0;
    int releaseCount_ = 0;
    int mapUrlCount_ = 0;
    std::string lastUrl_;
    ConnectionInfo lastInfo_{};
};

}  // namespace test
}  // namespace transport

#endif
