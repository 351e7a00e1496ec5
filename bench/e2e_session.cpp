#include "e2e_session.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace bench {
namespace {

std::atomic<std::uint64_t> g_logins{0};
std::atomic<std::uint64_t> g_results{0};
std::atomic<std::uint64_t> g_errors{0};
std::atomic<std::int64_t> g_lastResultNs{0};
// What a waiter waits for: the handler only takes the lock and notifies when
// a count reaches it, so that a burst of answers costs no wake-ups.
std::atomic<std::uint64_t> g_loginTarget{~0ull};
std::atomic<std::uint64_t> g_resultTarget{~0ull};
// Result times, written by the handler while recording.
std::vector<std::int64_t> g_resultTimes;
std::atomic<std::size_t> g_resultTimesUsed{0};
std::atomic<bool> g_recording{false};
std::mutex g_mutex;
std::condition_variable g_changed;

void Notify() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_changed.notify_all();
}

bool OnPackage(NetPackage* package) {
    if (package == nullptr) return true;
    if (package->m_nKind == NetPackage::KIND_MESSAGE) {
        const auto* message = static_cast<const NetMessage*>(package->m_pBody);
        if (message != nullptr && message->GetId() == 1) {
            if (g_logins.fetch_add(1) + 1 >= g_loginTarget.load()) Notify();
        }
        return true;
    }
    bool result = package->m_nKind == NetPackage::KIND_INFORMATION;
    if (package->m_nKind == NetPackage::KIND_ERROR) {
        const auto* error = static_cast<const NetError*>(package->m_pBody);
        result = error != nullptr && error->m_nCode == 7;
        if (!result) {
            g_errors.fetch_add(1);
            Notify();
            return true;
        }
    }
    if (result) {
        const std::int64_t now = NowNs();
        g_lastResultNs.store(now);
        if (g_recording.load()) {
            const std::size_t at = g_resultTimesUsed.fetch_add(1);
            if (at < g_resultTimes.size()) g_resultTimes[at] = now;
        }
        if (g_results.fetch_add(1) + 1 >= g_resultTarget.load()) Notify();
    }
    return true;
}

bool WaitFor(std::atomic<std::uint64_t>& count, std::atomic<std::uint64_t>& target,
             std::uint64_t wanted, std::chrono::milliseconds timeout) {
    target.store(wanted);
    std::unique_lock<std::mutex> lock(g_mutex);
    const bool ok = g_changed.wait_for(lock, timeout, [&] { return count.load() >= wanted; });
    target.store(~0ull);
    return ok;
}

}  // namespace

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

HandlerCounts Counts() { return {g_logins.load(), g_results.load(), g_errors.load()}; }

std::int64_t LastResultNs() { return g_lastResultNs.load(); }

void RecordResultTimes(std::size_t capacity) {
    g_recording.store(false);
    g_resultTimes.assign(capacity, 0);
    g_resultTimesUsed.store(0);
    g_recording.store(true);
}

std::vector<std::int64_t> TakeResultTimes() {
    g_recording.store(false);
    std::vector<std::int64_t> times = g_resultTimes;
    times.resize(std::min(g_resultTimesUsed.load(), times.size()));
    return times;
}

bool WaitForLogins(std::uint64_t logins, std::chrono::milliseconds timeout) {
    return WaitFor(g_logins, g_loginTarget, logins, timeout);
}

bool WaitForResults(std::uint64_t results, std::chrono::milliseconds timeout) {
    return WaitFor(g_results, g_resultTarget, results, timeout);
}

bool OpenAndLogin(CNetClient& client) {
    NetClientParams params;
    std::memset(&params, 0, sizeof(params));
    std::strcpy(params.szHost1, "127.0.0.1");
    std::strcpy(params.szBrowseUrl, "127.0.0.1");
    params.nMaxReconCount = 5;
    params.dwReconDelay = 500;
    client.SetNetHandler(&OnPackage);
    if (!client.Open(params)) return false;
    return client.Login("bench", "secret", "", 0, "", "");
}

NetMessage FillerMessage(std::size_t frameLength) {
    const std::string text(frameLength > 20 ? frameLength - 20 : 0, 'm');
    NetMessage message;
    message.SetId(20);
    message.SetPriority(2);
    message.GetParams().AddTail(text.c_str(), static_cast<unsigned long>(text.size() + 1));
    return message;
}

}  // namespace bench
