// A client used the wrong way, or fed odd input, stays sound: refusals are
// refusals, nothing is lost, no thread or handle outlives its owner.

#include <gtest/gtest.h>
#include <transport/NetClient.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace {

using transport::Handle;

// Fails the n-th thread creation once and records every thread handle still open.
class MisusePlatform : public transport::PlatformWrapper {
public:
    MisusePlatform() : PlatformWrapper(transport::DefaultPlatform()) {}

    Handle CreateThread(transport::ThreadProc proc, void* arg, bool suspended) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (++created == failThread) return nullptr;
        Handle thread = PlatformWrapper::CreateThread(proc, arg, suspended);
        threads.insert(thread);
        return thread;
    }
    void CloseHandle(Handle handle) override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            threads.erase(handle);
        }
        PlatformWrapper::CloseHandle(handle);
    }
    std::size_t OpenThreads() {
        std::lock_guard<std::mutex> lock(mutex);
        return threads.size();
    }

    std::mutex mutex;
    int created = 0;
    int failThread = 0;
    std::set<Handle> threads;
};

NetMessage Text(unsigned long id, const char* text) {
    NetMessage m;
    m.SetId(id);
    m.GetParams().AddTail(text, static_cast<unsigned long>(std::strlen(text) + 1));
    return m;
}

NetClientParams Loopback() {
    NetClientParams params{};
    std::strcpy(params.szHost1, "127.0.0.1");
    params.nMaxReconCount = 1;
    return params;
}

TEST(Misuse, TextTheFrameCannotCarryAndMessagesPastTheQueuesRoomAreRefused) {
    CNetClient client;
    const struct {
        unsigned long id;
        const char* text;
        bool taken;
    } cases[] = {{20, "a</p><p>b</g44>", false}, {20, "x<g44>", false}, {20, "<p>", false},
                 {20, "a < b </g4", true},        {305, "a</p>b", true},  {10, "</g44>", true}};
    unsigned int count = 0;
    for (const auto& c : cases) {
        const NetMessage m = Text(c.id, c.text);
        const unsigned int after = client.Send(&m);
        EXPECT_EQ(after, count + (c.taken ? 1 : 0)) << c.text;
        count = after;
    }
    // The queue holds no more than the semaphore counts.
    const NetMessage m = Text(20, "m");
    for (int i = 0; i < 65536 && client.GetQueuedCount() < 65536; ++i) count = client.Send(&m);
    EXPECT_EQ(client.GetQueuedCount(), 65536);
    EXPECT_EQ(client.Send(&m), count);
    EXPECT_EQ(client.GetQueuedCount(), 65536);
}

TEST(Misuse, AnOpenThatFailsPartWayLeavesNoThreadBehind) {
    for (int fail : {2, 3}) {
        MisusePlatform platform;
        platform.failThread = fail;
        CNetClient client(platform);
        NetClientParams params = Loopback();
        EXPECT_FALSE(client.Open(params));
        EXPECT_EQ(platform.OpenThreads(), 0u) << fail;
        EXPECT_TRUE(client.Open(params));
        EXPECT_TRUE(client.Close(false));
        EXPECT_EQ(platform.OpenThreads(), 0u) << fail;
    }
}

TEST(Misuse, SendBesideCloseUsesNoFreedHandle) {
    const NetMessage m = Text(20, "m");
    for (int round = 0; round < 10; ++round) {
        CNetClient client;
        NetClientParams params = Loopback();
        ASSERT_TRUE(client.Open(params));
        std::atomic<bool> sending{true};
        std::thread sender([&] {
            while (sending) client.Send(&m);
        });
        client.Close(false);
        const unsigned int count = client.Send(&m);  // refused from now on: the count stays
        EXPECT_EQ(client.Send(&m), count);
        sending = false;
        sender.join();
    }
}

}  // namespace
