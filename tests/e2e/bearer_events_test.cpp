// What the bearer's status changes do to a running client, driven through
// the bearer double: the disconnected family asks for a new bearer after the
// reconnection delay in every state but CONN_CLOSED; Connected while the
// socket is up confirms the line (queued messages go, or a keep-alive); the
// waiting family and unknown words change nothing.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "e2e/WalkFixture.h"

namespace e2e {
namespace {

using Lines = std::vector<std::string>;

const char kHost[] = "127.0.0.51";
const char kConnected[] = "Connection status changed: Connected!!!";

// The clock runs 20 times fast: a keep-alive of the client's own would need
// three real seconds of silence, far more than any of these tests waits.
class BearerEventsTest : public WalkTest {
protected:
    BearerEventsTest() : WalkTest(20) {}

    void SetUp() override {
        WalkTest::SetUp();
        SetHost(m_params.szHost1, kHost);
        m_script.Set(kHost, 800, ConnectScript::RouteTo(m_line.Port()));
    }

    void LogIn() {
        StartWalk();
        ASSERT_TRUE(WaitLoggedIn());
        ASSERT_EQ(m_script.Journal(), (Lines{"establish", "connect 127.0.0.51:800"}));
    }

    bool WaitForJournal(const Lines& expected) {
        return m_script.WaitForJournal([&](const Lines& j) { return j == expected; }, kWait);
    }

    FakeServer m_line{0, kHost};
};

class DisconnectedStatusTest : public BearerEventsTest,
                               public ::testing::WithParamInterface<std::uint32_t> {
protected:
    std::string ChangeText() const {
        return GetParam() == 0x20 ? "Connection status changed: No connection!!! (Disconnected)"
                                  : "Connection status changed: No connection!!!(Connection lost)";
    }
};

// Logged in: the bearer is released and, after the delay, asked for again.
// The socket outlived the blip, so the new bearer's Connected confirms it
// with a keep-alive on the same line, and the counter is back at zero.
TEST_P(DisconnectedStatusTest, LoggedInClientGetsANewBearerAfterTheDelayAndKeepsItsLine) {
    LogIn();
    m_bearer.SetStatus(GetParam());
    ASSERT_TRUE(m_line.WaitForFramesWithId(12, 1, kWait));

    EXPECT_EQ(m_script.Journal(), (Lines{"establish", "connect 127.0.0.51:800", "release",
                                         "sleep 700", "establish"}));
    EXPECT_EQ(m_bearer.ReleaseCount(), 1);
    EXPECT_TRUE(m_trace.Contains(ChangeText()));
    const long lost = m_trace.IndexOf(ChangeText());
    const long confirmed = m_trace.IndexOf(kConnected, static_cast<std::size_t>(lost));
    ASSERT_GE(confirmed, 0);
    // The send's own trace line follows the bytes on the wire.
    EXPECT_TRUE(Eventually([&] {
        return m_trace.IndexOf("S E N T>>>: <g44>12<p>Keep-Alive</p></g44>",
                               static_cast<std::size_t>(confirmed)) >= 0;
    }));
    EXPECT_EQ(m_line.ConnectionCount(), 1u);
    EXPECT_TRUE(Eventually([&] { return Client().State() == CNetClient::CONN_CONNECTED; }));
    EXPECT_EQ(Client().ReconCount(), 0);
}

// The bearer fails while it is still coming up (no socket yet): released and
// asked for again, and once it is connected the client connects and logs in.
TEST_P(DisconnectedStatusTest, BearerThatFailsWhileComingUpIsAskedForAgain) {
    m_bearer.SetEstablishStatus(std::nullopt);  // stays "attempting"
    StartWalk();
    ASSERT_TRUE(m_bearer.WaitForEstablishCount(1, kWaitMs));
    m_bearer.SetStatus(GetParam());
    ASSERT_TRUE(WaitForJournal({"establish", "release", "sleep 700", "establish"}));
    ASSERT_TRUE(m_bearer.WaitForEstablishCount(2, kWaitMs));
    EXPECT_EQ(Client().State(), CNetClient::CONN_NOT_CONNECTED);

    m_bearer.SetStatus(0x10);
    ASSERT_TRUE(WaitLoggedIn());
    EXPECT_EQ(m_script.Journal(),
              (Lines{"establish", "release", "sleep 700", "establish", "connect 127.0.0.51:800"}));
    EXPECT_EQ(Client().ReconCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Family, DisconnectedStatusTest,
                         ::testing::Values(0x20u, 0x21u, 0x22u, 0x23u, 0x24u, 0x25u, 0x26u));

// The log-in went out and is not answered (CONN_SOCKET_CONNECTED): a lost
// bearer is released and asked for again there too.
TEST_F(BearerEventsTest, LostBearerWhileTheLoginIsUnansweredIsAskedForAgain) {
    m_line.IgnoreLogins(true);
    StartWalk();
    ASSERT_TRUE(m_line.WaitForFramesWithId(1, 1, kWait));
    ASSERT_TRUE(Eventually([&] { return Client().State() == CNetClient::CONN_SOCKET_CONNECTED; }));
    m_bearer.SetStatus(0x24);
    ASSERT_TRUE(WaitForJournal(
        {"establish", "connect 127.0.0.51:800", "release", "sleep 700", "establish"}));
    EXPECT_EQ(m_bearer.ReleaseCount(), 1);
}

// A client the server refused (CONN_CLOSED) stays as it is, whatever the
// bearer says.
TEST_F(BearerEventsTest, RefusedClientIgnoresTheBearer) {
    m_line.RefuseLogins(3);
    StartWalk();
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_ERROR, 3, 1));
    ASSERT_TRUE(Eventually([&] { return Client().State() == CNetClient::CONN_CLOSED; }));

    m_bearer.SetStatus(0x20);
    ASSERT_TRUE(m_trace.WaitFor("Connection status changed: No connection!!! (Disconnected)", kWaitMs));
    m_bearer.SetStatus(0x10);
    ASSERT_TRUE(m_trace.WaitFor("ConnMngrStatus: Successfully connected", kWaitMs));
    LetClientTimePass(20 * 1000);
    EXPECT_EQ(m_script.Journal(), (Lines{"establish", "connect 127.0.0.51:800"}));
    EXPECT_EQ(Client().State(), CNetClient::CONN_CLOSED);
    EXPECT_EQ(m_line.ConnectionCount(), 1u);
    EXPECT_EQ(PackageLog::Get().Entries().size(), 1u);
}

// Connected while the socket is up and nothing is queued: a keep-alive on
// the same line.
TEST_F(BearerEventsTest, ConnectedWithAnEmptyQueueSendsAKeepAlive) {
    LogIn();
    m_bearer.SetStatus(0x10);
    ASSERT_TRUE(m_line.WaitForFramesWithId(12, 1, kWait));
    EXPECT_TRUE(m_trace.Contains(kConnected));
    EXPECT_FALSE(m_trace.Contains("Message in Send queue ="));
    EXPECT_EQ(m_script.Journal(), (Lines{"establish", "connect 127.0.0.51:800"}));
    EXPECT_EQ(m_line.ConnectionCount(), 1u);
    EXPECT_EQ(Client().State(), CNetClient::CONN_CONNECTED);
}

// Messages queued while the bearer was away wait; the bearer's Connected
// releases them onto the line that survived, with no new connection.
TEST_F(BearerEventsTest, ConnectedReleasesWhatWasQueuedWhileTheBearerWasAway) {
    LogIn();
    m_bearer.SetEstablishStatus(std::nullopt);
    m_bearer.SetStatus(0x22);
    ASSERT_TRUE(m_bearer.WaitForEstablishCount(2, kWaitMs));
    ASSERT_EQ(Client().State(), CNetClient::CONN_NOT_CONNECTED);

    NetMessage first = MakeMessage(60, 2, {"one"});
    NetMessage second = MakeMessage(61, 3, {"two"});
    m_client->Send(&first);
    m_client->Send(&second);
    LetClientTimePass(10 * 1000);
    EXPECT_EQ(m_line.FramesWithId(60).size() + m_line.FramesWithId(61).size(), 0u);

    m_bearer.SetStatus(0x10);
    ASSERT_TRUE(PackageLog::Get().WaitForCount(NetPackage::KIND_INFORMATION, 1, 2));
    EXPECT_TRUE(m_trace.Contains("Message in Send queue ="));
    std::vector<long> ids;
    for (const auto& f : m_line.Frames()) {
        if (f.id != 12) ids.push_back(f.id);
    }
    EXPECT_EQ(ids, (std::vector<long>{1, 60, 61}));
    EXPECT_EQ(m_line.ConnectionCount(), 1u);
    EXPECT_EQ(m_script.Journal(), (Lines{"establish", "connect 127.0.0.51:800", "release",
                                         "sleep 700", "establish"}));
    // Each message leaves the queue once its answer has been handled.
    EXPECT_TRUE(Eventually([&] { return Client().OutputCount() == 0; }));
}

struct QuietStatus {
    std::uint32_t status;
    const char* text;  // what the client traces for it
};

class QuietStatusTest : public BearerEventsTest,
                        public ::testing::WithParamInterface<QuietStatus> {};

// The waiting family is traced as such; 0x80, 0x81 and words of no family
// only get their status text. None of them touches the line or the bearer.
TEST_P(QuietStatusTest, OnlyTraces) {
    LogIn();
    const std::size_t before = m_trace.Lines().size();
    m_bearer.SetStatus(GetParam().status);
    ASSERT_TRUE(m_trace.WaitFor(GetParam().text, kWaitMs));
    const bool waiting = (GetParam().status & 0x40) != 0;
    if (waiting) {
        EXPECT_TRUE(m_trace.WaitFor("Connection status changed: Waiting for Connection", kWaitMs));
    }

    LetClientTimePass(10 * 1000);
    const Lines lines = m_trace.Lines();
    const Lines after(lines.begin() + static_cast<long>(before), lines.end());
    auto tracedAfter = [&](const char* text) {
        for (const std::string& line : after) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    };
    EXPECT_EQ(tracedAfter("Connection status changed: Waiting for Connection"), waiting);
    EXPECT_FALSE(tracedAfter("Connection status changed: No connection"));
    EXPECT_FALSE(tracedAfter(kConnected));
    EXPECT_EQ(m_script.Journal(), (Lines{"establish", "connect 127.0.0.51:800"}));
    EXPECT_EQ(m_bearer.ReleaseCount(), 0);
    EXPECT_EQ(Client().State(), CNetClient::CONN_CONNECTED);
    EXPECT_EQ(m_line.ConnectionCount(), 1u);
    EXPECT_EQ(m_line.FrameCount(), 1u);  // the log-in only
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, QuietStatusTest,
    ::testing::Values(
        QuietStatus{0x40, "ConnMngrStatus: The device is attempting to connect."},
        QuietStatus{0x41, "ConnMngrStatus: Another client is using resources"},
        QuietStatus{0x42, "ConnMngrStatus: The device is waiting for a task with a higher priority"},
        QuietStatus{0x80, "ConnMngrStatus: The connection is being brought down."},
        QuietStatus{0x81, "ConnMngrStatus: The device is aborting the connection attempt."},
        QuietStatus{0x11, "ConnMngrStatus: The status is unknown."},
        QuietStatus{0x00, "ConnMngrStatus: The status is unknown."},
        QuietStatus{0x100, "ConnMngrStatus: The status is unknown."}));

}  // namespace
}  // namespace e2e
