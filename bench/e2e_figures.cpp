// The end-to-end measurements. Times are taken with the steady clock on the
// application's side; the server runs in its own process.

#include "e2e_figures.h"

#include <transport/NetClient.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "e2e_platform.h"
#include "e2e_process.h"
#include "e2e_raw.h"
#include "e2e_session.h"

namespace bench {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::size_t kSmallFrame = 60;
constexpr std::size_t kBigFrame = 2500;

void Figure(const char* name, double value) {
    std::printf("figure %s %.6g\n", name, value);
    std::fflush(stdout);
}

double Percentile(std::vector<std::int64_t> times, double p) {
    if (times.empty()) return 0;
    std::sort(times.begin(), times.end());
    const auto at = static_cast<std::size_t>(p * static_cast<double>(times.size() - 1) + 0.5);
    return static_cast<double>(times[std::min(at, times.size() - 1)]);
}

double Sum(const std::vector<std::int64_t>& times) {
    double sum = 0;
    for (std::int64_t t : times) sum += static_cast<double>(t);
    return sum;
}

// Messages per second as the median gap between consecutive answers gives
// it: on a shared, noisy machine the mean (the plain rate) is dominated by
// other processes' bursts, the median by the exchange itself.
double MedianRate(const std::vector<std::int64_t>& gaps) {
    const double median = Percentile(gaps, 0.50);
    return median > 0 ? 1e9 / median : 0;
}

// CPU time of this process (the clients; the server is another process).
std::int64_t CpuNs() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

std::vector<std::int64_t> Gaps(const std::vector<std::int64_t>& stamps) {
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < stamps.size(); ++i) gaps.push_back(stamps[i] - stamps[i - 1]);
    return gaps;
}

// The client's platform must outlive it; both go together.
struct Session {
    explicit Session(std::uint16_t port, std::uint32_t factor = 1)
        : platform(transport::DefaultPlatform(), port, factor), client(platform) {}
    BenchPlatform platform;
    CNetClient client;
};

bool LogIn(Session& session) {
    const std::uint64_t before = Counts().logins;
    if (!OpenAndLogin(session.client)) return false;
    return WaitForLogins(before + 1, seconds(10));
}

// Sends count copies of message at once and returns the time from the first
// Send to the last delivery result, in nanoseconds (0 on time-out).
std::int64_t QueueBurst(CNetClient& client, const NetMessage& message, std::size_t count,
                        std::uint64_t expectedResults) {
    const std::uint64_t before = Counts().results;
    const std::int64_t start = NowNs();
    for (std::size_t i = 0; i < count; ++i) client.Send(&message);
    if (!WaitForResults(before + expectedResults, seconds(120))) return 0;
    return LastResultNs() - start;
}

// QueueBurst, also giving the gaps between consecutive results.
std::int64_t RecordedBurst(CNetClient& client, const NetMessage& message, std::size_t count,
                           std::uint64_t expectedResults, std::vector<std::int64_t>* gaps) {
    RecordResultTimes(expectedResults);
    const std::int64_t elapsed = QueueBurst(client, message, count, expectedResults);
    *gaps = Gaps(TakeResultTimes());
    return elapsed;
}

}  // namespace

bool RawFigures(std::uint16_t port, const RunSizes& sizes) {
    RawRoundTrips(port, FillerFrame(kSmallFrame), 200);  // warm-up
    const auto small = RawRoundTrips(port, FillerFrame(kSmallFrame), sizes.roundTrips);
    const auto big = RawRoundTrips(port, FillerFrame(kBigFrame), sizes.bigRoundTrips);
    if (small.empty() || big.empty()) return false;
    Figure("raw_msgs_per_s", static_cast<double>(small.size()) * 1e9 / Sum(small));
    Figure("raw_msgs_per_s_med", MedianRate(small));
    Figure("raw_rtt_p50_us", Percentile(small, 0.50) / 1e3);
    Figure("raw_rtt_p99_us", Percentile(small, 0.99) / 1e3);
    Figure("raw2500_msgs_per_s", static_cast<double>(big.size()) * 1e9 / Sum(big));
    Figure("raw2500_msgs_per_s_med", MedianRate(big));
    const auto probe = ProbeRoundTrips(port, FillerFrame(kSmallFrame), sizes.roundTrips);
    if (probe.empty()) return false;
    Figure("probe_msgs_per_s", static_cast<double>(probe.size()) * 1e9 / Sum(probe));
    Figure("probe_msgs_per_s_med", MedianRate(probe));
    return true;
}

bool LibraryFigures(std::uint16_t port, const RunSizes& sizes) {
    const std::uint64_t resultsBefore = Counts().results;
    Session session(port);
    if (!LogIn(session)) {
        std::fprintf(stderr, "library: log-in failed\n");
        return false;
    }
    const NetMessage message = FillerMessage(kSmallFrame);
    QueueBurst(session.client, message, 200, 200);  // warm-up

    // (b) A full queue: every message waits for the one before to be answered.
    std::vector<std::int64_t> gaps;
    const std::int64_t burst =
        RecordedBurst(session.client, message, sizes.roundTrips, sizes.roundTrips, &gaps);
    if (burst <= 0) {
        std::fprintf(stderr, "library: queue burst timed out\n");
        return false;
    }
    Figure("lib_msgs_per_s",
           static_cast<double>(sizes.roundTrips) * 1e9 / static_cast<double>(burst));
    Figure("lib_msgs_per_s_med", MedianRate(gaps));

    // The same with frames as long as a request may be, for the id 10
    // transfer's reference.
    const NetMessage big = FillerMessage(kBigFrame);
    const std::int64_t bigBurst =
        RecordedBurst(session.client, big, sizes.bigRoundTrips, sizes.bigRoundTrips, &gaps);
    if (bigBurst <= 0) return false;
    Figure("lib2500_msgs_per_s",
           static_cast<double>(sizes.bigRoundTrips) * 1e9 / static_cast<double>(bigBurst));
    Figure("lib2500_msgs_per_s_med", MedianRate(gaps));

    // (b) One message at a time: Send to the delivery result at the handler.
    std::vector<std::int64_t> single;
    single.reserve(sizes.singleMessages);
    for (std::size_t i = 0; i < sizes.singleMessages; ++i) {
        const std::uint64_t before = Counts().results;
        const std::int64_t start = NowNs();
        session.client.Send(&message);
        if (!WaitForResults(before + 1, seconds(10))) return false;
        single.push_back(LastResultNs() - start);
    }
    Figure("lib_rtt_p50_us", Percentile(single, 0.50) / 1e3);
    Figure("lib_rtt_p99_us", Percentile(single, 0.99) / 1e3);

    // (c) An id 10 object: parts of 2048 Base64 characters, one at a time.
    std::vector<unsigned char> object(sizes.objectBytes);
    std::mt19937 random(11);
    for (auto& b : object) b = static_cast<unsigned char>(random());
    NetMessage transfer;
    transfer.SetId(10);
    transfer.SetPriority(2);
    transfer.GetParams().AddTail("object.bin", 11);
    transfer.GetParams().AddTail(object.data(), static_cast<unsigned long>(object.size()));
    const std::size_t textLength = (object.size() + 2) / 3 * 4 + 1;  // with its zero byte
    const std::size_t parts = (textLength + 2047) / 2048;
    const std::int64_t transferNs = RecordedBurst(session.client, transfer, 1, parts, &gaps);
    if (transferNs <= 0) {
        std::fprintf(stderr, "library: id 10 transfer timed out\n");
        return false;
    }
    Figure("lib_id10_mb_per_s",
           static_cast<double>(object.size()) * 1e3 / static_cast<double>(transferNs));
    // Each part but the last carries 1536 bytes of the object.
    Figure("lib_id10_mb_per_s_med", MedianRate(gaps) * 1536 / 1e6);
    // Every message of this part answered, warm-up included: what bench/profile
    // divides system calls and instructions by.
    Figure("lib_messages", static_cast<double>(Counts().results - resultsBefore));
    session.client.Close(true);
    return true;
}

bool PairedFigures(std::uint16_t port, const RunSizes& sizes) {
    Session session(port);
    if (!LogIn(session)) {
        std::fprintf(stderr, "paired: log-in failed\n");
        return false;
    }
    const NetMessage message = FillerMessage(kSmallFrame);
    const std::string frame = FillerFrame(kSmallFrame);
    const std::string bigFrame = FillerFrame(kBigFrame);
    QueueBurst(session.client, message, 200, 200);  // warm-up

    std::vector<std::uint8_t> object(sizes.blockObjectBytes);
    std::mt19937 random(17);
    for (auto& b : object) b = static_cast<std::uint8_t>(random());
    NetMessage transfer;
    transfer.SetId(10);
    transfer.SetPriority(2);
    transfer.GetParams().AddTail("object.bin", 11);
    transfer.GetParams().AddTail(object.data(), static_cast<unsigned long>(object.size()));
    const std::size_t parts = ((object.size() + 2) / 3 * 4 + 1 + 2047) / 2048;

    std::vector<std::int64_t> rate;    // R, per block, in millionths
    std::vector<std::int64_t> probe;   // the probe over raw
    std::vector<std::int64_t> p50;     // single message p50 over raw p50
    std::vector<std::int64_t> id10;    // id 10 over 1536 B x raw 2500-byte rate
    std::vector<std::int64_t> cpu;     // the library's CPU per message over raw's
    constexpr double kScale = 1e6;
    for (std::size_t block = 0; block < sizes.pairedBlocks; ++block) {
        const std::int64_t rawStart = CpuNs();
        const auto raw = RawRoundTrips(port, frame, sizes.blockMessages);
        const std::int64_t rawCpu = CpuNs() - rawStart;
        const auto hands = ProbeRoundTrips(port, frame, sizes.blockMessages);
        std::vector<std::int64_t> gaps;
        const std::int64_t libraryStart = CpuNs();
        if (raw.empty() || hands.empty() ||
            RecordedBurst(session.client, message, sizes.blockMessages, sizes.blockMessages,
                          &gaps) <= 0) {
            std::fprintf(stderr, "paired: block %zu failed\n", block);
            return false;
        }
        // The same number of messages each way.
        cpu.push_back(static_cast<std::int64_t>(kScale * static_cast<double>(CpuNs() - libraryStart) /
                                                static_cast<double>(std::max<std::int64_t>(rawCpu, 1))));
        const double rawRate = MedianRate(raw);
        rate.push_back(static_cast<std::int64_t>(kScale * MedianRate(gaps) / rawRate));
        probe.push_back(static_cast<std::int64_t>(kScale * MedianRate(hands) / rawRate));

        const auto rawSingles = RawRoundTrips(port, frame, sizes.blockSingles);
        std::vector<std::int64_t> single;
        for (std::size_t i = 0; i < sizes.blockSingles; ++i) {
            const std::uint64_t before = Counts().results;
            const std::int64_t start = NowNs();
            session.client.Send(&message);
            if (!WaitForResults(before + 1, seconds(10)) || rawSingles.empty()) {
                std::fprintf(stderr, "paired: single message of block %zu failed\n", block);
                return false;
            }
            single.push_back(LastResultNs() - start);
        }
        p50.push_back(static_cast<std::int64_t>(kScale * Percentile(single, 0.50) /
                                                Percentile(rawSingles, 0.50)));

        const auto rawBig = RawRoundTrips(port, bigFrame, parts);
        if (rawBig.empty() || RecordedBurst(session.client, transfer, 1, parts, &gaps) <= 0) {
            std::fprintf(stderr, "paired: id 10 of block %zu failed\n", block);
            return false;
        }
        id10.push_back(static_cast<std::int64_t>(kScale * MedianRate(gaps) / MedianRate(rawBig)));
    }
    Figure("paired_roundtrip_ratio", Percentile(rate, 0.50) / kScale);
    Figure("paired_probe_ratio", Percentile(probe, 0.50) / kScale);
    Figure("paired_p50_ratio", Percentile(p50, 0.50) / kScale);
    Figure("paired_id10_ratio", Percentile(id10, 0.50) / kScale);
    Figure("paired_cpu_ratio", Percentile(cpu, 0.50) / kScale);
    session.client.Close(true);
    return true;
}

bool IdleFigures(std::uint16_t port, const RunSizes& sizes) {
    const std::uint32_t factor = sizes.idleClockFactor;
    BenchPlatform platform(transport::DefaultPlatform(), port, factor);
    std::vector<std::unique_ptr<CNetClient>> clients;
    const std::uint64_t before = Counts().logins;
    for (std::size_t i = 0; i < sizes.idleClients; ++i) {
        clients.push_back(std::make_unique<CNetClient>(platform));
        if (!OpenAndLogin(*clients.back())) return false;
    }
    if (!WaitForLogins(before + sizes.idleClients, seconds(30))) {
        std::fprintf(stderr, "idle: log-ins timed out\n");
        return false;
    }
    // One simulated minute to settle (the first keep-alive cycle), then measure.
    const auto minute = milliseconds(60000 / factor);
    std::this_thread::sleep_for(minute);
    const std::uint64_t wakeStart = platform.WakeUps();
    const ProcessUsage start = ReadUsage();
    std::this_thread::sleep_for(minute * sizes.idleMinutes);
    const ProcessUsage end = ReadUsage();
    const std::uint64_t wakeEnd = platform.WakeUps();
    const double clientMinutes = static_cast<double>(sizes.idleClients) * sizes.idleMinutes;
    Figure("idle_wakeups_per_client_min", static_cast<double>(wakeEnd - wakeStart) / clientMinutes);
    Figure("idle_cpu_ms_per_client_min", (end.cpuSeconds - start.cpuSeconds) * 1e3 / clientMinutes);
    Figure("idle_ctxsw_per_client_min",
           static_cast<double>(end.contextSwitches - start.contextSwitches) / clientMinutes);
    for (auto& client : clients) client->Close(true);
    return true;
}

bool CapacityFigures(std::uint16_t port, const RunSizes& sizes) {
    BenchPlatform platform(transport::DefaultPlatform(), port, 1);
    std::vector<std::unique_ptr<CNetClient>> clients;
    clients.reserve(sizes.capacityClients);
    const std::uint64_t limit = DescriptorLimit();
    const ProcessUsage start = ReadUsage();
    const std::uint64_t before = Counts().logins;
    const std::int64_t startNs = NowNs();

    // The first client tells what one costs in descriptors; the others are
    // opened while the limit leaves room for them (and for reading /proc).
    constexpr std::uint64_t kReserve = 16;
    std::uint64_t perClient = 0;
    std::uint64_t room = sizes.capacityClients;
    bool limited = false;
    while (clients.size() < sizes.capacityClients && clients.size() < room) {
        clients.push_back(std::make_unique<CNetClient>(platform));
        if (!OpenAndLogin(*clients.back())) {
            std::fprintf(stderr, "capacity: client %zu did not open\n", clients.size());
            break;
        }
        if (clients.size() == 1) {
            WaitForLogins(before + 1, seconds(10));
            perClient = ReadUsage().descriptors - start.descriptors;
            if (perClient > 0 && limit > start.descriptors + kReserve) {
                room = (limit - start.descriptors - kReserve) / perClient;
                limited = room < sizes.capacityClients;
            }
        }
    }
    const std::size_t opened = clients.size();
    WaitForLogins(before + opened, seconds(60));
    const std::uint64_t loggedIn = Counts().logins - before;
    const double loginSeconds = static_cast<double>(NowNs() - startNs) / 1e9;
    // Let every thread reach its idle wait before memory is read.
    std::this_thread::sleep_for(milliseconds(500));
    const ProcessUsage end = ReadUsage();
    if (limited) {
        std::fprintf(stderr,
                     "capacity: the descriptor limit (%llu, %llu per client) holds %zu clients\n",
                     static_cast<unsigned long long>(limit),
                     static_cast<unsigned long long>(perClient), opened);
    }
    Figure("clients", static_cast<double>(loggedIn));
    Figure("fd_limit", static_cast<double>(limit));
    if (loggedIn > 0) {
        const auto n = static_cast<double>(loggedIn);
        Figure("client_rss_kib",
               static_cast<double>(end.residentBytes - start.residentBytes) / 1024 / n);
        Figure("client_vsz_kib",
               static_cast<double>(end.virtualBytes - start.virtualBytes) / 1024 / n);
        Figure("client_fds", static_cast<double>(end.descriptors - start.descriptors) / n);
        Figure("client_threads", static_cast<double>(end.threads - start.threads) / n);
        Figure("clients_login_s", loginSeconds);
    }
    for (auto& client : clients) client->Close(true);
    clients.clear();
    return loggedIn == sizes.capacityClients;
}

}  // namespace bench
