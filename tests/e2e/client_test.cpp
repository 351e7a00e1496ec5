// transport::Client against the scripted peer: typed events in order,
// connection events across a drop, results that say why, Flush and Close.

#include <transport/Client.h>

#include <stdexcept>

#include "e2e/E2eFixture.h"

namespace e2e {
namespace {

using transport::Event;
using transport::SendResult;
using Kind = Event::Kind;

class ModernClient : public E2e {
protected:
    // Each event as a line: its kind, then what it names.
    void Record(const Event& e) {
        std::string line = transport::ToString(e.kind);
        if (e.message != nullptr) line += " " + std::to_string(e.message->GetId());
        if (e.kind == Kind::kMessage) line += " " + std::string(e.Param(0));
        if (e.kind == Kind::kConnecting) {
            line += " " + std::string(e.host) + ":" + std::to_string(e.port) + " way " +
                    std::to_string(static_cast<int>(e.way));
        }
        if (e.kind == Kind::kDisconnected || e.kind == Kind::kError) line += " " + std::to_string(e.code);
        if (e.kind == Kind::kProgress) line += " " + std::to_string(e.part) + "/" + std::to_string(e.total);
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(line);
    }
    Lines Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    bool Saw(const std::string& line, std::size_t times = 1) {
        return Eventually([&] {
            const Lines all = Events();
            return static_cast<std::size_t>(std::count(all.begin(), all.end(), line)) >= times;
        });
    }
    transport::Client Make(transport::Options options = {}) {
        if (options.hosts.empty()) options.hosts = {"127.0.0.1"};
        options.platform = trace_.get();
        options.reconnectDelay = std::chrono::milliseconds(700);
        return transport::Client(options, [this](const Event& e) { Record(e); });
    }

    std::mutex mutex_;
    Lines events_;
};

TEST_F(ModernClient, EventsInOrderAcrossADropAndResultsThatSayWhy) {
    peer_.SetRule([](const Frame& f) { return f.id == 6 ? "<g44>7<p>0</p></g44>" : ScriptedPeer::Echo(f); });
    transport::Client client = Make();
    ASSERT_TRUE(client.LogIn("abc", "pw", {"", 7, "five", "six"}));
    EXPECT_EQ(client.Send(5, {"hello", "world"}), SendResult::kQueued);
    EXPECT_EQ(client.Send(6, {"no"}), SendResult::kQueued);
    EXPECT_EQ(client.Flush(std::chrono::seconds(30)), 0u);
    ASSERT_TRUE(Saw("message 5 hello"));
    // The log-in's answer comes as the server sent it (its value decoded), once.
    const Lines first = {"connecting 127.0.0.1:800 way 0", "connected", "message 1 1", "logged in",
                         "delivered 5", "message 5 hello", "refused 6"};
    EXPECT_EQ(Events(), first);
    EXPECT_EQ(peer_.Received(0).substr(0, LoginFrame().size()), LoginFrame());

    peer_.DropAll();  // told once, and logged in again on its own
    ASSERT_TRUE(Saw("logged in", 2));
    Lines again = first;
    again.insert(again.end(), {"disconnected 10054", "connecting 127.0.0.1:800 way 0", "connected", "logged in"});
    EXPECT_EQ(Events(), again);

    const std::string bytes("\0\x01\xff<p>", 6);
    EXPECT_EQ(client.SendBinary(305, bytes, {"tag"}), SendResult::kQueued);
    ASSERT_TRUE(Saw("message 305 " + bytes));
    EXPECT_EQ(client.Send(20, {"a</p>b"}), SendResult::kFrameTag);
    EXPECT_EQ(client.Send(20, {"x"}, 5), SendResult::kBadPriority);
    client.Close();
    EXPECT_EQ(client.Send(20, {"late"}), SendResult::kClosed);
    transport::Client moved = std::move(client);
    EXPECT_EQ(client.Send(20, {"gone"}), SendResult::kClosed);  // NOLINT: moved from on purpose
    EXPECT_EQ(client.Pending(), 0u);
}

TEST_F(ModernClient, FlushWaitsOnlyItsTimeAndGivingUpIsAnEvent) {
    peer_.SetRule([](const Frame& f) { return f.id == 1 ? kLoginOk : ""; });
    transport::Options options;
    options.reconnectLimit = 0;
    transport::Client client = Make(options);
    client.LogIn("abc", "pw");
    client.SendObject("obj", std::string(3000, 'o'));  // two parts
    EXPECT_EQ(client.Flush(std::chrono::milliseconds(200)), 2u);
    EXPECT_EQ(client.Pending(), 2u);
    peer_.SetListening(false);
    ASSERT_TRUE(Saw("gave up"));
    EXPECT_TRUE(Saw("error 11"));
}

TEST_F(ModernClient, ABoundedQueueDropsTheOldestOfTheLowestPriorityAndSaysSo) {
    transport::Options options;
    options.maxQueued = 2;
    options.dropOldest = true;
    transport::Client client = Make(options);  // not logged in: everything stays queued
    EXPECT_EQ(client.Send(31, {"a"}, 1), SendResult::kQueued);
    EXPECT_EQ(client.Send(32, {"b"}, 4), SendResult::kQueued);
    EXPECT_EQ(client.Send(33, {"c"}, 4), SendResult::kQueued);
    EXPECT_EQ(client.Send(34, {"d"}, 1), SendResult::kQueued);
    EXPECT_EQ(Events(), (Lines{"dropped 32", "dropped 33"}));
    EXPECT_EQ(client.Classic().GetQueuedBytes(), 4u);

    options.dropOldest = false;
    options.maxQueuedBytes = 5;
    transport::Client refusing = Make(options);
    EXPECT_EQ(refusing.Send(35, {"abcd"}), SendResult::kQueued);
    EXPECT_EQ(refusing.Send(36, {"e"}), SendResult::kQueueFull);
    EXPECT_EQ(refusing.Pending(), 1u);
}

// A server on the IPv6 loopback, on a port of its own: the same session; in
// real time, with a keep-alive every second, not every minute.
TEST_F(ModernClient, AnIpv6HostWithItsOwnPortAndKeepAliveInterval) {
    UseClock(1);
    ScriptedPeer v6("::1");
    transport::Options options;
    options.hosts = {"[::1]:" + std::to_string(v6.Port())};
    options.keepAlive = std::chrono::seconds(1);
    transport::Client client = Make(options);
    client.LogIn("abc", "pw");
    EXPECT_EQ(client.Send(5, {"over v6"}), SendResult::kQueued);
    EXPECT_EQ(client.Flush(std::chrono::seconds(30)), 0u);
    const Lines events = Events();  // an address of this family is looked up, by number
    EXPECT_EQ(Lines(events.begin(), events.begin() + 2),
              (Lines{"resolving", "connecting ::1:" + std::to_string(v6.Port()) + " way 0"}));
    EXPECT_EQ(v6.Ids(0), (Ids{1, 5}));
    EXPECT_TRUE(
        Eventually([&] { return v6.Received(0).find(kKeepAlive) != std::string::npos; }, 10000));
}

TEST(ModernClientOptions, OptionsItCannotTakeAreRefused) {
    const std::vector<std::string> bad[] = {{}, {"a", "b", "c", "d", "e"}, {"h", std::string(16, 'x')},
                                            {std::string(256, 'x')}};
    for (const auto& hosts : bad) {
        transport::Options options;
        options.hosts = hosts;
        EXPECT_THROW(transport::Client(options, nullptr), std::invalid_argument) << hosts.size();
    }
}

}  // namespace
}  // namespace e2e
