// The Internet probe against real HTTP servers on port 80 of loopback
// addresses: busybox httpd for what a web server answers, and a recording
// server of our own for what the probe sends.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <transport/NetClient.h>

#include "support/HttpTestServers.h"
#include "support/TraceRecorder.h"

namespace {

namespace fs = std::filesystem;
using transport::test::BusyboxHttpd;
using transport::test::RecordingHttpServer;
using transport::test::RefusingPort;
using Lines = std::vector<std::string>;

// Port 80 of three loopback addresses: a web server, the recording server,
// and nobody.
const char kWebServer[] = "127.0.0.41";
const char kRecorder[] = "127.0.0.42";
const char kNobody[] = "127.0.0.43";
constexpr std::uint16_t kHttpPort = 80;

struct ProbeClient : CNetClient {
    using CNetClient::CNetClient;
    using CNetClient::BrowseInet;
    void SetTarget(const std::string& target) {
        std::memset(m_clientParams.szBrowseUrl, 0, sizeof m_clientParams.szBrowseUrl);
        std::strncpy(m_clientParams.szBrowseUrl, target.c_str(),
                     sizeof m_clientParams.szBrowseUrl - 1);
    }
};

std::string Start(const std::string& target) {
    return "***Browse Internet Start: Requesting " + target + "***";
}

// The lines of a probe that got an answer with this body (one line per
// read of at most 3200 bytes).
Lines Answered(const std::string& target, const std::string& body) {
    Lines lines = {Start(target), "InternetConnect success", "HttpSendRequest successfully",
                   "InternetQueryDataAvailable dwSize=" + std::to_string(body.size())};
    for (std::size_t at = 0; at < body.size(); at += 3200) lines.push_back(body.substr(at, 3200));
    return lines;
}

class ProbeTest : public ::testing::Test {
protected:
    ProbeTest() : m_trace(transport::DefaultPlatform()), m_client(m_trace) {}

    void SetUp() override {
        std::string why;
        if (!transport::test::CanListenOn(kWebServer, kHttpPort, &why)) {
            GTEST_SKIP() << "port 80 of a loopback address cannot be bound here (root is "
                            "needed), so the probe is not run against real servers: "
                         << why;
        }
    }

    // The probe's result and the trace lines it wrote.
    bool Probe(const std::string& target, Lines* lines) {
        m_client.SetTarget(target);
        m_trace.Clear();
        const bool result = m_client.BrowseInet();
        *lines = m_trace.Lines();
        return result;
    }

    transport::test::TraceRecorder m_trace;
    ProbeClient m_client;
};

// ---- A real web server ----

class WebServerProbe : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        if (IsSkipped()) return;
        // A folder of its own per test, whatever else runs beside it.
        m_root = fs::temp_directory_path() /
                 ("transport-probe-" + std::to_string(std::random_device()()));
        fs::remove_all(m_root);
        fs::create_directories(m_root / "sub");
        Write("index.html", kIndex);
        Write("sub/page.txt", kPage);
        Write("empty.txt", "");
        Write("long.txt", Long());
        std::string why;
        ASSERT_TRUE(m_httpd.Start(kWebServer, kHttpPort, m_root.string(), &why)) << why;
    }

    void TearDown() override {
        m_httpd.Stop();
        if (!m_root.empty()) fs::remove_all(m_root);
    }

    void Write(const std::string& name, const std::string& content) {
        std::ofstream out(m_root / name, std::ios::binary);
        out << content;
    }

    static std::string Long() {
        std::string text;
        for (int i = 0; text.size() < 7000; ++i) text += "line " + std::to_string(i) + "\n";
        return text.substr(0, 7000);
    }

    static constexpr const char* kIndex = "<html>probe index</html>\n";
    static constexpr const char* kPage = "page in a folder\n";

    fs::path m_root;
    BusyboxHttpd m_httpd;
};

TEST_F(WebServerProbe, DottedAddressFetchesTheRootPage) {
    Lines lines;
    EXPECT_TRUE(Probe(kWebServer, &lines));
    EXPECT_EQ(lines, Answered(kWebServer, kIndex));
}

TEST_F(WebServerProbe, UrlsGoToPort80WhateverPortTheyName) {
    for (const std::string target :
         {"http://127.0.0.41/sub/page.txt", "http://127.0.0.41:8080/sub/page.txt",
          "http://127.0.0.41:1/sub/page.txt"}) {
        SCOPED_TRACE(target);
        Lines lines;
        EXPECT_TRUE(Probe(target, &lines));
        EXPECT_EQ(lines, Answered(target, kPage));
    }
}

TEST_F(WebServerProbe, EmptyBodyEndsTheReadAtOnce) {
    const std::string target = "http://127.0.0.41:8080/empty.txt";
    Lines lines;
    EXPECT_TRUE(Probe(target, &lines));
    EXPECT_EQ(lines, Answered(target, ""));
    EXPECT_EQ(lines.back(), "InternetQueryDataAvailable dwSize=0");
}

TEST_F(WebServerProbe, LongBodyIsTracedInReadsOf3200Bytes) {
    const std::string target = "http://127.0.0.41/long.txt";
    Lines lines;
    EXPECT_TRUE(Probe(target, &lines));
    ASSERT_EQ(lines.size(), 4u + 3u);
    EXPECT_EQ(lines, Answered(target, Long()));
    EXPECT_EQ(lines[6].size(), 600u);
}

TEST_F(WebServerProbe, AnErrorPageIsStillAnAnswer) {
    Lines lines;
    EXPECT_TRUE(Probe("http://127.0.0.41/missing.html", &lines));
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[2], "HttpSendRequest successfully");
    EXPECT_NE(lines[4].find("404"), std::string::npos) << lines[4];
}

// ---- Nobody there ----

TEST_F(ProbeTest, ServerThatIsNotThereFailsAtTheConnection) {
    RefusingPort nobody(kNobody, kHttpPort);
    ASSERT_TRUE(nobody.ok());
    for (const std::string& target : {std::string(kNobody), std::string("http://127.0.0.43:8080/x")}) {
        SCOPED_TRACE(target);
        Lines lines;
        EXPECT_FALSE(Probe(target, &lines));
        ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
        EXPECT_EQ(lines[0], Start(target));
        EXPECT_EQ(lines[1], "InternetConnect error, code=12029");  // cannot connect
    }
}

// ---- What the probe sends ----

class RecordedProbe : public ProbeTest {
protected:
    void SetUp() override {
        ProbeTest::SetUp();
        if (IsSkipped()) return;
        m_server = std::make_unique<RecordingHttpServer>(kRecorder, kHttpPort);
        ASSERT_TRUE(m_server->ok()) << m_server->error();
    }
    void TearDown() override { m_server.reset(); }

    std::unique_ptr<RecordingHttpServer> m_server;
};

// The request's header lines (after the request line), without the blank line.
Lines HeaderLines(const std::string& head) {
    Lines lines;
    std::size_t at = head.find("\r\n");
    while (at != std::string::npos) {
        const std::size_t end = head.find("\r\n", at + 2);
        if (end == std::string::npos || end == at + 2) break;
        lines.push_back(head.substr(at + 2, end - at - 2));
        at = end;
    }
    return lines;
}

bool HasLine(const Lines& lines, const std::string& line) {
    for (const std::string& l : lines) {
        if (l == line) return true;
    }
    return false;
}

TEST_F(RecordedProbe, SendsOnePlainGetWithTheAgentAndTheTextHeader) {
    m_server->SetResponse("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    struct Case {
        std::string target;
        std::string requestLine;
    };
    const Case cases[] = {
        {kRecorder, "GET / HTTP/1.0"},
        {"http://127.0.0.42:8080/dir/page.html?x=1", "GET /dir/page.html?x=1 HTTP/1.0"},
        {"http://127.0.0.42", "GET / HTTP/1.0"},
    };
    for (std::size_t k = 0; k < sizeof cases / sizeof cases[0]; ++k) {
        const Case& c = cases[k];
        SCOPED_TRACE(c.target);
        Lines lines;
        EXPECT_TRUE(Probe(c.target, &lines));
        EXPECT_EQ(lines, Answered(c.target, "hello"));

        // One request per probe, no retry.
        const auto requests = m_server->Requests();
        ASSERT_EQ(requests.size(), k + 1);
        const std::string& head = requests[k];
        EXPECT_EQ(head.substr(0, head.find("\r\n")), c.requestLine);
        const Lines headers = HeaderLines(head);
        EXPECT_TRUE(HasLine(headers, "User-Agent: Mozila/1.0")) << head;
        EXPECT_TRUE(HasLine(headers, "Content-Type: text/*")) << head;
        EXPECT_TRUE(HasLine(headers, "Accept: */*")) << head;
        EXPECT_TRUE(HasLine(headers, "Host: 127.0.0.42")) << head;
        EXPECT_EQ(m_server->Bodies()[k], "") << "a GET carries no body";
    }
}

TEST_F(RecordedProbe, BodyWithoutALengthIsReadToTheConnectionsEnd) {
    const std::string body(5000, 'z');
    m_server->SetResponse("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n" + body);
    Lines lines;
    EXPECT_TRUE(Probe(kRecorder, &lines));
    EXPECT_EQ(lines, Answered(kRecorder, body));
}

TEST_F(RecordedProbe, ServerThatHangsUpFailsTheRequest) {
    m_server->SetResponse("");
    Lines lines;
    EXPECT_FALSE(Probe(kRecorder, &lines));
    ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], Start(kRecorder));
    EXPECT_EQ(lines[1], "InternetConnect success");
    EXPECT_EQ(lines[2], "HttpSendRequest error, code=12152");  // invalid server response
    EXPECT_EQ(m_server->Requests().size(), 1u);
}

// ---- No target ----

TEST(ProbeTarget, WithoutAHostNothingIsRequested) {
    transport::test::TraceRecorder trace(transport::DefaultPlatform());
    ProbeClient client(trace);
    for (const std::string target : {"", "http://", "http:///page"}) {
        SCOPED_TRACE(target);
        client.SetTarget(target);
        trace.Clear();
        EXPECT_FALSE(client.BrowseInet());
        EXPECT_EQ(trace.Lines(), (Lines{Start(target), "InternetCrackUrl error, code=12005"}));
    }
}

}  // namespace
