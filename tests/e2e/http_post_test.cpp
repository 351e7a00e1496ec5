// The third way to the server: every request wrapped in an HTTP POST, checked
// byte for byte on the server's side, and the server's answers coming back
// inside HTTP responses.

#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/WalkFixture.h"

namespace e2e {
namespace {

const char kHost[] = "127.0.0.22";
const char kKeepAlive[] = "<g44>12<p>Keep-Alive</p></g44>";

struct Request {
    std::string head;
    std::string body;
};

// Cuts what a connection carried into POST requests by their Content-Length.
// Keep-alives travel unwrapped on every kind of line and are left out;
// anything else that is not a whole request ends the cut (*rest keeps it).
std::vector<Request> Requests(std::string bytes, std::string* rest) {
    std::vector<Request> out;
    for (;;) {
        if (bytes.compare(0, sizeof(kKeepAlive) - 1, kKeepAlive) == 0) {
            bytes.erase(0, sizeof(kKeepAlive) - 1);
            continue;
        }
        const std::size_t headEnd = bytes.find("\r\n\r\n");
        const std::size_t length = bytes.find("Content-Length: ");
        if (bytes.compare(0, 5, "POST ") != 0 || headEnd == std::string::npos ||
            length == std::string::npos || length > headEnd) {
            break;
        }
        const std::size_t bodyLength = std::strtoul(bytes.c_str() + length + 16, nullptr, 10);
        if (bytes.size() < headEnd + 4 + bodyLength) break;
        out.push_back(Request{bytes.substr(0, headEnd + 4), bytes.substr(headEnd + 4, bodyLength)});
        bytes.erase(0, headEnd + 4 + bodyLength);
    }
    *rest = bytes;
    return out;
}

std::vector<std::string> Bodies(const std::vector<Request>& requests) {
    std::vector<std::string> out;
    for (const Request& r : requests) out.push_back(r.body);
    return out;
}

// The direct way and the tunnel are refused; the third attempt, HTTP on port
// 800 of the same host, reaches the server.
class HttpPostTest : public WalkTest {
protected:
    HttpPostTest() : WalkTest(kDefaultFactor) {}

    void SetUp() override {
        WalkTest::SetUp();
        SetHost(m_params.szHost1, kHost);
        m_script.Then(kHost, 800, {ConnectScript::Refuse()});
        m_script.Set(kHost, 800, ConnectScript::RouteTo(m_http.Port()));
    }

    void LogIn(const char* user = "abc", const char* password = "pw") {
        StartWalk(user, password);
        ASSERT_TRUE(WaitLoggedIn());
        ASSERT_EQ(m_script.Targets(),
                  (std::vector<std::string>{"127.0.0.22:800", "127.0.0.22:80", "127.0.0.22:800"}));
    }

    // Every request on a connection must be exactly the wrapping of its body,
    // and the body exactly one frame.
    void ExpectWellFormed(const std::vector<Request>& requests, const std::string& host) {
        for (const Request& r : requests) {
            EXPECT_EQ(r.head + r.body, Post(r.body, host));
            EXPECT_EQ(r.body.rfind("<g44>", 0), 0u) << r.body;
            EXPECT_EQ(r.body.find("</g44>"), r.body.size() - 6) << r.body;
        }
    }

    FakeServer m_http{0, kHost};
};

TEST_F(HttpPostTest, EveryRequestIsAPostWhoseLengthCountsOnlyTheFrame) {
    LogIn();
    // The first bytes of the line, exactly.
    const std::string login = LoginFrame("abc", "pw");
    const std::string first =
        "POST /mpsrv HTTP/1.1\r\nContent-Length: 67\r\nHost: 127.0.0.22:800\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\n\r\n" + login;
    ASSERT_EQ(login.size(), 67u);
    EXPECT_EQ(m_http.Received(0).substr(0, first.size()), first);

    // Bodies are not URL-encoded: '&', '=', '%', '+' and spaces go as they are.
    // A long parameter, and binary data sent as Base64 (id 300), too.
    const std::string longText(1800, 'x');
    NetMessage plain = MakeMessage(160, 2, {"a b&c=d%20+e"});
    NetMessage big = MakeMessage(161, 2, {longText.c_str()});
    NetMessage binary;
    binary.SetId(300);
    binary.SetPriority(2);
    NetParamList params;
    const unsigned char bytes[] = {0x00, 0xFF, 0x10, '<', '>', 0x7F, 0x80};
    params.AddTail(bytes, sizeof bytes);
    binary.SetParams(params);
    m_client->Send(&plain);
    m_client->Send(&big);
    m_client->Send(&binary);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 3));

    std::string rest;
    const std::vector<Request> requests = Requests(m_http.Received(0), &rest);
    EXPECT_EQ(rest, "");
    ExpectWellFormed(requests, kHost);
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].body, login);
    EXPECT_EQ(requests[1].body, "<g44>160<p>a b&c=d%20+e</p></g44>");
    EXPECT_EQ(requests[2].body, "<g44>161<p>" + longText + "</p></g44>");
    EXPECT_EQ(requests[3].body, "<g44>300<p>AP8QPD5/gA==</p></g44>");
    // The longest request is past 1900 bytes; its length line counts the frame.
    EXPECT_NE(requests[2].head.find("Content-Length: 1821\r\n"), std::string::npos);
    EXPECT_EQ(m_http.ConnectionCount(), 1u);
}

TEST_F(HttpPostTest, AnswersInsideHttpResponsesReachTheHandler) {
    LogIn();
    // Delivery results come back in the server's HTTP responses.
    m_http.QueueResults({1, 0});
    NetMessage delivered = MakeMessage(170, 2, {"one"});
    NetMessage refused = MakeMessage(171, 2, {"two"});
    m_client->Send(&delivered);
    m_client->Send(&refused);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 7, 1));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));
    auto entries = PackageLog::Get().Entries();
    const NetMessage* named = NamedMessage(*entries.back().package);
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->GetId(), 171u);

    // Messages of the server's own, two in one response, then one response
    // cut in the middle of its frame: headers dropped, frames in order.
    ASSERT_TRUE(m_http.Push(
        "HTTP/1.1 200 OK\r\nContent-Length: 45\r\n\r\n<g44>5<p>pushed</p></g44><g44>6<p>x</p></g44>"));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_MESSAGE, 6, 1));
    ASSERT_TRUE(m_http.Push("HTTP/1.1 200 OK\r\nContent-Length: 24\r\n\r\n<g44>5<p>sp"));
    ASSERT_TRUE(m_http.Push("lit</p></g44>"));
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_MESSAGE, 5, 2));

    std::vector<std::string> received;
    for (const auto& e : PackageLog::Get().Entries()) {
        const NetMessage* m = BodyMessage(*e.package);
        if (m != nullptr && m->GetId() != 1) received.push_back(ParamText(*m, 0));
    }
    EXPECT_EQ(received, (std::vector<std::string>{"pushed", "x", "split"}));
}

TEST_F(HttpPostTest, LostLineIsReopenedByPostWithTheLoginFirstThenTheUnansweredMessage) {
    LogIn();
    m_http.DropOnId(180);
    NetMessage lost = MakeMessage(180, 2, {"again"});
    m_client->Send(&lost);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));

    // The way that worked is kept: straight back to port 800, by POST.
    EXPECT_EQ(m_script.Targets().size(), 4u);
    EXPECT_EQ(m_script.Targets().back(), "127.0.0.22:800");
    std::string rest;
    const std::vector<Request> requests = Requests(m_http.Received(1), &rest);
    ExpectWellFormed(requests, kHost);
    EXPECT_EQ(Bodies(requests), (std::vector<std::string>{LoginFrame("abc", "pw"),
                                                         "<g44>180<p>again</p></g44>"}));
    EXPECT_EQ(rest, "");
}

TEST_F(HttpPostTest, BearerReconfirmationKeepsTheLineWrapped) {
    LogIn();
    // The bearer confirms itself while the socket is up: a keep-alive goes
    // out, and the line stays what it is, an HTTP line.
    m_bearer.SetStatus(0x10);
    ASSERT_TRUE(m_http.WaitForFramesWithId(12, 1, kWait));
    NetMessage after = MakeMessage(190, 2, {"after"});
    m_client->Send(&after);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 1));
    EXPECT_TRUE(m_http.FramesWithId(190).at(0).viaHttp);

    // And it is still the way taken after the line is lost.
    m_http.DropAll();
    ASSERT_TRUE(m_http.WaitForFramesWithId(1, 2, kWait));
    EXPECT_TRUE(m_http.FramesWithId(1).back().viaHttp);
    EXPECT_EQ(m_script.Targets().back(), "127.0.0.22:800");
}

// The Host line names the host entry as configured, not its address.
class HttpPostByNameTest : public WalkTest {
protected:
    HttpPostByNameTest() : WalkTest(kDefaultFactor) {}
};

TEST_F(HttpPostByNameTest, HostLineCarriesTheEntrysName) {
    SetHost(m_params.szHost1, "localhost");
    m_script.Then("127.0.0.1", 800, {ConnectScript::Refuse()});
    m_script.Set("127.0.0.1", 800, ConnectScript::RouteTo(m_server.Port()));
    StartWalk("abc", "pw");
    ASSERT_TRUE(WaitLoggedIn());

    EXPECT_EQ(m_server.Received(0), Post(LoginFrame("abc", "pw"), "localhost"));
    EXPECT_TRUE(m_trace.Contains("Connecting to HOST: localhost PORT: 800 conntype=2...."));
}

}  // namespace
}  // namespace e2e
