// Soak: 10,000 messages of mixed priorities and sizes (plain messages from a
// few bytes to 6000 characters, and binary objects sent as numbered parts)
// go through a fault proxy that cuts the connection at least 50 times, in the
// middle of frames either way and between them. Checked at the end:
//
//   - every message (every part of every object) reached the server at least
//     once, whole: the server checks each payload against what was sent;
//   - per priority, the server saw the messages in the order they were sent;
//   - copies beyond the first are at most one per cut;
//   - every message was answered (the application got its delivery result);
//   - the client's memory stayed flat: the resident size is measured at ten
//     checkpoints (printed, and kept as test properties).
//
// TRANSPORT_SOAK_MESSAGES scales the run (for a run under valgrind, say); the
// number of cuts scales with it.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <transport/NetClient.h>

#include "message/MessageQueue.h"
#include "support/BearerDouble.h"
#include "support/FakeServer.h"
#include "support/FastClockPlatform.h"
#include "support/FaultProxy.h"
#include "support/LeanServer.h"
#include "support/PortMapPlatform.h"

namespace soak {
namespace {

using transport::test::FaultProxy;
using transport::test::LeanServer;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kDefaultMessages = 10000;
constexpr std::size_t kDefaultCuts = 60;  // at least 50 are required
// Unanswered messages the application keeps queued at most.
constexpr std::size_t kWindow = 64;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// Valgrind keeps freed blocks aside too; it runs the program with its own
// libraries preloaded.
bool UnderValgrind() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "vgpreload") != nullptr;
}

std::size_t MessageCount() {
    const char* text = std::getenv("TRANSPORT_SOAK_MESSAGES");
    const long n = text != nullptr ? std::atol(text) : 0;
    return n > 0 ? static_cast<std::size_t>(n) : kDefaultMessages;
}

// ---- What is sent: everything follows from the sequence number ----

std::uint32_t Mix(std::uint32_t x) {
    x ^= x >> 16;
    x *= 0x7feb352dU;
    x ^= x >> 15;
    x *= 0x846ca68bU;
    x ^= x >> 16;
    return x;
}

struct Plan {
    bool object;       // an id 10 object in parts, else a plain message
    int priority;      // 1 to 4
    std::size_t size;  // payload bytes
    int parts;         // queue entries it becomes
};

int PartsFor(std::size_t objectSize) {
    const std::size_t encoded = (objectSize + 2) / 3 * 4 + 1;  // with its zero byte
    return static_cast<int>((encoded + 2047) / 2048);
}

Plan PlanFor(std::size_t seq) {
    const std::uint32_t h = Mix(static_cast<std::uint32_t>(seq) + 17);
    Plan p{};
    p.object = seq % 20 == 7;
    p.priority = 1 + static_cast<int>(h % 4);
    const std::uint32_t r = (h >> 8) % 100;
    if (p.object) {
        p.size = 1000 + (h >> 12) % 5000;
        p.parts = PartsFor(p.size);
    } else {
        p.size = r < 70 ? 1 + (h >> 12) % 200 : r < 90 ? 200 + (h >> 12) % 2200 : 2400 + (h >> 12) % 3600;
        p.parts = 1;
    }
    return p;
}

char TextByte(std::size_t seq, std::size_t i) { return static_cast<char>('a' + (seq * 31 + i * 7) % 26); }
char ObjectByte(std::size_t seq, std::size_t i) {
    return static_cast<char>((seq + i * 13 + i / 256) & 0xFF);
}

std::string Payload(std::size_t seq, const Plan& plan) {
    std::string out(plan.size, '\0');
    for (std::size_t i = 0; i < plan.size; ++i) {
        out[i] = plan.object ? ObjectByte(seq, i) : TextByte(seq, i);
    }
    return out;
}

std::string DecodeBase64(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int held = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else break;
        bits = (bits << 6) | static_cast<unsigned>(v);
        held += 6;
        if (held >= 8) {
            held -= 8;
            out.push_back(static_cast<char>((bits >> held) & 0xFF));
        }
    }
    return out;
}

// "s<seq>" or "o<seq>": the sequence number, or -1.
long SeqOf(std::string_view name) {
    if (name.size() < 2 || (name[0] != 's' && name[0] != 'o')) return -1;
    long seq = 0;
    for (char c : name.substr(1)) {
        if (c < '0' || c > '9') return -1;
        seq = seq * 10 + (c - '0');
    }
    return seq;
}

// "i/n" -> i, or 0.
int PartOf(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) return 0;
    return std::atoi(std::string(text.substr(0, slash)).c_str());
}

// ---- The run's books, sized before the run so they do not grow in it ----

struct Books {
    explicit Books(std::size_t messages) : plans(messages), firstUnit(messages + 1, 0) {
        for (std::size_t s = 0; s < messages; ++s) {
            plans[s] = PlanFor(s);
            firstUnit[s + 1] = firstUnit[s] + static_cast<std::size_t>(plans[s].parts);
        }
        units = firstUnit[messages];
        // Written now, so that its pages are resident before the first measurement.
        arrivals.assign(units * 2 + 1024, 0);
        answers.assign(units, 0);
        seenAtServer.assign(units, 0);
    }

    std::size_t Unit(std::size_t seq, int part) const {
        return firstUnit[seq] + static_cast<std::size_t>(part > 0 ? part - 1 : 0);
    }

    std::vector<Plan> plans;
    std::vector<std::size_t> firstUnit;
    std::size_t units = 0;

    // Server side (server thread).
    std::mutex serverMutex;
    std::vector<std::uint32_t> arrivals;  // units in arrival order, copies included
    std::size_t arrived = 0;
    std::vector<std::uint8_t> seenAtServer;
    std::size_t corrupt = 0;
    std::size_t unknown = 0;
    std::map<std::size_t, std::map<int, std::string>> pieces;  // objects being received

    // Client side (the handler).
    std::mutex clientMutex;
    std::condition_variable answered;
    std::vector<std::uint16_t> answers;
    std::size_t firstAnswers = 0;
    std::size_t allAnswers = 0;
};

std::atomic<Books*> g_books{nullptr};

// The server's handler: checks and books every message frame.
std::string ServerHandler(const LeanServer::Frame& frame) {
    Books* books = g_books.load();
    if (books == nullptr || frame.id == 0 || frame.id == 1 || frame.id == 12) {
        return LeanServer::UsualAnswer(frame);
    }
    Books& b = *books;
    std::lock_guard<std::mutex> lock(b.serverMutex);
    const long seq = frame.params.empty() ? -1 : SeqOf(frame.params[0]);
    if (seq < 0 || static_cast<std::size_t>(seq) >= b.plans.size()) {
        ++b.unknown;
        return LeanServer::UsualAnswer(frame);
    }
    const std::size_t s = static_cast<std::size_t>(seq);
    const Plan& plan = b.plans[s];
    int part = 1;
    if (frame.id == 10 && plan.object && frame.params.size() == 3) {
        part = PartOf(frame.params[1]);
        if (part < 1 || part > plan.parts) {
            ++b.corrupt;
            return LeanServer::UsualAnswer(frame);
        }
        auto& got = b.pieces[s];
        got[part] = std::string(frame.params[2]);
        if (static_cast<int>(got.size()) == plan.parts) {
            std::string joined;
            for (const auto& p : got) joined += p.second;
            if (DecodeBase64(joined) != Payload(s, plan)) ++b.corrupt;
            b.pieces.erase(s);
        }
    } else if (frame.id != static_cast<long>(60 + plan.priority) || plan.object ||
               frame.params.size() != 2 || frame.params[1] != Payload(s, plan)) {
        ++b.corrupt;
    }
    const std::size_t unit = b.Unit(s, part);
    if (b.arrived < b.arrivals.size()) b.arrivals[b.arrived] = static_cast<std::uint32_t>(unit);
    ++b.arrived;
    b.seenAtServer[unit] = 1;
    return LeanServer::UsualAnswer(frame);
}

// The application's handler: books every delivery result by the message it names.
bool ClientHandler(NetPackage* package) {
    if (package->m_nKind != NetPackage::KIND_INFORMATION) return true;
    const auto* info = dynamic_cast<const NetInformation*>(package->m_pBody);
    const auto* named = info != nullptr ? dynamic_cast<const NetMessage*>(info->m_pMessage) : nullptr;
    if (info == nullptr || info->m_nCode != 1 || named == nullptr) return true;
    auto text = [&](int k) {
        void* data = nullptr;
        unsigned long length = 0;
        if (!named->GetParams().GetAt(k, &data, &length) || data == nullptr) return std::string();
        return std::string(static_cast<const char*>(data), strnlen(static_cast<const char*>(data), length));
    };
    Books* books = g_books.load();
    if (books == nullptr) return true;
    Books& b = *books;
    const long seq = SeqOf(text(0));
    if (seq < 0 || static_cast<std::size_t>(seq) >= b.plans.size()) return true;
    const int part = named->GetId() == 10 ? PartOf(text(1)) : 1;
    if (part < 1 || part > b.plans[static_cast<std::size_t>(seq)].parts) return true;
    std::lock_guard<std::mutex> lock(b.clientMutex);
    const std::size_t unit = b.Unit(static_cast<std::size_t>(seq), part);
    if (b.answers[unit]++ == 0) ++b.firstAnswers;
    ++b.allAnswers;
    b.answered.notify_all();
    return true;
}

// Keeps no trace line (the run writes millions); counts the reconnections.
class CountingTrace : public transport::PlatformWrapper {
public:
    using PlatformWrapper::PlatformWrapper;
    void Trace(const char* text, bool) override {
        if (std::strncmp(text, "Reconnecting...", 15) == 0) ++reconnects;
        if (std::strncmp(text, "Response Time Out...", 20) == 0) ++timeOuts;
    }
    std::atomic<std::size_t> reconnects{0};
    std::atomic<std::size_t> timeOuts{0};
};

struct SoakClient : CNetClient {
    using CNetClient::CNetClient;
    int OutputCount() { return m_pOutputQueue->GetItemCount(); }
};

NetMessage MakeMessage(std::size_t seq, const Plan& plan) {
    NetMessage m;
    m.SetPriority(plan.priority);
    NetParamList params;
    const std::string payload = Payload(seq, plan);
    const std::string name = (plan.object ? "o" : "s") + std::to_string(seq);
    params.AddTail(name.c_str(), static_cast<unsigned long>(name.size() + 1));
    if (plan.object) {
        m.SetId(10);
        params.AddTail(payload.data(), static_cast<unsigned long>(payload.size()));
    } else {
        m.SetId(static_cast<unsigned long>(60 + plan.priority));
        params.AddTail(payload.c_str(), static_cast<unsigned long>(payload.size() + 1));
    }
    m.SetParams(params);
    return m;
}

TEST(Soak, TenThousandMessagesThroughFiftyCutsLoseNothingAndMemoryStaysFlat) {
    const std::size_t messages = MessageCount();
    const std::size_t cutsWanted =
        std::max<std::size_t>(5, kDefaultCuts * messages / kDefaultMessages);
    Books books(messages);
    g_books = &books;

    LeanServer server(&ServerHandler);
    FaultProxy proxy(server.Port());
    transport::test::FastClockPlatform clock(transport::DefaultPlatform(), 50);
    transport::test::PortMapPlatform ports(clock);
    transport::test::BearerDouble bearer(ports);
    CountingTrace trace(bearer);
    ports.MapPort(800, proxy.Port());
    transport::test::ClosedPort refused;
    ports.MapPort(80, refused.Port());

    NetClientParams params;
    std::memset(&params, 0, sizeof params);
    std::strcpy(params.szHost1, "127.0.0.1");
    params.nMaxReconCount = 1000000;
    params.dwReconDelay = 500;
    auto client = std::make_unique<SoakClient>(trace);
    client->SetNetHandler(&ClientHandler);
    ASSERT_TRUE(client->Open(params));
    ASSERT_TRUE(client->Login("soak", "secret", nullptr, 1, "", ""));

    // Cuts are spread over the run: the k-th is armed once k / (cuts + 1)
    // of the messages are answered, at a point chosen from k.
    std::atomic<bool> stop{false};
    std::thread cutter([&] {
        std::size_t armed = 0;
        while (!stop && armed < cutsWanted) {
            std::size_t answered;
            {
                std::unique_lock<std::mutex> lock(books.clientMutex);
                books.answered.wait_for(lock, std::chrono::milliseconds(20));
                answered = books.firstAnswers;
            }
            if (answered * (cutsWanted + 1) < (armed + 1) * books.units) continue;
            const std::size_t cutsBefore = proxy.Cut();
            const std::uint32_t h = Mix(static_cast<std::uint32_t>(armed) + 99);
            switch (h % 3) {
                case 0:  // in the middle of what the client writes
                    proxy.DropAfterBytes(FaultProxy::kToServer, 1 + (h >> 4) % 3000);
                    break;
                case 1:  // in the middle of an answer
                    proxy.DropAfterBytes(FaultProxy::kToClient, 1 + (h >> 4) % 40);
                    break;
                default:  // wherever the line is
                    proxy.DropAll();
                    break;
            }
            // The next cut waits until this one has happened.
            while (!stop && proxy.Cut() == cutsBefore) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                if (h % 3 == 2 && proxy.Cut() == cutsBefore) proxy.DropAll();
            }
            ++armed;
        }
    });

    // The application: keeps at most kWindow unanswered entries queued, and
    // measures the resident size at every tenth of the run.
    std::vector<std::pair<std::size_t, std::size_t>> rss;  // answered units, bytes
    rss.reserve(16);
    const auto started = Clock::now();
    const auto deadline = started + std::chrono::minutes(kSanitized ? 12 : 4);
    std::size_t queuedUnits = 0;
    std::size_t nextCheckpoint = 0;
    bool timedOut = false;
    for (std::size_t seq = 0; seq < messages || nextCheckpoint <= 10;) {
        std::size_t answered;
        {
            std::unique_lock<std::mutex> lock(books.clientMutex);
            books.answered.wait_for(lock, std::chrono::milliseconds(50), [&] {
                return seq < messages && queuedUnits < books.firstAnswers + kWindow;
            });
            answered = books.firstAnswers;
        }
        while (nextCheckpoint <= 10 && answered * 10 >= nextCheckpoint * books.units) {
            rss.emplace_back(answered, transport::test::ResidentBytes());
            ++nextCheckpoint;
        }
        if (seq < messages && queuedUnits < answered + kWindow) {
            NetMessage m = MakeMessage(seq, books.plans[seq]);
            client->Send(&m);
            queuedUnits += static_cast<std::size_t>(books.plans[seq].parts);
            ++seq;
        }
        if (Clock::now() > deadline) {
            timedOut = true;
            break;
        }
    }
    stop = true;
    cutter.join();
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    // The last result reaches the handler just before its message is removed.
    for (int i = 0; i < 5000 && client->OutputCount() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int left = client->OutputCount();
    client->Close(false);
    client.reset();
    g_books = nullptr;
    ASSERT_FALSE(timedOut) << books.firstAnswers << " of " << books.units << " answered";

    // ---- The figures ----
    const std::size_t cuts = proxy.Cut();
    std::size_t copies = 0;
    std::size_t unseen = 0;
    std::size_t unanswered = 0;
    for (std::size_t u = 0; u < books.units; ++u) {
        unseen += books.seenAtServer[u] == 0;
        unanswered += books.answers[u] == 0;
    }
    ASSERT_LE(books.arrived, books.arrivals.size()) << "more copies than the books hold";
    copies = books.arrived - (books.units - unseen);
    std::printf("soak: %zu messages (%zu queue entries) in %lld ms, %zu cuts, %zu server "
                "connections, %zu reconnections, %zu copies, %zu answers\n",
                messages, books.units, static_cast<long long>(elapsed.count()), cuts,
                server.Accepted(), trace.reconnects.load(), copies, books.allAnswers);
    for (std::size_t i = 0; i < rss.size(); ++i) {
        std::printf("soak: rss after %6zu answered: %8zu KiB\n", rss[i].first, rss[i].second / 1024);
        ::testing::Test::RecordProperty("rss_kib_" + std::to_string(i * 10) + "pct",
                                        std::to_string(rss[i].second / 1024));
    }
    ::testing::Test::RecordProperty("cuts", std::to_string(cuts));
    ::testing::Test::RecordProperty("copies", std::to_string(copies));

    // ---- What must hold ----
    EXPECT_EQ(left, 0);
    EXPECT_GE(cuts, cutsWanted * 5 / 6);
    EXPECT_EQ(unseen, 0u) << "entries that never reached the server";
    EXPECT_EQ(books.corrupt, 0u) << "entries that reached the server changed";
    EXPECT_EQ(books.unknown, 0u);
    EXPECT_EQ(unanswered, 0u) << "entries the application got no result for";
    EXPECT_LE(copies, cuts) << "more copies than cuts";
    EXPECT_LE(books.allAnswers, books.units + cuts);
    for (std::size_t u = 0; u < books.units; ++u) {
        if (books.answers[u] > 2) ADD_FAILURE() << "entry " << u << " answered " << books.answers[u] << " times";
    }

    // Per priority the server saw the entries in the order they were queued;
    // a copy comes right after the entry it repeats (within its priority).
    std::vector<std::vector<std::uint32_t>> expected(5);
    std::vector<int> priorityOfUnit(books.units);
    for (std::size_t s = 0; s < messages; ++s) {
        for (int part = 1; part <= books.plans[s].parts; ++part) {
            const std::size_t unit = books.Unit(s, part);
            priorityOfUnit[unit] = books.plans[s].priority;
            expected[static_cast<std::size_t>(books.plans[s].priority)].push_back(
                static_cast<std::uint32_t>(unit));
        }
    }
    std::vector<std::vector<std::uint32_t>> seen(5);
    for (std::size_t i = 0; i < books.arrived; ++i) {
        const std::uint32_t unit = books.arrivals[i];
        auto& list = seen[static_cast<std::size_t>(priorityOfUnit[unit])];
        if (list.empty() || list.back() != unit) list.push_back(unit);
    }
    for (int p = 1; p <= 4; ++p) {
        EXPECT_TRUE(seen[static_cast<std::size_t>(p)] == expected[static_cast<std::size_t>(p)])
            << "priority " << p << ": " << seen[static_cast<std::size_t>(p)].size() << " seen, "
            << expected[static_cast<std::size_t>(p)].size() << " sent";
    }

    // Flat memory: from the first tenth on, the resident size grows by less
    // than 2 MiB (room for the allocator's noise; 200 bytes kept per message
    // would not fit). The sanitizers and valgrind keep freed memory aside on
    // purpose, so there only the figures are reported.
    ASSERT_EQ(rss.size(), 11u);
    if (!kSanitized && !UnderValgrind() && messages >= kDefaultMessages) {
        EXPECT_LT(rss.back().second, rss[1].second + (2u << 20))
            << "resident size grew from " << rss[1].second / 1024 << " KiB to "
            << rss.back().second / 1024 << " KiB";
    }
}

}  // namespace
}  // namespace soak
