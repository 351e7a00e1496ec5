#ifndef TRANSPORT_TESTS_E2E_FAULT_FIXTURE_H
#define TRANSPORT_TESTS_E2E_FAULT_FIXTURE_H

// The end-to-end stack with a fault proxy between client and server, and a
// server that a test can kill and bring back on the same port:
//
//   client -> port 800 -> FaultProxy -> Server()  (a FakeServer on port P)
//
// Every test ends with a leak check: once the client is destroyed and the
// connections are closed, the process holds no more sockets than before the
// client was made (the sanitizer builds check the memory).

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e/E2eFixture.h"
#include "support/FaultProxy.h"

namespace e2e {

using transport::test::FaultProxy;

// The client with the queues the fault tests look into.
struct FaultClient : E2eClient {
    using E2eClient::E2eClient;
    int PartsCount() { return m_pPartsQueue->GetItemCount(); }
    int InputCount() { return m_pInputQueue->GetItemCount(); }
    unsigned int TotalReceived() { return m_nTotalReceived.load(); }
};

class FaultTest : public E2eTest {
protected:
    explicit FaultTest(std::uint32_t factor = kDefaultFactor) : E2eTest(factor) {}

    void SetUp() override {
        E2eTest::SetUp();
        // The client keeps trying for as long as a server is away.
        m_params.nMaxReconCount = 1000000;
        m_behind = std::make_unique<FakeServer>();
        m_serverPort = m_behind->Port();
        m_proxy = std::make_unique<FaultProxy>(m_serverPort);
        m_ports.MapPort(800, m_proxy->Port());
        m_sockets = SocketCount();
    }

    // The client has removed every answered message (the result reaches the
    // handler just before the removal).
    bool QueueDrained() {
        return Eventually([&] { return Client().OutputCount() == 0; });
    }

    void TearDown() override {
        StopClient();
        ExpectNoDescriptorLeak();
        E2eTest::TearDown();
    }

    FaultClient& OpenFaultClient() {
        m_client = std::make_unique<FaultClient>(*m_top);
        PackageLog::Get().Reset(m_client.get());
        m_client->SetNetHandler(&PackageLog::Handler);
        EXPECT_TRUE(m_client->Open(m_params));
        return Client();
    }

    FaultClient& StartFaultClient() {
        FaultClient& client = OpenFaultClient();
        EXPECT_TRUE(client.Login("user", "secret", nullptr, 7, "five", "six"));
        return client;
    }

    FaultClient& Client() { return static_cast<FaultClient&>(*m_client); }

    // The server behind the proxy; null while killed.
    FakeServer* Server() { return m_behind.get(); }
    // Kills the server: its listening socket and every connection close.
    void KillServer() { m_behind.reset(); }
    // A fresh server on the same port (it remembers nothing of the last one).
    FakeServer& RestartServer() {
        m_behind = std::make_unique<FakeServer>(m_serverPort);
        return *m_behind;
    }

    // Ids of the frames a server got on one of its connections, keep-alives
    // left out.
    static std::vector<long> IdsOn(const FakeServer& server, std::size_t connection) {
        std::vector<long> ids;
        for (const auto& f : server.Frames()) {
            if (f.connection == connection && f.id != 12) ids.push_back(f.id);
        }
        return ids;
    }

    // Information packages code 1 (delivered) naming a message with this id.
    static std::size_t DeliveredCount(const std::vector<PackageLog::Entry>& entries,
                                      unsigned long id) {
        std::size_t n = 0;
        for (const auto& e : entries) {
            const NetInformation* info = BodyInformation(*e.package);
            const NetMessage* named = NamedMessage(*e.package);
            n += info != nullptr && info->m_nCode == 1 && named != nullptr && named->GetId() == id;
        }
        return n;
    }
    static std::size_t DeliveredCount(unsigned long id) {
        return DeliveredCount(PackageLog::Get().Entries(), id);
    }
    static bool WaitDelivered(unsigned long id, std::size_t n) {
        // The condition runs under the log's lock: it reads the entries it is given.
        return PackageLog::Get().WaitUntil([&](const std::vector<PackageLog::Entry>& entries) {
            return DeliveredCount(entries, id) >= n;
        });
    }
    static std::size_t PackageCount() { return PackageLog::Get().Entries().size(); }

    // Real-time wait for a condition that the test polls.
    template <typename Condition>
    static bool Eventually(Condition done, std::chrono::milliseconds timeout = kWait) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    // Sockets the process holds. (The platform's other descriptors are the
    // wake descriptors of its threads, pooled and reused, never one per
    // client or connection.)
    static std::size_t SocketCount() {
        std::size_t n = 0;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
            n += std::filesystem::read_symlink(entry.path(), error).string().rfind("socket:", 0) == 0;
        }
        return n;
    }

    // A test with servers of its own closes their connections here.
    virtual void DropOtherServers() {}

    void ExpectNoDescriptorLeak() {
        // Connections the servers have not yet seen close are theirs, not
        // the client's: close them too, then count.
        const bool settled = Eventually(
            [&] {
                m_proxy->DropAll();
                if (m_behind) m_behind->DropAll();
                m_server.DropAll();
                DropOtherServers();
                return SocketCount() <= m_sockets;
            },
            std::chrono::milliseconds(5000));
        EXPECT_TRUE(settled) << "sockets before the client: " << m_sockets
                             << ", after it: " << SocketCount();
    }

    // The server behind the proxy (the fixture's own m_server is left idle).
    std::unique_ptr<FakeServer> m_behind;
    std::uint16_t m_serverPort = 0;
    std::unique_ptr<FaultProxy> m_proxy;
    std::size_t m_sockets = 0;
};

}  // namespace e2e

#endif
