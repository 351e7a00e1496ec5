// The fake server itself, driven through plain loopback connections: the
// other end-to-end tests rely on its framing, answers and drops.

#include <gtest/gtest.h>

#include "support/FakeServer.h"

namespace e2e {
namespace {

using transport::test::ConnectToLoopback;
using transport::test::FakeServer;
using transport::test::LoopbackPeer;

constexpr std::uint32_t kMs = 20000;

std::string ReadExactly(LoopbackPeer& peer, const std::string& expected) {
    std::string got;
    peer.ReadUntil(expected, kMs, &got);
    return got;
}

TEST(FakeServerTest, CutsFramesAcrossWritesAndAnswersByScript) {
    FakeServer server;
    server.QueueResults({0});
    server.SetResultForId(31, FakeServer::kNoAnswer);
    auto peer = ConnectToLoopback(server.Port());
    ASSERT_NE(peer, nullptr);

    const std::string bytes =
        "<g44>1<p>u</p><p>p</p></g44><g44>30<p>x</p></g44><g44>31</g44><g44>32<p>a</p><p></p></g4";
    ASSERT_TRUE(peer->SendAll(bytes));
    ASSERT_TRUE(server.WaitForFrames(3, std::chrono::milliseconds(kMs)));
    ASSERT_TRUE(peer->SendAll("4><g44>12<p>Keep-Alive</p></g44>"));
    ASSERT_TRUE(server.WaitForFrames(5, std::chrono::milliseconds(kMs)));

    // Log-in answer; the queued 0 for id 30; nothing for 31; the default 1
    // for 32; the keep-alive answer.
    const std::string answers = "<g44>1<p>1</p><p>ok</p></g44><g44>7<p>0</p></g44>"
                                "<g44>7<p>1</p></g44><g44>12<p>Keep-Alive</p></g44>";
    EXPECT_EQ(ReadExactly(*peer, answers), answers);

    auto frames = server.Frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0].params, (std::vector<std::string>{"u", "p"}));
    EXPECT_EQ(frames[3].id, 32);
    EXPECT_EQ(frames[3].params, (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(frames[3].text, "<g44>32<p>a</p><p></p></g44>");
    EXPECT_EQ(server.Received(0), bytes + "4><g44>12<p>Keep-Alive</p></g44>");
}

TEST(FakeServerTest, UnwrapsPostRequestsAndAnswersInOneResponse) {
    FakeServer server;
    auto peer = ConnectToLoopback(server.Port());
    ASSERT_NE(peer, nullptr);
    const std::string frame = "<g44>40<p>body</p></g44>";
    ASSERT_TRUE(peer->SendAll("POST /mpsrv HTTP/1.1\r\nContent-Length: " +
                              std::to_string(frame.size()) + "\r\nHost: h:800\r\n\r\n<g44>4"));
    ASSERT_TRUE(peer->SendAll(frame.substr(6)));
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n<g44>7<p>1</p></g44>";
    EXPECT_EQ(ReadExactly(*peer, response), response);
    auto frames = server.FramesWithId(40);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].viaHttp);
    EXPECT_EQ(frames[0].text, frame);
}

TEST(FakeServerTest, OpensTunnelThenCarriesPlainFrames) {
    FakeServer server;
    auto peer = ConnectToLoopback(server.Port());
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(peer->SendAll("CONNECT 127.0.0.1:800 HTTP/1.1\r\n\r\n<g44>1<p>u</p></g44>"));
    const std::string expected =
        "HTTP/1.1 200 Connection established\r\n\r\n<g44>1<p>1</p><p>ok</p></g44>";
    EXPECT_EQ(ReadExactly(*peer, expected), expected);
    EXPECT_EQ(server.ConnectRequests(), (std::vector<std::string>{"CONNECT 127.0.0.1:800 HTTP/1.1"}));
}

TEST(FakeServerTest, DropsAndPushesReachTheRightConnection) {
    FakeServer server;
    server.DropMidAnswerOnId(50);
    auto first = ConnectToLoopback(server.Port());
    auto second = ConnectToLoopback(server.Port());
    ASSERT_TRUE(first && second);
    ASSERT_TRUE(server.WaitForConnections(2, std::chrono::milliseconds(kMs)));

    ASSERT_TRUE(server.PushTo(0, "<g44>20</g44>"));
    ASSERT_TRUE(server.Push("<g44>21</g44>"));  // the newest connection
    EXPECT_EQ(ReadExactly(*first, "<g44>20</g44>"), "<g44>20</g44>");
    EXPECT_EQ(ReadExactly(*second, "<g44>21</g44>"), "<g44>21</g44>");

    ASSERT_TRUE(first->SendAll("<g44>50</g44>"));
    std::string half;
    EXPECT_FALSE(first->ReadUntil("</g44>", kMs, &half));  // closed before the end
    EXPECT_EQ(half, "<g44>7<p>1");
    EXPECT_TRUE(server.WaitForClosed(0, std::chrono::milliseconds(kMs)));
    EXPECT_FALSE(server.IsClosed(1));

    server.DropAfterFrames(1);
    ASSERT_TRUE(second->SendAll("<g44>51</g44>"));
    EXPECT_TRUE(second->WaitForClose(kMs));
    EXPECT_TRUE(server.WaitForClosed(1, std::chrono::milliseconds(kMs)));
    EXPECT_EQ(server.OpenConnectionCount(), 0u);
    EXPECT_FALSE(server.Push("<g44>22</g44>"));
}

TEST(FakeServerTest, SilentServerRecordsButNeverAnswers) {
    FakeServer server;
    server.SetSilent(true);
    auto peer = ConnectToLoopback(server.Port());
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(peer->SendAll("<g44>1<p>u</p></g44><g44>12<p>Keep-Alive</p></g44>"));
    ASSERT_TRUE(server.WaitForFrames(2, std::chrono::milliseconds(kMs)));
    server.SetSilent(false);
    ASSERT_TRUE(peer->SendAll("<g44>60</g44>"));
    // Only the answer to the frame after the silence arrives.
    EXPECT_EQ(ReadExactly(*peer, "</g44>"), "<g44>7<p>1</p></g44>");
}

}  // namespace
}  // namespace e2e
