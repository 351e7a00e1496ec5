// How the platform wakes waiting threads: kernel objects hold no descriptor,
// a signal pokes the threads registered on the object (asleep on their
// futex word, or in poll() when sockets are among what they wait for), and
// what a poll saw of a socket is forgotten once a receive has run.

#include <gtest/gtest.h>
#include <transport/Platform.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/LoopbackPeer.h"

namespace transport {
namespace {

using test::LoopbackListener;
using test::LoopbackPeer;
using test::OpenDescriptorCount;

class WakeTest : public ::testing::Test {
protected:
    ~WakeTest() override {
        for (Handle handle : owned_) platform_.CloseHandle(handle);
    }
    Handle Own(Handle handle) {
        EXPECT_NE(handle, nullptr);
        owned_.push_back(handle);
        return handle;
    }

    // A platform socket connected to a loopback peer, selected on event.
    std::unique_ptr<LoopbackPeer> Connect(Handle event, SocketHandle* socket) {
        *socket = platform_.CreateSocket();
        EXPECT_NE(*socket, kInvalidSocket);
        if (platform_.Connect(*socket, listener_.Address()) == kSocketError) {
            EXPECT_EQ(platform_.GetLastSocketError(), kErrWouldBlock);
        }
        EXPECT_EQ(platform_.EventSelect(*socket, event, kFdRead | kFdConnect | kFdClose), 0);
        NetworkEvents events{};
        EXPECT_EQ(platform_.WaitOne(event, 5000), kWaitObject0);
        EXPECT_EQ(platform_.EnumNetworkEvents(*socket, event, &events), 0);
        EXPECT_EQ(events.lNetworkEvents, kFdConnect);
        return listener_.Accept(5000);
    }

    Platform& platform_ = DefaultPlatform();
    LoopbackListener listener_;
    std::vector<Handle> owned_;
};

TEST_F(WakeTest, KernelObjectsTakeNoDescriptors) {
    const std::size_t before = OpenDescriptorCount();
    for (int i = 0; i < 200; ++i) {
        Own(platform_.CreateEvent());
        Own(platform_.CreateSemaphore(0, 10));
    }
    // Signalling and waiting need none either.
    ASSERT_TRUE(platform_.SetEvent(owned_[0]));
    EXPECT_EQ(platform_.WaitOne(owned_[0], 0), kWaitObject0);
    EXPECT_EQ(platform_.WaitOne(owned_[1], 10), kWaitTimeout);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// Two threads hand a token back and forth through two events: every
// hand-off must wake the other side, asleep or about to sleep.
TEST_F(WakeTest, ManyHandOffsLoseNoWakeUp) {
    Handle ping = Own(platform_.CreateEvent());
    Handle pong = Own(platform_.CreateEvent());
    constexpr int kRounds = 20000;
    std::atomic<int> answered{0};
    std::thread other([&] {
        for (int i = 0; i < kRounds; ++i) {
            if (platform_.WaitOne(ping, 10000) != kWaitObject0) return;
            platform_.ResetEvent(ping);
            ++answered;
            platform_.SetEvent(pong);
        }
    });
    int rounds = 0;
    for (; rounds < kRounds; ++rounds) {
        platform_.SetEvent(ping);
        if (platform_.WaitOne(pong, 10000) != kWaitObject0) break;
        platform_.ResetEvent(pong);
    }
    other.join();
    EXPECT_EQ(rounds, kRounds);
    EXPECT_EQ(answered.load(), kRounds);
}

// Releases of a semaphore reach a thread that waits on it beside a second
// object, whichever moment they come at.
TEST_F(WakeTest, SemaphoreReleasesAllReachTheWaiter) {
    Handle semaphore = Own(platform_.CreateSemaphore(0, 1000000));
    Handle stop = Own(platform_.CreateEvent());
    constexpr int kReleases = 20000;
    std::atomic<int> taken{0};
    std::thread waiter([&] {
        const Handle both[2] = {semaphore, stop};
        while (taken.load() < kReleases) {
            if (platform_.Wait(both, 2, 10000) != kWaitObject0) return;
            ++taken;
        }
    });
    for (int i = 0; i < kReleases; ++i) ASSERT_TRUE(platform_.ReleaseSemaphore(semaphore, 1, nullptr));
    waiter.join();
    EXPECT_EQ(taken.load(), kReleases);
    EXPECT_EQ(platform_.WaitOne(semaphore, 0), kWaitTimeout);
}

// A thread polling a socket is woken by a signal of another object in the
// same wait, every time (its wake descriptor, not the socket, carries it).
TEST_F(WakeTest, ThreadPollingASocketWakesForAnotherObject) {
    Handle socketEvent = Own(platform_.CreateEvent());
    Handle other = Own(platform_.CreateEvent());
    SocketHandle socket = kInvalidSocket;
    std::unique_ptr<LoopbackPeer> peer = Connect(socketEvent, &socket);
    ASSERT_NE(peer, nullptr);

    constexpr int kRounds = 300;
    std::atomic<int> woken{0};
    Handle done = Own(platform_.CreateEvent());
    std::thread poller([&] {
        const Handle both[2] = {socketEvent, other};
        for (int i = 0; i < kRounds; ++i) {
            if (platform_.Wait(both, 2, 10000) != kWaitObject0 + 1) return;
            platform_.ResetEvent(other);
            ++woken;
            platform_.SetEvent(done);
        }
    });
    int rounds = 0;
    for (; rounds < kRounds; ++rounds) {
        platform_.SetEvent(other);
        if (platform_.WaitOne(done, 10000) != kWaitObject0) break;
        platform_.ResetEvent(done);
    }
    poller.join();
    EXPECT_EQ(rounds, kRounds);
    EXPECT_EQ(woken.load(), kRounds);
    platform_.CloseSocket(socket);
}

// Data that a wait saw and a receive then took is not reported again: the
// next wait sleeps until new data comes, and an enumeration in between
// reports nothing.
TEST_F(WakeTest, DataSeenByAWaitIsForgottenOnceReceived) {
    Handle event = Own(platform_.CreateEvent());
    SocketHandle socket = kInvalidSocket;
    std::unique_ptr<LoopbackPeer> peer = Connect(event, &socket);
    ASSERT_NE(peer, nullptr);

    for (int round = 0; round < 3; ++round) {
        const std::string text = "chunk " + std::to_string(round);
        ASSERT_TRUE(peer->SendAll(text));
        ASSERT_EQ(platform_.WaitOne(event, 5000), kWaitObject0);
        // Received before the enumeration, as a reader that does not wait
        // for the report would.
        char buffer[64] = {};
        std::uint32_t received = 0;
        ASSERT_EQ(platform_.Receive(socket, buffer, sizeof(buffer), 2000, &received), 0);
        EXPECT_EQ(std::string(buffer, received), text);

        NetworkEvents events{};
        EXPECT_EQ(platform_.EnumNetworkEvents(socket, event, &events), 0);
        EXPECT_EQ(events.lNetworkEvents, 0);
        EXPECT_EQ(platform_.WaitOne(event, 50), kWaitTimeout);
    }

    // Seen, reported, and read by the reader: the same once more.
    ASSERT_TRUE(peer->SendAll("last"));
    ASSERT_EQ(platform_.WaitOne(event, 5000), kWaitObject0);
    NetworkEvents events{};
    ASSERT_EQ(platform_.EnumNetworkEvents(socket, event, &events), 0);
    EXPECT_EQ(events.lNetworkEvents, kFdRead);
    char buffer[16] = {};
    std::uint32_t received = 0;
    ASSERT_EQ(platform_.Receive(socket, buffer, sizeof(buffer), 2000, &received), 0);
    EXPECT_EQ(platform_.WaitOne(event, 50), kWaitTimeout);

    // The peer's close after it is still reported, once.
    peer->Close();
    ASSERT_EQ(platform_.WaitOne(event, 5000), kWaitObject0);
    ASSERT_EQ(platform_.EnumNetworkEvents(socket, event, &events), 0);
    EXPECT_EQ(events.lNetworkEvents, kFdClose);
    EXPECT_EQ(platform_.WaitOne(event, 50), kWaitTimeout);
    platform_.CloseSocket(socket);
}

unsigned long WaitOnSocket(void* argument) {
    auto* handles = static_cast<Handle*>(argument);
    DefaultPlatform().Wait(handles, 2, kInfinite);
    return 0;
}

// The wake descriptor of a thread that polled a socket goes with the thread:
// a closed client leaves no descriptor behind.
TEST_F(WakeTest, WakeDescriptorGoesWithItsThread) {
    Handle socketEvent = Own(platform_.CreateEvent());
    Handle kill = Own(platform_.CreateEvent());
    SocketHandle socket = kInvalidSocket;
    std::unique_ptr<LoopbackPeer> peer = Connect(socketEvent, &socket);
    ASSERT_NE(peer, nullptr);
    const std::size_t before = OpenDescriptorCount();

    Handle handles[2] = {socketEvent, kill};
    Handle thread = platform_.CreateThread(&WaitOnSocket, handles, false);
    ASSERT_NE(thread, nullptr);
    // Polling the socket, the thread holds one descriptor of its own.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (OpenDescriptorCount() != before + 1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    platform_.SetEvent(kill);
    ASSERT_EQ(platform_.WaitOne(thread, 5000), kWaitObject0);
    platform_.CloseHandle(thread);
    EXPECT_EQ(OpenDescriptorCount(), before);
    platform_.CloseSocket(socket);
}

}  // namespace
}  // namespace transport
