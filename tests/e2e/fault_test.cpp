// What a bad line does: drops every few messages and in the middle of
// frames either way, silence, answers in single bytes, twice, late or with
// nothing asked, garbage, and frames too long. Nothing reaches the
// application as something it is not, nothing is lost, and the messages
// that follow still flow. bench/ runs the first case with 10,000 messages.

#include <algorithm>
#include <map>

#include "e2e/E2eFixture.h"

#ifndef TRANSPORT_FAULT_MESSAGES
#define TRANSPORT_FAULT_MESSAGES 24
#endif

namespace e2e {
namespace {

using Faults = E2e;

// The ids the delivery results name, in order (-1: none).
Ids Delivered() {
    Ids ids;
    for (const std::string& p : Packages()) {
        if (p.rfind("info 1 0/0 ", 0) == 0) ids.push_back(p[11] == '-' ? -1 : std::stol(p.substr(11)));
    }
    return ids;
}

// Each line is cut right after its fourth frame, unanswered. Per priority
// the server sees the messages in the order sent (a copy right after its
// first), at most one copy more per cut, every line starts with the
// log-in, and each message is answered once.
TEST_F(Faults, ALineThatDropsEveryFewMessagesLosesNothing) {
    constexpr int kMessages = TRANSPORT_FAULT_MESSAGES;
    auto frames = std::make_shared<std::map<std::size_t, int>>();
    peer_.SetRule([frames](const Frame& f) {
        return ++(*frames)[f.connection] % 4 == 0 ? ScriptedPeer::HangUp() : ScriptedPeer::Usual(f);
    });
    LogIn();
    auto priority = [](long id) { return 1 + (id - 1000) * 7 % 4; };
    auto size = [](long id) { return static_cast<std::size_t>(10 + (id - 1000) * 40 % 6000); };
    std::map<long, Ids> sent, seen;
    for (long id = 1000; id < 1000 + kMessages; ++id) {
        Send(Message(id, {std::string(size(id), 'm')}, static_cast<int>(priority(id))));
        sent[priority(id)].push_back(id);
        // The application keeps a window of unanswered messages.
        ASSERT_TRUE(Eventually([&] { return client_->Queued() < 64; }, 60 * kWaitMs));
    }
    ASSERT_TRUE(Eventually([&] { return client_->Queued() == 0; }, 60 * kWaitMs));
    std::map<std::size_t, long> firstOn;
    std::size_t copies = 0;
    for (const Frame& f : peer_.Frames()) {
        firstOn.emplace(f.connection, f.id);
        if (f.id < 1000) continue;
        Ids& order = seen[priority(f.id)];
        if (order.empty() || order.back() != f.id) order.push_back(f.id);
        EXPECT_EQ(f.params.at(0).size(), size(f.id));
        ++copies;
    }
    EXPECT_EQ(seen, sent);
    EXPECT_LE(copies, kMessages + peer_.Connections());
    for (const auto& [connection, id] : firstOn) EXPECT_EQ(id, 1) << connection;
    Ids answered = Delivered();
    std::sort(answered.begin(), answered.end());
    EXPECT_EQ(answered.size(), static_cast<std::size_t>(kMessages));
    EXPECT_EQ(std::adjacent_find(answered.begin(), answered.end()), answered.end());
    EXPECT_GE(peer_.Connections(), static_cast<std::size_t>(kMessages / 3));
}

struct FirstLineCase {
    const char* name;
    std::function<void(ScriptedPeer&)> fault;
    std::string firstLine;
};

class FirstLine : public E2e, public ::testing::WithParamInterface<FirstLineCase> {};

// Nothing has worked yet when the first line fails, so the client walks on:
// the tunnel (refused), then POST.
TEST_P(FirstLine, FailingFirstLineSendsTheClientOnToAWayThatWorks) {
    GetParam().fault(peer_);
    LogIn();
    Send(Message(520, {"via http"}));
    ASSERT_TRUE(Eventually([&] { return peer_.Connections() == 1; }));
    peer_.SetOnAccept(ScriptedPeer::OnAccept::kServe);
    ASSERT_TRUE(Have("info 1 0/0 520"));
    EXPECT_EQ(peer_.Received(0), GetParam().firstLine);
    EXPECT_EQ(ports_->Targets(), (Lines{"127.0.0.1:800", "127.0.0.1:80", "127.0.0.1:800"}));
    EXPECT_EQ(peer_.Received(1), Post(LoginFrame(), "127.0.0.1") + Post("<g44>520<p>via http</p></g44>", "127.0.0.1"));
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 520"}));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FirstLine,
    ::testing::Values(FirstLineCase{"CutInTheLogin", [](ScriptedPeer& p) { p.CutAfter(12); }, LoginFrame().substr(0, 12)},
                      // Accepted, never read: found out by the response time-out.
                      FirstLineCase{"NeverRead", [](ScriptedPeer& p) { p.SetOnAccept(ScriptedPeer::OnAccept::kIgnore); }, ""}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Faults, ACutInTheMiddleOfAMessageSendsItWholeOnTheNextLine) {
    LogIn();
    ASSERT_TRUE(LoggedIn());
    peer_.CutAfter(20);
    Send(Message(201, {std::string(120, 'p')}));
    ASSERT_TRUE(Have("info 1 0/0 201"));
    EXPECT_EQ(peer_.Received(0), LoginFrame() + "<g44>201<p>" + std::string(9, 'p'));
    EXPECT_EQ(peer_.Ids(0), Ids{1});
    EXPECT_EQ(peer_.Ids(1), (Ids{1, 201}));
    EXPECT_EQ(peer_.Frames().back().params, Lines{std::string(120, 'p')});
}

struct AnswerCase {
    const char* name;
    std::function<void(ScriptedPeer&)> fault;
    std::size_t results;  // for five messages
};

class Answers : public E2e, public ::testing::WithParamInterface<AnswerCase> {};

// Answers in single bytes are put together; doubled answers (they carry no
// id, so a copy counts for the next message) still send every message
// once, in order, on the same line.
TEST_P(Answers, EveryMessageGoesOnceInOrderOnOneLine) {
    GetParam().fault(peer_);
    LogIn();
    for (unsigned long id = 101; id <= 105; ++id) Send(Message(id, {"x"}, 3));
    ASSERT_TRUE(Have("info 1 ", GetParam().results));
    ASSERT_TRUE(Eventually([&] { return client_->Queued() == 0; }));
    EXPECT_EQ(peer_.Ids(0), (Ids{1, 101, 102, 103, 104, 105}));
    Ids named = Delivered();
    named.erase(std::remove(named.begin(), named.end(), -1), named.end());  // nothing in flight
    EXPECT_TRUE(std::is_sorted(named.begin(), named.end()));
    EXPECT_EQ(Packages().front(), "msg 1 1|ok");
    EXPECT_EQ(peer_.Connections(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Faults, Answers,
                         ::testing::Values(AnswerCase{"OneByteAtATime", [](ScriptedPeer& p) { p.SetChunk(1); }, 5},
                                           AnswerCase{"Twice", [](ScriptedPeer& p) { p.SetDuplicate(true); }, 10}),
                         [](const auto& p) { return std::string(p.param.name); });

// Answers with nothing in flight name no message and are not counted for
// the next one, which stays queued until its own answer comes.
TEST_F(Faults, LateAnswersNeverRemoveAMessageThatWasNotAnswered) {
    peer_.SetRule([](const Frame& f) { return f.id == 130 ? "" : ScriptedPeer::Usual(f); });
    LogIn();
    ASSERT_TRUE(LoggedIn());
    ASSERT_TRUE(peer_.Push(std::string(kDelivered) + "<g44>7<p>0</p></g44>" + kKeepAlive + kLoginOk));
    ASSERT_TRUE(Have("error 7 -"));
    Send(Message(130, {"wait for me"}));
    ASSERT_TRUE(Eventually([&] { return peer_.Ids(0).size() == 2; }));
    Pass(20 * 1000);
    EXPECT_EQ(client_->Queued(), 1);
    ASSERT_TRUE(peer_.Push(kDelivered));
    ASSERT_TRUE(Have("info 1 0/0 130"));
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 -", "error 7 -", "info 1 0/0 130"}));
}

// A mebibyte without a frame, then binary garbage: the receive cache
// overflows again and again, and the line is as good as before. Then frames
// up to 2500 characters are taken, longer ones dropped (those longer than
// the cache never come whole); a message that long still goes out whole.
TEST_F(Faults, GarbageChangesNothingAndFramesLongerThan2500CharactersAreDropped) {
    LogIn();
    ASSERT_TRUE(LoggedIn());
    std::string garbage;
    const char* pieces[] = {"<g44>7<p>1</p>", "</g4", "4>", "HTTP/1.1 200 OK\r\n", "<p>", "</p></g4", "text "};
    for (std::size_t i = 0; garbage.size() < (1u << 20); ++i) garbage += pieces[i % 7] + std::to_string(i);
    for (std::size_t i = 0; i < 65536; ++i) garbage.push_back(static_cast<char>((i * 131 + i / 7) & 0xFF));
    const unsigned before = client_->BytesIn();
    ASSERT_TRUE(peer_.Push(garbage));
    // All of it in first: a zero byte ends the text of the chunk it came in.
    ASSERT_TRUE(Eventually([&] { return client_->BytesIn() >= before + garbage.size(); }));
    EXPECT_GT(trace_->Count("SetToCacheBuf start (CacheBuflenght =0 "), 100u);
    for (std::size_t length : {2500, 2501, 4000, 6000, 100000}) {
        ASSERT_TRUE(peer_.Push("<g44>13<p>" + std::string(length - 20, 'a') + "</p></g44>"));
    }
    ASSERT_TRUE(peer_.Push("<g44>13<p>after</p></g44>"));
    ASSERT_TRUE(Have("msg 13 after"));
    EXPECT_EQ(trace_->Count("Frame too long ("), 2u);
    EXPECT_TRUE(trace_->Contains("Frame too long (2501 characters), dropped"));
    Send(Message(120, {std::string(6000, 'x'), "tail"}));
    ASSERT_TRUE(Have("info 1 0/0 120"));
    EXPECT_EQ(peer_.Frames().back().text, "<g44>120<p>" + std::string(6000, 'x') + "</p><p>tail</p></g44>");
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "msg 13 " + std::string(2480, 'a'), "msg 13 after",
                                 "info 1 0/0 120"}));
    EXPECT_EQ(peer_.Connections(), 1u);
}

}  // namespace
}  // namespace e2e
