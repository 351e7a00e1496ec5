// One client and one server on loopback: the log-in, messages by priority
// one at a time, delivery results, lost lines, the reconnection limit, the
// idle line and Close, checked on the wire and at the handler.

#include "e2e/E2eFixture.h"

namespace e2e {
namespace {

using Session = E2e;

// A rule that answers `id` with `answer` the first time, and usually else.
ScriptedPeer::Rule Once(long id, std::string answer) {
    auto first = std::make_shared<bool>(true);
    return [=](const Frame& f) {
        if (f.id != id || !*first) return ScriptedPeer::Usual(f);
        *first = false;
        return answer;
    };
}

struct LoginCase {
    const char* password;
    std::string later;  // the password field of the log-in after a reconnection
};

class Login : public E2e, public ::testing::WithParamInterface<LoginCase> {};

// The exact frame; the answer reaches the handler once, decoded; after a lost
// line the stored log-in goes first, an empty password replaced by the token.
TEST_P(Login, OnTheWireAtTheHandlerAndAfterAReconnection) {
    peer_.SetRule([](const Frame& f) {
        return f.id == 1 ? "<g44>1<p>1</p><p>" + Transformed("tok") + "</p></g44>" : ScriptedPeer::Usual(f);
    });
    LogIn("abc", GetParam().password);
    ASSERT_TRUE(LoggedIn());
    EXPECT_EQ(peer_.Received(0), LoginFrame("abc", GetParam().password));
    EXPECT_EQ(client_->State(), CNetClient::CONN_CONNECTED);
    peer_.DropAll();
    Send(Message(40, {"after"}));
    ASSERT_TRUE(Have("info 1 0/0 40"));
    EXPECT_EQ(peer_.Ids(1), (Ids{1, 40}));
    EXPECT_EQ(peer_.Frames().at(1).params.at(1), GetParam().later);
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|tok", "info 1 0/0 40"}));
}

INSTANTIATE_TEST_SUITE_P(Passwords, Login,
                         ::testing::Values(LoginCase{"pw", "qy"}, LoginCase{"", Transformed("tok")}));

TEST_F(Session, RefusedLoginIsAnErrorAndTheClientNeverComesBack) {
    peer_.SetRule([](const Frame&) { return ScriptedPeer::HangUp("<g44>0<p>3</p></g44>"); });
    LogIn();
    ASSERT_TRUE(Have("error 3 -"));
    Pass(2 * 60 * 1000);
    EXPECT_EQ(Packages(), Lines{"error 3 -"});
    EXPECT_EQ(client_->State(), CNetClient::CONN_CLOSED);
    EXPECT_EQ(ports_->Targets(), Lines{"127.0.0.1:800"});
}

// Queued before the log-in; nothing goes before its answer, then one message
// at a time by priority, each kept queued until answered.
TEST_F(Session, LoginFirstThenByPriorityOneInFlightEachQueuedUntilAnswered) {
    peer_.SetRule([](const Frame&) { return ""; });
    Open();
    const int priorities[] = {3, 1, 2, 1, 4};
    for (int i = 0; i < 5; ++i) Send(Message(50 + i, {std::string(1, 'a' + i)}, priorities[i]));
    LogIn();
    Pass(20 * 1000);
    EXPECT_EQ(peer_.Ids(0), Ids{1});
    EXPECT_EQ(client_->State(), CNetClient::CONN_SOCKET_CONNECTED);
    ASSERT_TRUE(peer_.Push(kLoginOk));
    ASSERT_TRUE(Eventually([&] { return trace_->Contains("Message in Send queue =5"); }));
    const Ids order = {51, 53, 52, 50, 54};  // first come first within a priority
    for (std::size_t k = 0; k < order.size(); ++k) {
        ASSERT_TRUE(Eventually([&] { return peer_.Ids(0).size() == k + 2; })) << order[k];
        Pass(5000);
        EXPECT_EQ(peer_.Ids(0).size(), k + 2) << "a second message while one is unanswered";
        EXPECT_EQ(peer_.Ids(0).back(), order[k]);
        EXPECT_EQ(client_->Queued(), static_cast<int>(order.size() - k));
        ASSERT_TRUE(peer_.Push(kDelivered));
        ASSERT_TRUE(Have("info 1 ", k + 1));
    }
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 51", "info 1 0/0 53", "info 1 0/0 52",
                                 "info 1 0/0 50", "info 1 0/0 54"}));
    EXPECT_EQ(peer_.Frames().at(1).text, "<g44>51<p>b</p></g44>");
}

// Half an answer, then a hang-up (plain hang-ups: Faults.ALineThatDrops...):
// the half answer is never delivered, the next line starts with the log-in,
// the message goes again, and each is delivered once.
TEST_F(Session, AHalfAnswerBeforeAHangUpIsDroppedAndTheMessageGoesAgain) {
    peer_.SetRule(Once(82, ScriptedPeer::HangUp("<g44>7<p")));
    LogIn();
    for (unsigned long id = 81; id <= 84; ++id) Send(Message(id, {"payload"}));
    ASSERT_TRUE(Have("info 1 0/0 84"));
    EXPECT_EQ(peer_.Ids(0), (Ids{1, 81, 82}));
    EXPECT_EQ(peer_.Ids(1), (Ids{1, 82, 83, 84}));
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 81", "info 1 0/0 82", "info 1 0/0 83", "info 1 0/0 84"}));
}

class Limit : public E2e, public ::testing::WithParamInterface<int> {};

TEST_P(Limit, GivesUpWithError11AndNewWorkBuysAnotherTry) {
    params_.nMaxReconCount = GetParam();
    LogIn();
    ASSERT_TRUE(LoggedIn());
    peer_.SetListening(false);
    ASSERT_TRUE(Have("error 11 -"));
    Pass(2 * 60 * 1000);
    EXPECT_EQ(ports_->Targets(), Lines(GetParam() + 1, "127.0.0.1:800"));  // a way that worked is kept
    EXPECT_EQ(Packages().at(1), "error 11 -");
    if (GetParam() > 0) {
        EXPECT_EQ(Count("error 11"), 1u);
    }
    peer_.SetListening(true);
    Send(Message(110, {"late"}));
    ASSERT_TRUE(Have("info 1 0/0 110"));
    EXPECT_EQ(peer_.Ids(1), (Ids{1, 110}));
}

INSTANTIATE_TEST_SUITE_P(Counts, Limit, ::testing::Values(0, 3));

// A silent minute after a message brings a keep-alive; a silent minute
// after that ends the line, and the message goes again after the log-in.
TEST_F(Session, UnansweredKeepAliveEndsTheLineAndTheMessageGoesAgain) {
    peer_.SetRule([this](const Frame& f) { return f.id == 1 || peer_.Connections() > 1 ? ScriptedPeer::Usual(f) : ""; });
    LogIn();
    Send(Message(120, {"lost"}));
    ASSERT_TRUE(Have("info 1 0/0 120"));
    EXPECT_EQ(peer_.Received(0), LoginFrame() + "<g44>120<p>lost</p></g44>" + kKeepAlive);
    EXPECT_EQ(peer_.Ids(1), (Ids{1, 120}));
    EXPECT_TRUE(peer_.Closed(0));
    const long timeOut = trace_->IndexOf("Response Time Out...");
    EXPECT_GT(trace_->IndexOf("Reconnecting...", static_cast<std::size_t>(timeOut)), timeOut);
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 120"}));
}

struct CloseCase {
    bool loggedIn, clearQueues;
    Ids onTheLine;
    int queuedAfter;
};

class Close : public E2e, public ::testing::WithParamInterface<CloseCase> {};

// The disconnect frame goes last, and only when logged in; Close(true)
// drops the queue, the message in flight too.
TEST_P(Close, DisconnectWhenLoggedInAndClearedQueueOnRequest) {
    const CloseCase c = GetParam();
    UseClock(1);  // the wait for the disconnect to go out is measured in real time
    peer_.SetRule([c](const Frame& f) { return f.id == 1 && c.loggedIn ? kLoginOk : ""; });
    LogIn();
    for (unsigned long id = 130; id < 135; ++id) Send(Message(id, {"queued"}));
    ASSERT_TRUE(Eventually([&] { return peer_.Ids(0).size() == c.onTheLine.size() - c.loggedIn; }));
    const std::uint32_t start = clock_->GetTickCount();
    EXPECT_TRUE(client_->Close(c.clearQueues));
    EXPECT_LT(clock_->GetTickCount() - start, 2000u) << "waited for a disconnect that was out";
    ASSERT_TRUE(Eventually([&] { return peer_.Closed(0); }));
    EXPECT_EQ(peer_.Ids(0), c.onTheLine);
    EXPECT_EQ(peer_.Received(0).substr(peer_.Received(0).size() - 20) == "<g44>0<p>0</p></g44>", c.loggedIn);
    EXPECT_EQ(client_->Queued(), c.queuedAfter);
    EXPECT_EQ(client_->State(), CNetClient::CONN_CLOSED);
    EXPECT_FALSE(client_->Open(params_));  // closed for good
    client_.reset();
    const char* session[] = {
        "VERSION CVS 1.74", "Login User name = abc", "Connection status changed: Connected!!!",
        "WSAStartup 2.0 complete successfully", "Connecting to HOST: 127.0.0.1 PORT: 800 conntype=0....",
        "WSAConnect complete successfully.", "WSAEnumNetworkEvents: FD_CONNECT", "SendData started",
        "Send started", "S E N T>>>: <g44>1<p>bdf</p>", "Send to queue started", "Send to queue finished",
        "Closing NetClient !!!", "SendData Thread exited !", "WSAWaitForMultipleEvents: Kill event",
        "NetEvent Thread exited !", "Main Thread exited !", "*****T O T A L   T R A N S F E R E D*****",
        "Destroyed !"};
    for (const char* line : session) EXPECT_TRUE(trace_->Contains(line)) << line;
    const char* answered[] = {"WSAEnumNetworkEvents: FD_READ", "Reading data started", "Reading data finished",
                              "R E C E I V E D<<<: <g44>1<p>1</p><p>pm</p></g44>",
                              "SetToCacheBuf start (CacheBuflenght =0  NewPakcage lenght =29",
                              "S E N T>>>: <g44>0<p>0</p></g44> Bytes sent = 20\r\nSendData finished"};
    for (const char* line : answered) EXPECT_EQ(trace_->Contains(line), c.loggedIn) << line;
}

INSTANTIATE_TEST_SUITE_P(Cases, Close,
                         ::testing::Values(CloseCase{true, false, {1, 130, 0}, 5}, CloseCase{true, true, {1, 130, 0}, 0},
                                           CloseCase{false, false, {1}, 5}));

}  // namespace
}  // namespace e2e
