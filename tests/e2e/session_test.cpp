// One client and one server on loopback: the log-in, messages by priority
// one at a time, delivery results, lost lines, the reconnection limit, the
// idle line and Close, checked on the wire and at the handler.

#include "e2e/E2eFixture.h"

namespace e2e {
namespace {

using Session = E2e;

// ---- Log-in ----

struct LoginCase {
    const char* password;
    std::string secondLoginPassword;  // on the line after a reconnection
};

class Login : public E2e, public ::testing::WithParamInterface<LoginCase> {};

TEST_P(Login, ExactFrameOnTheWireAnswerReachesTheHandlerOnceAndTheTokenIsKept) {
    peer_.SetRule([](const Frame& f) {
        return f.id == 1 ? "<g44>1<p>1</p><p>" + Transformed("tok") + "</p></g44>" : ScriptedPeer::Usual(f);
    });
    LogIn("abc", GetParam().password);
    ASSERT_TRUE(LoggedIn());
    EXPECT_EQ(peer_.Received(0), LoginFrame("abc", GetParam().password));
    EXPECT_EQ(LoginFrame("abc", "pw"), "<g44>1<p>bdf</p><p>qy</p><p></p><p>7</p><p>five</p><p>six</p></g44>");
    EXPECT_EQ(Packages(), Lines{"msg 1 1|tok"});  // decoded for the application
    EXPECT_EQ(client_->State(), CNetClient::CONN_CONNECTED);

    // After a lost line the stored log-in goes first and is not reported again.
    peer_.DropAll();
    Send(Message(40, {"after"}));
    ASSERT_TRUE(Have("info 1 0/0 40"));
    EXPECT_EQ(peer_.Ids(1), (std::vector<long>{1, 40}));
    std::vector<Frame> logins;
    for (const Frame& f : peer_.Frames()) {
        if (f.id == 1) logins.push_back(f);
    }
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[1].params.at(1), GetParam().secondLoginPassword);
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|tok", "info 1 0/0 40"}));
}

INSTANTIATE_TEST_SUITE_P(Passwords, Login,
                         ::testing::Values(LoginCase{"pw", "qy"},
                                           // An empty password is replaced by the server's token.
                                           LoginCase{"", Transformed("tok")}));

TEST_F(Session, RefusedLoginIsAnErrorAndTheClientNeverComesBack) {
    peer_.SetRule([](const Frame& f) { return ScriptedPeer::HangUp(f.id == 1 ? "<g44>0<p>3</p></g44>" : ""); });
    LogIn();
    ASSERT_TRUE(Have("error 3 -"));
    Pass(2 * 60 * 1000);
    EXPECT_EQ(Packages(), Lines{"error 3 -"});
    EXPECT_EQ(client_->State(), CNetClient::CONN_CLOSED);
    EXPECT_EQ(ports_->Targets(), Lines{"127.0.0.1:800"});
}

TEST_F(Session, UnansweredLoginHoldsBackTheQueue) {
    peer_.SetRule([](const Frame& f) { return f.id == 1 ? "" : ScriptedPeer::Usual(f); });
    Open();
    Send(Message(41, {"early"}));
    LogIn();
    ASSERT_TRUE(Eventually([&] { return peer_.Frames().size() == 1; }));
    Pass(20 * 1000);
    EXPECT_EQ(peer_.Frames().size(), 1u);
    EXPECT_EQ(client_->State(), CNetClient::CONN_SOCKET_CONNECTED);
    ASSERT_TRUE(peer_.Push(kLoginOk));
    ASSERT_TRUE(Have("info 1 0/0 41"));
    EXPECT_EQ(peer_.Ids(0), (std::vector<long>{1, 41}));
}

// ---- Messages ----

TEST_F(Session, ByPriorityOneInFlightEachKeptQueuedUntilAnswered) {
    peer_.SetRule([](const Frame& f) { return f.id == 1 ? kLoginOk : ""; });
    Open();
    const int priorities[] = {3, 1, 2, 1, 4};
    for (int i = 0; i < 5; ++i) Send(Message(50 + i, {std::string(1, 'a' + i)}, priorities[i]));
    LogIn();
    const std::vector<long> order = {51, 53, 52, 50, 54};  // by priority, first come first within one
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

TEST_F(Session, DeliveryResultsNameTheirMessageAndARefusedOneIsNotSentAgain) {
    peer_.SetRule([](const Frame& f) { return f.id == 61 ? "<g44>7<p>0</p></g44>" : ScriptedPeer::Usual(f); });
    LogIn();
    ASSERT_TRUE(LoggedIn());
    for (unsigned long id : {60, 61, 62}) Send(Message(id, {"x", "y"}));
    ASSERT_TRUE(Have("info 1 0/0 62"));
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 60", "error 7 61", "info 1 0/0 62"}));
    EXPECT_EQ(peer_.Ids(0), (std::vector<long>{1, 60, 61, 62}));
    EXPECT_EQ(peer_.Frames().at(1).text, "<g44>60<p>x</p><p>y</p></g44>");
}

TEST_F(Session, ServerMessagesSplitAcrossWritesArriveInOrder) {
    LogIn();
    ASSERT_TRUE(LoggedIn());
    ASSERT_TRUE(peer_.Push("<g44>20<p>hello</p><p>world</p></g44><g44>21<p>a</p></g44><g44>22<p>b"));
    ASSERT_TRUE(Have("msg 21"));
    ASSERT_TRUE(peer_.Push("</p></g44>"));
    ASSERT_TRUE(Have("msg 22"));
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "msg 20 hello|world", "msg 21 a", "msg 22 b"}));
}

// ---- Lost lines ----

struct LossCase {
    const char* name;
    std::string firstAnswer;  // to message 82, the first time
    std::vector<long> firstLine, secondLine;
};

class Loss : public E2e, public ::testing::WithParamInterface<LossCase> {};

// Whatever the line does to the message in flight, the next line starts
// with the log-in, the message goes again, and each is delivered once.
TEST_P(Loss, TheUnansweredMessageGoesAgainAfterTheLoginAndNothingIsLost) {
    auto first = std::make_shared<bool>(true);
    const std::string answer = GetParam().firstAnswer;
    peer_.SetRule([first, answer](const Frame& f) {
        if (f.id != 82 || !*first) return ScriptedPeer::Usual(f);
        *first = false;
        return answer;
    });
    LogIn();
    ASSERT_TRUE(LoggedIn());
    for (unsigned long id = 81; id <= 84; ++id) Send(Message(id, {"payload"}));
    ASSERT_TRUE(Have("info 1 0/0 84")) << ::testing::PrintToString(Packages());
    EXPECT_EQ(peer_.Ids(0), GetParam().firstLine);
    EXPECT_EQ(peer_.Ids(1), GetParam().secondLine);
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 81", "info 1 0/0 82", "info 1 0/0 83",
                                 "info 1 0/0 84"}));
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Loss,
    ::testing::Values(LossCase{"HangUp", ScriptedPeer::HangUp(), {1, 81, 82}, {1, 82, 83, 84}},
                      // Half an answer, then the line goes: the half is never delivered.
                      LossCase{"HalfAnswer", ScriptedPeer::HangUp("<g44>7<p"), {1, 81, 82}, {1, 82, 83, 84}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(Session, KilledServerMessageWaitsAndIsDeliveredOnceWhenItIsBack) {
    peer_.SetRule([](const Frame& f) { return f.id == 203 ? "" : ScriptedPeer::Usual(f); });
    LogIn();
    ASSERT_TRUE(LoggedIn());
    Send(Message(203, {"once more"}));
    ASSERT_TRUE(Eventually([&] { return peer_.Ids(0).size() == 2; }));
    peer_.SetListening(false);
    ASSERT_TRUE(Eventually([&] { return ports_->Targets().size() >= 4; }));  // refused, and again
    EXPECT_EQ(client_->Queued(), 1);
    peer_.SetRule(&ScriptedPeer::Usual);
    peer_.SetListening(true);
    ASSERT_TRUE(Have("info 1 0/0 203"));
    EXPECT_EQ(peer_.Ids(peer_.Connections() - 1), (std::vector<long>{1, 203}));
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 203"}));
    EXPECT_TRUE(trace_->Contains("WSAECONNREFUSED: Connection refused."));
}

// ---- The reconnection limit ----

class Limit : public E2e, public ::testing::WithParamInterface<int> {};

TEST_P(Limit, GivesUpWithError11OnceAndNewWorkBuysAnotherTry) {
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
    EXPECT_EQ(peer_.Ids(1), (std::vector<long>{1, 110}));
}

INSTANTIATE_TEST_SUITE_P(Counts, Limit, ::testing::Values(0, 3));

// ---- The idle line, on the fast clock ----

TEST_F(Session, ASilentMinuteSendsAKeepAliveAndAnsweredOnesKeepTheLine) {
    LogIn();
    ASSERT_TRUE(Eventually([&] { return peer_.Frames().size() >= 4; }));
    EXPECT_EQ(peer_.Received(0).substr(0, LoginFrame().size() + 30), LoginFrame() + kKeepAlive);
    EXPECT_EQ(peer_.Connections(), 1u);
    EXPECT_FALSE(trace_->Contains("Reconnecting..."));
}

// An unanswered message is followed by a keep-alive; when that goes
// unanswered too, the response time-out ends the line and the message goes
// again after the new log-in.
TEST_F(Session, UnansweredKeepAliveEndsTheLineAndTheMessageGoesAgain) {
    auto silent = std::make_shared<bool>(true);
    peer_.SetRule([silent](const Frame& f) { return f.id == 1 || !*silent ? ScriptedPeer::Usual(f) : ""; });
    LogIn();
    ASSERT_TRUE(LoggedIn());
    Send(Message(120, {"lost"}));
    ASSERT_TRUE(Eventually([&] { return peer_.Frames().size() >= 3; }));
    *silent = false;
    ASSERT_TRUE(Have("info 1 0/0 120"));
    EXPECT_EQ(peer_.Received(0), LoginFrame() + "<g44>120<p>lost</p></g44>" + kKeepAlive);
    EXPECT_EQ(peer_.Ids(1), (std::vector<long>{1, 120}));
    EXPECT_TRUE(peer_.Closed(0));
    const long timeOut = trace_->IndexOf("Response Time Out...");
    EXPECT_GE(timeOut, 0);
    EXPECT_GT(trace_->IndexOf("Reconnecting...", static_cast<std::size_t>(timeOut)), timeOut);
    EXPECT_EQ(Packages(), (Lines{"msg 1 1|ok", "info 1 0/0 120"}));
}

// ---- Close ----

struct CloseCase {
    bool loggedIn;
    bool clearQueues;
    std::vector<long> onTheLine;
    int queuedAfter;
};

class Close : public E2e, public ::testing::WithParamInterface<CloseCase> {};

// The disconnect frame goes last, and only when logged in; Close(true)
// drops the queue, the message in flight too.
TEST_P(Close, DisconnectWhenLoggedInAndClearedQueueOnRequest) {
    const CloseCase c = GetParam();
    peer_.SetRule([c](const Frame& f) { return f.id == 1 && c.loggedIn ? kLoginOk : ""; });
    LogIn();
    if (c.loggedIn) {
        ASSERT_TRUE(LoggedIn());
    }
    for (unsigned long id = 130; id < 135; ++id) Send(Message(id, {"queued"}));
    ASSERT_TRUE(Eventually([&] { return peer_.Ids(0).size() == c.onTheLine.size() - c.loggedIn; }));
    EXPECT_TRUE(client_->Close(c.clearQueues));
    ASSERT_TRUE(Eventually([&] { return peer_.Closed(0); }));
    EXPECT_EQ(peer_.Ids(0), c.onTheLine);
    if (c.loggedIn) {
        const std::string line = peer_.Received(0);
        EXPECT_EQ(line.substr(line.size() - 20), "<g44>0<p>0</p></g44>");
    }
    EXPECT_EQ(client_->Queued(), c.queuedAfter);
    EXPECT_EQ(client_->State(), CNetClient::CONN_CLOSED);
    EXPECT_FALSE(client_->Open(params_));  // closed for good
}

INSTANTIATE_TEST_SUITE_P(Cases, Close,
                         ::testing::Values(CloseCase{true, false, {1, 130, 0}, 5},
                                           CloseCase{true, true, {1, 130, 0}, 0},
                                           CloseCase{false, false, {1}, 5}));

}  // namespace
}  // namespace e2e
