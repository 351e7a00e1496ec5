#ifndef TRANSPORT_TESTS_E2E_E2E_FIXTURE_H
#define TRANSPORT_TESTS_E2E_E2E_FIXTURE_H

// What every end-to-end test shares: a real CNetClient on the platform stack
// TraceRecorder(BearerDouble(PortMap(FastClock(default)))), a fake server on
// loopback that the fixed port 800 leads to, and a handler that keeps a copy
// of every package it is given.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
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
#include "support/PortMapPlatform.h"
#include "support/TraceRecorder.h"

namespace e2e {

using transport::test::FakeServer;

// Generous real-time limits: the suites also run under the sanitizers on a
// busy machine. A wait that succeeds returns as soon as its condition holds.
constexpr std::chrono::milliseconds kWait{30000};
constexpr std::uint32_t kWaitMs = 30000;

// The client with the protected members the tests look at.
struct E2eClient : CNetClient {
    using CNetClient::CNetClient;
    int State() { return GetConnectionState(); }
    int OutputCount() { return m_pOutputQueue->GetItemCount(); }
    bool HasMessageInFlight() {
        std::lock_guard<std::mutex> g(m_pOutputQueue->Mutex());
        return m_pSendingMessage != nullptr;
    }
};

// ---- Reading packages and messages ----

inline std::string ParamText(const NetMessage& message, int index) {
    void* data = nullptr;
    unsigned long length = 0;
    if (index < 0 || !message.GetParams().GetAt(index, &data, &length) || data == nullptr) {
        return "<none>";
    }
    const char* text = static_cast<const char*>(data);
    return std::string(text, strnlen(text, length));
}

inline std::vector<std::string> ParamTexts(const NetMessage& message) {
    std::vector<std::string> out;
    for (unsigned long i = 0; i < message.GetParams().GetCount(); ++i) {
        out.push_back(ParamText(message, static_cast<int>(i)));
    }
    return out;
}

inline const NetMessage* BodyMessage(const NetPackage& p) {
    return p.m_nKind == NetPackage::KIND_MESSAGE ? dynamic_cast<const NetMessage*>(p.m_pBody)
                                                 : nullptr;
}
inline const NetError* BodyError(const NetPackage& p) {
    return p.m_nKind == NetPackage::KIND_ERROR ? dynamic_cast<const NetError*>(p.m_pBody) : nullptr;
}
inline const NetInformation* BodyInformation(const NetPackage& p) {
    return p.m_nKind == NetPackage::KIND_INFORMATION
               ? dynamic_cast<const NetInformation*>(p.m_pBody)
               : nullptr;
}
// The message an information or error package names, or null.
inline const NetMessage* NamedMessage(const NetPackage& p) {
    if (const NetError* e = BodyError(p)) return dynamic_cast<const NetMessage*>(e->m_pMessage);
    if (const NetInformation* i = BodyInformation(p)) {
        return dynamic_cast<const NetMessage*>(i->m_pMessage);
    }
    return nullptr;
}

inline NetMessage MakeMessage(unsigned long id, int priority,
                              std::initializer_list<const char*> params) {
    NetMessage m;
    m.SetId(id);
    m.SetPriority(priority);
    NetParamList list;
    for (const char* text : params) list.AddTail(text, std::strlen(text) + 1);
    m.SetParams(list);
    return m;
}

// The log-in credential transform, written out independently of the
// library's: byte i becomes (byte + i + 1) mod 128.
inline std::string Transformed(const std::string& text) {
    std::string out = text;
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>((static_cast<unsigned char>(out[i]) + i + 1) % 128);
    }
    return out;
}

// ---- The handler ----

// Keeps a copy of every package and the client's state at the time of the
// call. The handler is a plain function, so the log is one object per process.
class PackageLog {
public:
    struct Entry {
        std::shared_ptr<const NetPackage> package;
        int stateAtCall;
    };

    static PackageLog& Get() {
        static PackageLog log;
        return log;
    }

    static bool Handler(NetPackage* package) {
        PackageLog& log = Get();
        std::lock_guard<std::mutex> g(log.m_mutex);
        E2eClient* observed = log.m_observed;
        log.m_entries.push_back(Entry{
            std::shared_ptr<const NetPackage>(static_cast<NetPackage*>(package->Clone())),
            observed != nullptr ? observed->State() : -1});
        log.m_changed.notify_all();
        return true;
    }

    void Reset(E2eClient* observed) {
        std::lock_guard<std::mutex> g(m_mutex);
        m_entries.clear();
        m_observed = observed;
    }

    std::vector<Entry> Entries() const {
        std::lock_guard<std::mutex> g(m_mutex);
        return m_entries;
    }

    bool WaitUntil(const std::function<bool(const std::vector<Entry>&)>& done,
                   std::chrono::milliseconds timeout = kWait) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return done(m_entries); });
    }

    // Counts packages of a kind whose code (information, error) or id
    // (message) is `code`.
    static std::size_t Count(const std::vector<Entry>& entries, int kind, unsigned long code) {
        std::size_t n = 0;
        for (const Entry& e : entries) {
            const NetPackage& p = *e.package;
            if (p.m_nKind != kind) continue;
            if (const NetMessage* m = BodyMessage(p)) n += m->GetId() == code;
            if (const NetError* err = BodyError(p)) n += err->m_nCode == code;
            if (const NetInformation* inf = BodyInformation(p)) n += inf->m_nCode == code;
        }
        return n;
    }

    bool WaitForCount(int kind, unsigned long code, std::size_t n,
                      std::chrono::milliseconds timeout = kWait) const {
        return WaitUntil([&](const std::vector<Entry>& e) { return Count(e, kind, code) >= n; },
                         timeout);
    }

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<Entry> m_entries;
    E2eClient* m_observed = nullptr;
};

// ---- Widening race windows ----

// Put on top of the trace recorder: holds the thread that writes a line
// containing a rule's needle until a line containing its `until` text has
// been written (when given), and then for `extraMs` more (real time). Lets a
// test force an order of events between the client's threads.
class StallingTrace : public transport::PlatformWrapper {
public:
    struct Rule {
        std::string needle;
        std::string until;
        std::uint32_t extraMs;
    };

    StallingTrace(transport::test::TraceRecorder& trace, std::vector<Rule> rules)
        : PlatformWrapper(static_cast<transport::Platform&>(trace)),
          m_trace(trace),
          m_rules(std::move(rules)) {}

    void Trace(const char* text, bool flag) override {
        PlatformWrapper::Trace(text, flag);
        if (text == nullptr) return;
        for (const Rule& rule : m_rules) {
            if (std::strstr(text, rule.needle.c_str()) == nullptr) continue;
            if (!rule.until.empty()) m_trace.WaitFor(rule.until, kWaitMs);
            std::this_thread::sleep_for(std::chrono::milliseconds(rule.extraMs));
        }
    }

private:
    transport::test::TraceRecorder& m_trace;
    std::vector<Rule> m_rules;
};

// ---- The fixture ----

class E2eTest : public ::testing::Test {
protected:
    // 60 s of the client's time pass in 1.2 s: quick enough for the
    // keep-alive tests, slow enough that a loaded machine answers a request
    // long before the client's 60 s response time-out.
    static constexpr std::uint32_t kDefaultFactor = 50;

    explicit E2eTest(std::uint32_t factor = kDefaultFactor)
        : m_clock(transport::DefaultPlatform(), factor),
          m_ports(m_clock),
          m_bearer(m_ports),
          m_trace(m_bearer) {}

    void SetUp() override {
        m_ports.MapPort(800, m_server.Port());
        m_ports.MapPort(80, m_closed.Port());
        std::memset(&m_params, 0, sizeof m_params);
        std::strcpy(m_params.szHost1, "127.0.0.1");
        m_params.nMaxReconCount = 5;
        m_params.dwReconDelay = 500;
        PackageLog::Get().Reset(nullptr);
    }

    void TearDown() override {
        StopClient();
        PackageLog::Get().Reset(nullptr);
    }

    // A client on the test platform with the recording handler, opened.
    E2eClient& OpenClient() {
        m_client = std::make_unique<E2eClient>(*m_top);
        PackageLog::Get().Reset(m_client.get());
        m_client->SetNetHandler(&PackageLog::Handler);
        EXPECT_TRUE(m_client->Open(m_params));
        return *m_client;
    }

    // Opens a client and logs in with the usual texts.
    E2eClient& StartClient(const char* user = "user", const char* password = "secret") {
        E2eClient& client = OpenClient();
        EXPECT_TRUE(client.Login(user, password, nullptr, 7, "five", "six"));
        return client;
    }

    // Waits for the first log-in answer at the handler.
    bool WaitLoggedIn() const {
        return PackageLog::Get().WaitForCount(NetPackage::KIND_MESSAGE, 1, 1);
    }

    void StopClient() {
        if (!m_client) return;
        m_client->Close(false);
        PackageLog::Get().Reset(nullptr);
        m_client.reset();
    }

    // Lets `virtualMs` of the client's time pass. Only for checking that
    // something does NOT happen; everything else waits for its condition.
    void LetClientTimePass(std::uint32_t virtualMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(virtualMs / m_clock.factor() + 1));
    }

    std::string LastTraceLines(std::size_t n) const {
        auto lines = m_trace.Lines();
        std::string out;
        for (std::size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i) {
            out += "  " + lines[i] + "\n";
        }
        return out;
    }

    // The frames the server received, keep-alives left out (they may come
    // whenever the client finds the line quiet).
    std::vector<FakeServer::Frame> FramesWithoutKeepAlives() const {
        std::vector<FakeServer::Frame> out;
        for (const auto& f : m_server.Frames()) {
            if (f.id != 12) out.push_back(f);
        }
        return out;
    }

    std::vector<FakeServer::Frame> FramesOn(std::size_t connection) const {
        std::vector<FakeServer::Frame> out;
        for (const auto& f : FramesWithoutKeepAlives()) {
            if (f.connection == connection) out.push_back(f);
        }
        return out;
    }

    // The log-in frame the usual Login of StartClient writes.
    static std::string LoginFrame(const std::string& user, const std::string& password) {
        return "<g44>1<p>" + Transformed(user) + "</p><p>" + Transformed(password) +
               "</p><p></p><p>7</p><p>five</p><p>six</p></g44>";
    }

    FakeServer m_server;
    transport::test::ClosedPort m_closed;
    transport::test::FastClockPlatform m_clock;
    transport::test::PortMapPlatform m_ports;
    transport::test::BearerDouble m_bearer;
    transport::test::TraceRecorder m_trace;
    // The platform the client is given; a test may put a wrapper of its own
    // on top of m_trace.
    transport::Platform* m_top = &m_trace;
    NetClientParams m_params{};
    std::unique_ptr<E2eClient> m_client;
};

}  // namespace e2e

#endif
