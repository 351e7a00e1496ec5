#ifndef TRANSPORT_TESTS_E2E_WALK_FIXTURE_H
#define TRANSPORT_TESTS_E2E_WALK_FIXTURE_H

// What the tests of the ways to the server share: the end-to-end stack with a
// ConnectScript on top, which decides what each connect meets (by the address
// and port the client asked for) and journals the walk, and a client whose
// reconnection fields the tests can read.

#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/E2eFixture.h"
#include "support/ConnectScript.h"

namespace e2e {

using transport::test::ConnectScript;

struct WalkClient : E2eClient {
    using E2eClient::E2eClient;
    int ReconCount() { return GetReconCount(); }
    int ConnType() { return m_nConnType; }
    int LastConnType() { return m_nLastConnType; }
    bool SocketConnected() { return m_bSocketConnected; }
};

class WalkTest : public E2eTest {
protected:
    explicit WalkTest(std::uint32_t factor) : E2eTest(factor), m_script(m_trace) {
        m_top = &m_script;
    }

    void SetUp() override {
        E2eTest::SetUp();
        // The script routes every connect; the port map below it passes the
        // ports on as they are.
        m_ports.MapPort(800, 800);
        m_ports.MapPort(80, 80);
        std::memset(m_params.szHost1, 0, sizeof m_params.szHost1);
        m_params.nMaxReconCount = 100000;
        m_params.dwReconDelay = 700;
    }

    // Host entries are fixed fields, some of 16 bytes.
    template <std::size_t N>
    static void SetHost(char (&field)[N], const char* host) {
        ASSERT_LT(std::strlen(host), N) << host;
        std::strcpy(field, host);
    }

    // Opens a client on the test platform and logs in.
    WalkClient& StartWalk(const char* user = "user", const char* password = "secret") {
        auto client = std::make_unique<WalkClient>(*m_top);
        WalkClient& walk = *client;
        m_client = std::move(client);
        PackageLog::Get().Reset(m_client.get());
        m_client->SetNetHandler(&PackageLog::Handler);
        EXPECT_TRUE(m_client->Open(m_params));
        EXPECT_TRUE(m_client->Login(user, password, nullptr, 7, "five", "six"));
        return walk;
    }

    WalkClient& Client() { return static_cast<WalkClient&>(*m_client); }

    // The trace lines that contain any of the texts, in order.
    std::vector<std::string> TraceOf(std::initializer_list<const char*> texts) const {
        std::vector<std::string> out;
        for (const std::string& line : m_trace.Lines()) {
            for (const char* text : texts) {
                if (line.find(text) != std::string::npos) {
                    out.push_back(line);
                    break;
                }
            }
        }
        return out;
    }

    // Polls (real time) until done() holds: for fields the client writes
    // just after it has called the handler.
    static bool Eventually(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    std::size_t ErrorCount(unsigned long code) const {
        return PackageLog::Count(PackageLog::Get().Entries(), NetPackage::KIND_ERROR, code);
    }

    // A request of the HTTP wrapping, as the client must write it.
    static std::string Post(const std::string& frame, const std::string& host) {
        return "POST /mpsrv HTTP/1.1\r\nContent-Length: " + std::to_string(frame.size()) +
               "\r\nHost: " + host +
               ":800\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + frame;
    }

    // Everything that mentions the walk in the trace: attempts, reconnects,
    // empty entries, the limit.
    std::vector<std::string> WalkTrace() const {
        return TraceOf({"Connecting to HOST:", "Reconnecting...", "GetNextHostName() return NULL",
                        "ReconCount=MAXRECONCOUNT"});
    }

    ConnectScript m_script;
};

}  // namespace e2e

#endif
