// The reference server: its stream cutting, transfer store and answers in
// process, then the program itself over loopback sockets.

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "EventLog.h"
#include "FrameHandler.h"
#include "ServerOptions.h"
#include "StreamCutter.h"
#include "TransferStore.h"

namespace {

using refserver::FrameHandler;
using refserver::MakeFrame;
using refserver::StreamCutter;
using refserver::StreamUnit;
using refserver::TransferStore;
using namespace std::chrono_literals;

// The log-in encoding: byte i becomes (byte + i + 1) mod 128.
std::string Encoded(std::string text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char>((static_cast<unsigned char>(text[i]) + i + 1) & 0x7F);
    }
    return text;
}

std::vector<StreamUnit> Drain(StreamCutter& cutter) {
    std::vector<StreamUnit> units;
    for (;;) {
        StreamUnit unit = cutter.Next();
        if (unit.kind == StreamUnit::kNeedMore) return units;
        units.push_back(unit);
        if (unit.kind == StreamUnit::kOverflow || unit.kind == StreamUnit::kBadRequest) return units;
    }
}

// ---- Stream cutting ----

TEST(StreamCutterTest, FramesSplitAnywhereComeOutWholeAndInOrder) {
    const std::string stream = "<g44>1<p>a</p></g44>noise<g44>5<p>hello</p></g44>\r\n<g44>12</g44>";
    for (std::size_t split = 1; split < stream.size(); ++split) {
        StreamCutter cutter;
        cutter.Append(stream.data(), split);
        std::vector<StreamUnit> units = Drain(cutter);
        cutter.Append(stream.data() + split, stream.size() - split);
        for (StreamUnit& unit : Drain(cutter)) units.push_back(unit);
        ASSERT_EQ(units.size(), 3u) << "split at " << split;
        EXPECT_EQ(units[0].text, "<g44>1<p>a</p></g44>");
        EXPECT_EQ(units[1].text, "<g44>5<p>hello</p></g44>");
        EXPECT_EQ(units[2].text, "<g44>12</g44>");
        EXPECT_EQ(cutter.Buffered(), 0u);
    }
}

TEST(StreamCutterTest, FrameWhoseCloserWasLostIsDroppedAtTheNextOpener) {
    StreamCutter cutter;
    const std::string stream = "<g44>5<p>cut off<g44>6<p>whole</p></g44>";
    cutter.Append(stream.data(), stream.size());
    std::vector<StreamUnit> units = Drain(cutter);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].text, "<g44>6<p>whole</p></g44>");
}

TEST(StreamCutterTest, PostRequestIsCutByItsContentLengthAcrossReads) {
    const std::string body = "<g44>5<p>x</p></g44><g44>6<p>y</p></g44>";
    const std::string request = "POST /mpsrv HTTP/1.1\r\ncontent-length: " +
                                std::to_string(body.size()) + "\r\nHost: h:800\r\n\r\n" + body +
                                "<g44>12<p>Keep-Alive</p></g44>";
    StreamCutter cutter;
    cutter.Append(request.data(), 30);
    EXPECT_TRUE(Drain(cutter).empty());
    cutter.Append(request.data() + 30, request.size() - 30);
    std::vector<StreamUnit> units = Drain(cutter);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].kind, StreamUnit::kHttpRequest);
    EXPECT_EQ(units[0].line, "POST /mpsrv HTTP/1.1");
    EXPECT_EQ(units[0].text, body);
    EXPECT_EQ(StreamCutter::FramesOf(units[0].text).size(), 2u);
    // The client sends keep-alives unwrapped between requests.
    EXPECT_EQ(units[1].kind, StreamUnit::kFrame);
}

TEST(StreamCutterTest, ConnectRequestIsRecognised) {
    StreamCutter cutter;
    const std::string request = "CONNECT 127.0.0.1:800 HTTP/1.1\r\n\r\n<g44>1</g44>";
    cutter.Append(request.data(), request.size());
    std::vector<StreamUnit> units = Drain(cutter);
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].kind, StreamUnit::kTunnel);
    EXPECT_EQ(units[0].line, "CONNECT 127.0.0.1:800 HTTP/1.1");
    EXPECT_EQ(units[1].kind, StreamUnit::kFrame);
}

TEST(StreamCutterTest, EndlessInputWithoutAFrameOverflowsButFramesResetTheCount) {
    StreamCutter cutter(1024);
    const std::string garbage(600, 'x');
    const std::string frame = "<g44>5</g44>";
    cutter.Append(garbage.data(), garbage.size());
    cutter.Append(frame.data(), frame.size());
    cutter.Append(garbage.data(), garbage.size());
    std::vector<StreamUnit> units = Drain(cutter);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].kind, StreamUnit::kFrame);
    cutter.Append(garbage.data(), garbage.size());
    units = Drain(cutter);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].kind, StreamUnit::kOverflow);
    // Garbage is not hoarded while it waits.
    EXPECT_LT(cutter.Buffered(), 16u);
}

TEST(StreamCutterTest, UnfinishedFrameBeyondTheLimitOverflows) {
    StreamCutter cutter(1024);
    const std::string open = "<g44>5<p>" + std::string(2000, 'a');
    cutter.Append(open.data(), open.size());
    std::vector<StreamUnit> units = Drain(cutter);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].kind, StreamUnit::kOverflow);
}

TEST(StreamCutterTest, UnservableRequestsAreRejected) {
    for (const std::string& request :
         {std::string("POST / HTTP/1.1\r\nContent-Length: 99999999\r\n\r\n"),
          std::string("POST / HTTP/1.1\r\nContent-Length: 12x\r\n\r\n"),
          "POST / HTTP/1.1\r\nX: " + std::string(9000, 'h')}) {
        StreamCutter cutter;
        cutter.Append(request.data(), request.size());
        std::vector<StreamUnit> units = Drain(cutter);
        ASSERT_EQ(units.size(), 1u);
        EXPECT_EQ(units[0].kind, StreamUnit::kBadRequest);
    }
}

// ---- Transfer store ----

TEST(TransferStoreTest, PartsComeBackInPartOrderOnceWhenTheLastArrives) {
    TransferStore store;
    EXPECT_EQ(store.Add("u", "f", 2, 3, "p2").kind, TransferStore::Outcome::kStored);
    EXPECT_EQ(store.Add("u", "f", 1, 3, "p1").kind, TransferStore::Outcome::kStored);
    // A part sent again after a reconnection is kept once.
    EXPECT_EQ(store.Add("u", "f", 2, 3, "p2").kind, TransferStore::Outcome::kStored);
    TransferStore::Outcome done = store.Add("u", "f", 3, 3, "p3");
    ASSERT_EQ(done.kind, TransferStore::Outcome::kComplete);
    EXPECT_EQ(done.frames, (std::vector<std::string>{"p1", "p2", "p3"}));
    EXPECT_EQ(store.TransferCount(), 0u);
    EXPECT_EQ(store.Bytes(), 0u);
}

TEST(TransferStoreTest, LastPartCompletesWithWhatArrived) {
    TransferStore store;
    store.Add("u", "f", 1, 3, "p1");
    TransferStore::Outcome done = store.Add("u", "f", 3, 3, "p3");
    ASSERT_EQ(done.kind, TransferStore::Outcome::kComplete);
    EXPECT_EQ(done.received, 2u);
    EXPECT_EQ(done.frames, (std::vector<std::string>{"p1", "p3"}));
}

TEST(TransferStoreTest, OwnersNamesAndTotalsKeepTransfersApart) {
    TransferStore store;
    store.Add("alice", "f", 1, 2, "a1");
    store.Add("bob", "f", 1, 2, "b1");
    store.Add("alice", "f", 1, 3, "other");
    TransferStore::Outcome done = store.Add("alice", "f", 2, 2, "a2");
    EXPECT_EQ(done.frames, (std::vector<std::string>{"a1", "a2"}));
    EXPECT_EQ(store.TransferCount(), 2u);
}

TEST(TransferStoreTest, BoundedByGivingUpTheOldestTransfers) {
    TransferStore store(10);
    store.Add("u", "old", 1, 2, "1234");
    store.Add("u", "mid", 1, 2, "1234");
    TransferStore::Outcome outcome = store.Add("u", "new", 1, 2, "12345");
    EXPECT_EQ(outcome.kind, TransferStore::Outcome::kStored);
    EXPECT_EQ(outcome.evicted, (std::vector<std::string>{"old"}));
    EXPECT_LE(store.Bytes(), 10u);
    // A part larger than the whole store is refused.
    EXPECT_EQ(store.Add("u", "huge", 1, 1, std::string(11, 'x')).kind,
              TransferStore::Outcome::kRefused);
    EXPECT_EQ(store.Add("u", "bad", 0, 1, "x").kind, TransferStore::Outcome::kRefused);
}

// ---- Answers ----

struct HandlerFixture : ::testing::Test {
    refserver::ServerOptions options;
    std::vector<std::string> lines;
    refserver::EventLog log{&lines};
    refserver::Peer peer;

    std::vector<std::string> Answer(FrameHandler& handler, const std::string& frame,
                                    FrameHandler::Verdict* verdict = nullptr) {
        std::vector<std::string> answers;
        const FrameHandler::Verdict result = handler.Handle(peer, frame, &answers);
        if (verdict != nullptr) *verdict = result;
        return answers;
    }
};

TEST_F(HandlerFixture, LoginIsAnsweredWithTheEncodedSessionAndLoggedDecoded) {
    FrameHandler handler(options, log);
    peer.id = 3;
    const std::string login = MakeFrame(1, {Encoded("alice"), Encoded("pw"), "", "0", "", ""});
    EXPECT_EQ(Answer(handler, login),
              (std::vector<std::string>{MakeFrame(1, {"1", Encoded("session-1")})}));
    EXPECT_EQ(Answer(handler, login),
              (std::vector<std::string>{MakeFrame(1, {"1", Encoded("session-2")})}));
    EXPECT_EQ(peer.user, "alice");
    EXPECT_EQ(lines.front(), "conn 3 login user=\"alice\" -> session-1");
}

TEST_F(HandlerFixture, RefusedLoginAndRefusedMessageId) {
    options.refuseLoginCode = 3;
    options.refuseId = 6;
    FrameHandler handler(options, log);
    EXPECT_EQ(Answer(handler, MakeFrame(1, {Encoded("bob"), ""})),
              (std::vector<std::string>{"<g44>0<p>3</p></g44>"}));
    EXPECT_EQ(Answer(handler, MakeFrame(6, {"no"})),
              (std::vector<std::string>{"<g44>7<p>0</p></g44>"}));
    EXPECT_EQ(Answer(handler, MakeFrame(5, {"yes"})),
              (std::vector<std::string>{"<g44>7<p>1</p></g44>"}));
}

TEST_F(HandlerFixture, KeepAliveBinaryAndDisconnect) {
    FrameHandler handler(options, log);
    EXPECT_EQ(Answer(handler, "<g44>12<p>Keep-Alive</p></g44>"),
              (std::vector<std::string>{"<g44>12<p>Keep-Alive</p></g44>"}));
    // The result first, so the client's send thread moves on; then the echo.
    const std::string binary = "<g44>305<p>QUJD</p><p>x</p></g44>";
    EXPECT_EQ(Answer(handler, binary), (std::vector<std::string>{"<g44>7<p>1</p></g44>", binary}));
    EXPECT_TRUE(Answer(handler, "<g44>0<p>0</p></g44>").empty());
}

TEST_F(HandlerFixture, TransferPartsAreAnsweredThenEchoedAfterTheLast) {
    FrameHandler handler(options, log);
    peer.user = "u";
    const std::string p1 = MakeFrame(10, {"f.bin", "1/2", "QUJD"});
    const std::string p2 = MakeFrame(10, {"f.bin", "2/2", "QQ=="});
    EXPECT_EQ(Answer(handler, p1), (std::vector<std::string>{"<g44>7<p>1</p></g44>"}));
    EXPECT_EQ(Answer(handler, p2), (std::vector<std::string>{"<g44>7<p>1</p></g44>", p1, p2}));
    EXPECT_EQ(handler.Transfers().TransferCount(), 0u);
    // Bad part texts are refused and store nothing.
    for (const char* bad : {"3/2", "0/2", "12", "a/b", "1/9999999999"}) {
        EXPECT_EQ(Answer(handler, MakeFrame(10, {"g", bad, "QQ=="})),
                  (std::vector<std::string>{"<g44>7<p>0</p></g44>"}))
            << bad;
    }
    EXPECT_EQ(handler.Transfers().TransferCount(), 0u);
}

TEST_F(HandlerFixture, LosePartLeavesThatPartOutOfTheEcho) {
    options.losePart = 2;
    FrameHandler handler(options, log);
    const std::string p1 = MakeFrame(10, {"f", "1/3", "QUJD"});
    const std::string p3 = MakeFrame(10, {"f", "3/3", "QQ=="});
    Answer(handler, p1);
    Answer(handler, MakeFrame(10, {"f", "2/3", "QUJD"}));
    EXPECT_EQ(Answer(handler, p3), (std::vector<std::string>{"<g44>7<p>1</p></g44>", p1, p3}));
}

TEST_F(HandlerFixture, SilentAnswersNothingAndDropAfterStopsAtTheNthFrame) {
    options.silent = true;
    options.dropAfter = 3;
    FrameHandler handler(options, log);
    FrameHandler::Verdict verdict = FrameHandler::kKeep;
    EXPECT_TRUE(Answer(handler, MakeFrame(1, {Encoded("u"), ""}), &verdict).empty());
    EXPECT_EQ(verdict, FrameHandler::kKeep);
    EXPECT_TRUE(Answer(handler, "<g44>12<p>Keep-Alive</p></g44>", &verdict).empty());
    EXPECT_EQ(verdict, FrameHandler::kKeep);
    Answer(handler, MakeFrame(5, {"x"}), &verdict);
    EXPECT_EQ(verdict, FrameHandler::kDrop);
}

// ---- The program ----

const std::string kLogin = MakeFrame(1, {Encoded("user"), Encoded("pw"), "", "0", "", ""});

TEST(ServerProgramTest, ServesManyClientsAtOnce) {
    toolstest::ServerProcess server;
    ASSERT_NE(server.Port(), 0);
    std::vector<std::unique_ptr<toolstest::RawClient>> clients;
    for (int i = 0; i < 25; ++i) {
        clients.push_back(std::make_unique<toolstest::RawClient>(server.Port()));
        ASSERT_TRUE(clients.back()->Connected());
        // Half a frame each first: no client may hold up the others.
        ASSERT_TRUE(clients.back()->Send(kLogin.substr(0, 10)));
    }
    for (int i = 0; i < 25; ++i) {
        auto& client = *clients[static_cast<std::size_t>(i)];
        ASSERT_TRUE(client.Send(kLogin.substr(10) + MakeFrame(5, {"m" + std::to_string(i)})));
    }
    std::vector<std::string> sessions;
    for (auto& client : clients) {
        ASSERT_TRUE(client->ReadUntil("<g44>7<p>1</p></g44>", 5s)) << client->Received();
        sessions.push_back(client->Received());
    }
    std::sort(sessions.begin(), sessions.end());
    EXPECT_EQ(std::unique(sessions.begin(), sessions.end()), sessions.end());
    EXPECT_TRUE(server.WaitForLine("msg id=5 text=\"m24\" -> result 1", 5s));
}

TEST(ServerProgramTest, AnswersPostRequestsWithOneHttpResponseEach) {
    toolstest::ServerProcess server;
    toolstest::RawClient client(server.Port());
    const std::string body = kLogin + MakeFrame(5, {std::string(3000, 'L')});
    ASSERT_TRUE(client.Send("POST /mpsrv HTTP/1.1\r\nContent-Length: " +
                            std::to_string(body.size()) +
                            "\r\nHost: 127.0.0.1:800\r\nContent-Type: "
                            "application/x-www-form-urlencoded\r\n\r\n" +
                            body));
    ASSERT_TRUE(client.ReadUntil("<g44>7<p>1</p></g44>", 5s));
    const std::string& reply = client.Received();
    ASSERT_EQ(reply.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << reply;
    const std::size_t bodyStart = reply.find("\r\n\r\n") + 4;
    EXPECT_NE(reply.find("Content-Length: " + std::to_string(reply.size() - bodyStart) + "\r\n"),
              std::string::npos)
        << reply;
    EXPECT_EQ(reply.substr(bodyStart).rfind("<g44>1<p>1</p><p>", 0), 0u);
    EXPECT_TRUE(server.WaitForLine("speaks HTTP", 5s));
}

TEST(ServerProgramTest, TunnelRequestIsAcceptedThenPlainFrames) {
    toolstest::ServerProcess server;
    toolstest::RawClient client(server.Port());
    ASSERT_TRUE(client.Send("CONNECT 127.0.0.1:800 HTTP/1.1\r\n\r\n"));
    ASSERT_TRUE(client.ReadUntil("\r\n\r\n", 5s));
    EXPECT_EQ(client.Received().rfind("HTTP/1.1 200", 0), 0u);
    ASSERT_TRUE(client.Send(kLogin));
    EXPECT_TRUE(client.ReadUntil("</g44>", 5s));
}

TEST(ServerProgramTest, FloodWithoutAFrameIsDroppedOthersStayServed) {
    toolstest::ServerProcess server;
    toolstest::RawClient flooder(server.Port());
    toolstest::RawClient good(server.Port());
    flooder.Send(std::string(70 * 1024, 'z'));
    EXPECT_TRUE(flooder.WaitClosed(5s));
    EXPECT_TRUE(server.WaitForLine("dropped: more than 64 KiB without a frame", 5s));
    ASSERT_TRUE(good.Send(kLogin));
    EXPECT_TRUE(good.ReadUntil("</g44>", 5s));
}

TEST(ServerProgramTest, DropAfterClosesAtTheNthFrameAndSigusr1DropsAll) {
    toolstest::ServerProcess server({"--drop-after", "2"});
    toolstest::RawClient first(server.Port());
    ASSERT_TRUE(first.Send(kLogin + MakeFrame(5, {"x"})));
    EXPECT_TRUE(first.WaitClosed(5s));
    EXPECT_EQ(first.Received().find("<g44>7<p>"), std::string::npos) << "the 2nd frame is not answered";

    toolstest::RawClient second(server.Port());
    toolstest::RawClient third(server.Port());
    ASSERT_TRUE(second.Send(kLogin));
    ASSERT_TRUE(second.ReadUntil("</g44>", 5s));
    server.Signal(SIGUSR1);
    EXPECT_TRUE(second.WaitClosed(5s));
    EXPECT_TRUE(third.WaitClosed(5s));
    // Still listening.
    toolstest::RawClient fourth(server.Port());
    ASSERT_TRUE(fourth.Send(kLogin));
    EXPECT_TRUE(fourth.ReadUntil("</g44>", 5s));
    server.Signal(SIGTERM);
    EXPECT_EQ(server.Wait(5s), 0);
}

TEST(ServerProgramTest, BadArgumentsAndAnAddressInUse) {
    toolstest::RunResult bad = toolstest::Run(TRANSPORT_SERVER_PROGRAM, {"--port", "70000"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("--port"), std::string::npos) << bad.err;

    toolstest::ServerProcess server;
    toolstest::RunResult busy = toolstest::Run(TRANSPORT_SERVER_PROGRAM,
                                               {"--port", std::to_string(server.Port())});
    EXPECT_EQ(busy.exitCode, 1);
    EXPECT_NE(busy.err.find("cannot listen on 127.0.0.1 port"), std::string::npos) << busy.err;
}

}  // namespace
