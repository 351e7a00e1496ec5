// The host platform's bearer, remote-access listing and Internet probe.

#include <gtest/gtest.h>
#include <transport/Platform.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "support/LoopbackPeer.h"

namespace transport {
namespace {

using test::LoopbackListener;
using test::LoopbackPeer;

bool SameGuid(const Guid& a, const Guid& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) return false;
    }
    return true;
}

// ---- Bearer ----

TEST(HostBearer, MapsEachUrlToAStableNetwork) {
    Platform& platform = DefaultPlatform();
    Guid first{}, again{}, other{};
    EXPECT_EQ(platform.CmMapUrl("http://www.example.com/", &first), 0);
    EXPECT_EQ(platform.CmMapUrl("http://www.example.com/", &again), 0);
    EXPECT_EQ(platform.CmMapUrl("http://www.example.org/", &other), 0);
    EXPECT_TRUE(SameGuid(first, again));
    EXPECT_FALSE(SameGuid(first, other));
    EXPECT_NE(platform.CmMapUrl("http://www.example.com/", nullptr), 0);

    Handle ready = platform.CmApiReadyEvent();
    ASSERT_NE(ready, nullptr);
    EXPECT_EQ(platform.WaitOne(ready, 0), kWaitObject0);
    platform.CloseHandle(ready);
}

TEST(HostBearer, ConnectionIsAWaitableEventCarryingItsStatus) {
    Platform& platform = DefaultPlatform();
    ConnectionInfo info{};
    info.cbSize = sizeof(info);
    info.dwParams = 1;
    Handle connection = nullptr;
    ASSERT_EQ(platform.CmEstablishConnection(info, &connection), 0);
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(platform.WaitOne(connection, 100), kWaitObject0);
    std::uint32_t status = 0;
    EXPECT_EQ(platform.CmConnectionStatus(connection, &status), 0);
    // Loopback is always up here, and servers may run on it.
    EXPECT_EQ(status, kCmStatusConnected);

    EXPECT_TRUE(platform.ResetEvent(connection));
    EXPECT_EQ(platform.WaitOne(connection, 0), kWaitTimeout);
    EXPECT_EQ(platform.CmReleaseConnection(connection, 0), 0);
}

TEST(HostBearer, UnknownConnectionsReportNoStatus) {
    Platform& platform = DefaultPlatform();
    std::uint32_t status = 99;
    EXPECT_NE(platform.CmConnectionStatus(nullptr, &status), 0);
    EXPECT_EQ(status, 0u);

    Handle plainEvent = platform.CreateEvent();
    status = 99;
    EXPECT_NE(platform.CmConnectionStatus(plainEvent, &status), 0);
    EXPECT_EQ(status, 0u);
    EXPECT_NE(platform.CmReleaseConnection(plainEvent, 0), 0);
    platform.CloseHandle(plainEvent);

    ConnectionInfo wrongSize{};
    wrongSize.cbSize = 60;
    Handle connection = reinterpret_cast<Handle>(&status);
    EXPECT_NE(platform.CmEstablishConnection(wrongSize, &connection), 0);
    EXPECT_EQ(connection, nullptr);
}

// ---- Internet probe ----

// Serves one connection: reads the request head, then writes reply (if
// any) and closes. Returns the request as received.
std::future<std::string> ServeOnce(LoopbackListener& listener, std::string reply,
                                   bool answer = true) {
    return std::async(std::launch::async, [&listener, reply, answer] {
        std::unique_ptr<LoopbackPeer> peer = listener.Accept(10000);
        if (peer == nullptr) return std::string("(no connection)");
        std::string request;
        peer->ReadUntil("\r\n\r\n", 10000, &request);
        if (answer) peer->SendAll(reply);
        if (!answer) peer->WaitForClose(10000);  // silence until the client gives up
        return request;
    });
}

HttpProbeRequest ProbeOf(const LoopbackListener& listener, const std::string& path) {
    HttpProbeRequest request;
    request.host = "127.0.0.1";
    request.port = listener.port();
    request.path = path;
    request.agent = "Mozila/1.0";
    request.extraHeaders = "Content-Type: text/*\r\n";
    return request;
}

TEST(HostProbe, SendsAPlainUncachedGetAndReadsTheWholeBody) {
    LoopbackListener listener;
    std::string page(10000, 'p');
    page += "end";
    auto served = ServeOnce(listener, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + page);

    std::string body;
    int error = 0;
    std::string step;
    ASSERT_TRUE(
        DefaultPlatform().HttpGet(ProbeOf(listener, "/probe/page.html"), &body, &error, &step))
        << step << " " << error;
    EXPECT_EQ(body, page);

    const std::string request = served.get();
    EXPECT_EQ(request.rfind("GET /probe/page.html HTTP/1.0\r\n", 0), 0u) << request;
    EXPECT_NE(request.find("\r\nUser-Agent: Mozila/1.0\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("\r\nContent-Type: text/*\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("\r\nCache-Control: no-cache\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("\r\nPragma: no-cache\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("\r\nHost: 127.0.0.1:" + std::to_string(listener.port())),
              std::string::npos)
        << request;
}

// A server that hangs up at once is covered end to end by the probe tests.
TEST(HostProbe, AServerThatStaysSilentFailsTheRequestStepInItsTime) {
    LoopbackListener listener;
    std::string body;
    int error = 0;
    std::string step;
    auto silent = ServeOnce(listener, "", false);
    HttpProbeRequest request = ProbeOf(listener, "/");
    request.sendTimeoutMs = 200;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(DefaultPlatform().HttpGet(request, &body, &error, &step));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(step, "HttpSendRequest");
    silent.get();
}

}  // namespace
}  // namespace transport
