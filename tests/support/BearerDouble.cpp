#include "support/BearerDouble.h"

#include <algorithm>
#include <chrono>

namespace transport {
namespace test {
namespace {
constexpr int kFailed = -1;
}  // namespace

BearerDouble::BearerDouble(Platform& target) : PlatformWrapper(target) {}

BearerDouble::~BearerDouble() {
    for (Handle connection : live_) target().CloseHandle(connection);
}

void BearerDouble::SetEstablishStatus(std::optional<std::uint32_t> status) {
    std::lock_guard<std::mutex> lock(mutex_);
    establishStatus_ = status;
}

void BearerDouble::SetEstablishFails(bool fails) {
    std::lock_guard<std::mutex> lock(mutex_);
    establishFails_ = fails;
}

void BearerDouble::SetStatus(std::uint32_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    // The status is written before the handles are signalled: a woken
    // waiter reads the new word.
    for (Handle connection : live_) target().SetEvent(connection);
}

void BearerDouble::SetGuid(const Guid& guid) {
    std::lock_guard<std::mutex> lock(mutex_);
    guid_ = guid;
}

std::uint32_t BearerDouble::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

int BearerDouble::EstablishCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return establishCount_;
}

int BearerDouble::ReleaseCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return releaseCount_;
}

int BearerDouble::MapUrlCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mapUrlCount_;
}

std::size_t BearerDouble::LiveConnections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.size();
}

Handle BearerDouble::CurrentConnection() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.empty() ? nullptr : live_.back();
}

std::string BearerDouble::LastUrl() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastUrl_;
}

ConnectionInfo BearerDouble::LastInfo() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastInfo_;
}

bool BearerDouble::WaitForEstablishCount(int n, std::uint32_t realTimeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                             [&] { return establishCount_ >= n; });
}

bool BearerDouble::WaitForReleaseCount(int n, std::uint32_t realTimeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(realTimeoutMs),
                             [&] { return releaseCount_ >= n; });
}

int BearerDouble::CmMapUrl(const char* url, Guid* network) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++mapUrlCount_;
    lastUrl_ = url != nullptr ? url : "";
    if (network == nullptr) return kFailed;
    *network = guid_;
    return 0;
}

Handle BearerDouble::CmApiReadyEvent() {
    Handle ready = target().CreateEvent();
    if (ready != nullptr) target().SetEvent(ready);
    return ready;
}

int BearerDouble::CmEstablishConnection(const ConnectionInfo& info, Handle* connection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++establishCount_;
        lastInfo_ = info;
        if (connection != nullptr) *connection = nullptr;
        if (!establishFails_ && connection != nullptr) {
            Handle created = target().CreateEvent();
            if (created != nullptr) {
                live_.push_back(created);
                status_ = establishStatus_.value_or(kStatusAttempting);
                if (establishStatus_.has_value()) target().SetEvent(created);
                *connection = created;
            }
        }
    }
    changed_.notify_all();
    return connection != nullptr && *connection != nullptr ? 0 : kFailed;
}

int BearerDouble::CmConnectionStatus(Handle connection, std::uint32_t* status) {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool live = IsLiveLocked(connection);
    if (status != nullptr) *status = live ? status_ : 0;
    return live && status != nullptr ? 0 : kFailed;
}

int BearerDouble::CmReleaseConnection(Handle connection, std::uint32_t) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!IsLiveLocked(connection)) return kFailed;
        live_.erase(std::find(live_.begin(), live_.end(), connection));
        ++releaseCount_;
        target().CloseHandle(connection);
    }
    changed_.notify_all();
    return 0;
}

bool BearerDouble::IsLiveLocked(Handle connection) const {
    return connection != nullptr &&
           std::find(live_.begin(), live_.end(), connection) != live_.end();
}

}  // namespace test
}  // namespace transport
