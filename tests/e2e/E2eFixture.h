#ifndef TRANSPORT_TESTS_E2E_E2E_FIXTURE_H
#define TRANSPORT_TESTS_E2E_E2E_FIXTURE_H

// What every end-to-end test shares: a real CNetClient on the platform stack
// TraceRecorder(PortMap(Bearer(FastClock(default)))), a scripted peer that
// 127.0.0.1:800 leads to, and a handler that keeps every package, read back
// as a line of text each ("msg 1 1|ok", "info 1 0/0 60", "error 11 -").
// With TRANSPORT_TEST_TLS set the same tests run over TLS: stunnel4 stands
// between the client and the peer, and the client verifies its certificate.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <transport/NetClient.h>

#include "message/MessageQueue.h"
#include "support/FastClockPlatform.h"
#include "support/ScriptedPeer.h"
#include "support/TestPlatforms.h"
#include "support/TlsParts.h"

namespace e2e {

using transport::test::PortMapPlatform;
using transport::test::ScriptedPeer;
using Lines = std::vector<std::string>;
using Ids = std::vector<long>;
using Frame = ScriptedPeer::Frame;
using Package = std::shared_ptr<const NetPackage>;

const char kKeepAlive[] = "<g44>12<p>Keep-Alive</p></g44>";
const char kLoginOk[] = "<g44>1<p>1</p><p>pm</p></g44>";  // token "ok"
const char kDelivered[] = "<g44>7<p>1</p></g44>";
// Real time, for the sanitizers on a busy machine; waits end once their condition holds.
constexpr std::uint32_t kWaitMs = 30000;

inline bool Eventually(const std::function<bool()>& done, std::uint32_t ms = kWaitMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
        if (std::chrono::steady_clock::now() > end) return false;
    }
    return true;
}

struct Client : CNetClient {
    using CNetClient::CNetClient;
    int State() { return GetConnectionState(); }
    int Queued() { return m_pOutputQueue->GetItemCount(); }
    int Parts() { return m_pPartsQueue->GetItemCount(); }
    int LastType() { return m_nLastConnType; }
    unsigned BytesIn() { return m_nTotalReceived; }
};

inline std::string ParamBytes(const NetMessage& message, int index) {
    void* data = nullptr;
    unsigned long length = 0;
    message.GetParams().GetAt(index, &data, &length);
    return data != nullptr ? std::string(static_cast<const char*>(data), length) : std::string();
}

// Text parameters, each with its zero byte, and `bytes` (without one) at `at`.
inline NetMessage Message(unsigned long id, const Lines& texts, int priority = 2,
                          const std::string* bytes = nullptr, std::size_t at = 0) {
    NetMessage m;
    m.SetId(id);
    m.SetPriority(priority);
    for (std::size_t i = 0; i <= texts.size(); ++i) {
        if (bytes != nullptr && i == at) m.GetParams().AddTail(bytes->data(), bytes->size());
        if (i < texts.size()) m.GetParams().AddTail(texts[i].c_str(), texts[i].size() + 1);
    }
    return m;
}

inline std::string Describe(const NetPackage& p) {
    const NetObject* named = nullptr;
    std::string out;
    if (const auto* m = dynamic_cast<const NetMessage*>(p.m_pBody)) {
        out = "msg " + std::to_string(m->GetId());
        for (unsigned long i = 0; i < m->GetParams().GetCount(); ++i) {
            out += (i == 0 ? " " : "|") + std::string(ParamBytes(*m, static_cast<int>(i)).c_str());
        }
        return out;
    } else if (const auto* i = dynamic_cast<const NetInformation*>(p.m_pBody)) {
        out = "info " + std::to_string(i->m_nCode) + " " + std::to_string(i->m_nValue1) + "/" +
              std::to_string(i->m_nValue2);
        named = i->m_pMessage;
    } else if (const auto* e = dynamic_cast<const NetError*>(p.m_pBody)) {
        out = "error " + std::to_string(e->m_nCode);
        named = e->m_pMessage;
    }
    const auto* message = dynamic_cast<const NetMessage*>(named);
    return out + " " + (message != nullptr ? std::to_string(message->GetId()) : "-");
}

// The handler is a plain function: one record per process.
struct PackageLog {
    static inline std::mutex mutex;
    static inline std::vector<Package> packages;
    static bool Handler(NetPackage* package) {
        std::lock_guard<std::mutex> lock(mutex);
        packages.emplace_back(static_cast<NetPackage*>(package->Clone()));
        return true;
    }
    static std::vector<Package> All() {
        std::lock_guard<std::mutex> lock(mutex);
        return packages;
    }
};

inline Lines Packages() {
    Lines out;
    for (const Package& p : PackageLog::All()) out.push_back(Describe(*p));
    return out;
}

// The credential transform, written out on its own: byte i becomes (byte + i + 1) mod 128.
inline std::string Transformed(std::string text) {
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>((text[i] + i + 1) % 128);
    return text;
}

inline std::string LoginFrame(const std::string& user = "abc", const std::string& password = "pw") {
    return "<g44>1<p>" + Transformed(user) + "</p><p>" + Transformed(password) +
           "</p><p></p><p>7</p><p>five</p><p>six</p></g44>";
}

inline std::string Post(const std::string& frame, const std::string& host) {
    return "POST /mpsrv HTTP/1.1\r\nContent-Length: " + std::to_string(frame.size()) + "\r\nHost: " + host +
           ":800\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + frame;
}

class E2e : public ::testing::Test {
protected:
    E2e() { UseClock(50); }

    // A new platform stack whose clock runs `factor` times fast (at 50 a
    // minute of the client's takes 1.2 s); before anything is routed.
    void UseClock(std::uint32_t factor) {
        factor_ = factor;
        trace_.reset();
        ports_.reset();
        bearer_.reset();
        clock_ = std::make_unique<transport::test::FastClockPlatform>(transport::DefaultPlatform(), factor);
        bearer_ = std::make_unique<transport::test::BearerDouble>(*clock_);
        ports_ = std::make_unique<PortMapPlatform>(*bearer_);
        trace_ = std::make_unique<transport::test::TraceRecorder>(*ports_);
        ports_->Route("127.0.0.1", 800, {tls_ ? tls_->Port() : peer_.Port()});
    }

    void SetUp() override {
        tlsRun_ = std::getenv("TRANSPORT_TEST_TLS") != nullptr;
#ifndef _WIN32  // the TLS parts are POSIX programs
        if (tlsRun_) {
            REQUIRE_REAL_PART(transport::test::TlsPartsAvailable(), "openssl and stunnel4");
            tls_ = std::make_unique<transport::test::TlsTerminator>(peer_.Port(), "server");
            ASSERT_TRUE(tls_->Ready());
            tlsSettings_.caFile = transport::test::Certificate("ca");
            UseClock(factor_);
        }
#endif
        std::strcpy(params_.szHost1, "127.0.0.1");
        params_.nMaxReconCount = 100000;
        params_.dwReconDelay = 700;
        std::lock_guard<std::mutex> lock(PackageLog::mutex);
        PackageLog::packages.clear();
    }

    void TearDown() override {
        // Over TLS, every case must have run over TLS.
        if (tlsRun_ && client_) {
            EXPECT_TRUE(trace_->Contains("TLS established: TLSv1.3"));
        }
        if (client_) client_->Close(false);
        client_.reset();
    }

    Client& LogIn(const char* user = "abc", const char* password = "pw") {
        if (!client_) Open();
        EXPECT_TRUE(client_->Login(user, password, nullptr, 7, "five", "six"));
        return *client_;
    }
    void Open() {
        client_ = std::make_unique<Client>(*trace_);
        client_->SetNetHandler(&PackageLog::Handler);
        if (tls_) client_->SetTls(&tlsSettings_);
        EXPECT_TRUE(client_->Open(params_));
    }
    void Send(const NetMessage& message) { client_->Send(&message); }

    // Lets the client's time pass: only to see that something does NOT happen.
    void Pass(std::uint32_t virtualMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(virtualMs / factor_ + 1));
    }

    static std::size_t Count(const std::string& prefix) {
        const Lines all = Packages();
        return std::count_if(all.begin(), all.end(), [&](const std::string& p) { return p.rfind(prefix, 0) == 0; });
    }
    static bool Have(const std::string& prefix, std::size_t n = 1) {
        return Eventually([&] { return Count(prefix) >= n; });
    }
    static bool LoggedIn() { return Have("msg 1 "); }

    ScriptedPeer peer_;
    std::shared_ptr<transport::test::TlsTerminator> tls_;  // shared: an empty one needs no ~TlsTerminator, which Windows lacks
    transport::TlsSettings tlsSettings_;
    bool tlsRun_ = false;
    std::uint32_t factor_ = 50;
    std::unique_ptr<transport::test::FastClockPlatform> clock_;  // each wraps the one before
    std::unique_ptr<transport::test::BearerDouble> bearer_;
    std::unique_ptr<PortMapPlatform> ports_;
    std::unique_ptr<transport::test::TraceRecorder> trace_;
    NetClientParams params_{};
    std::unique_ptr<Client> client_;
};

}  // namespace e2e

#endif
