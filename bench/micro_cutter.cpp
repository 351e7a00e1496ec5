// Cutting frames out of the receive cache (SetToCacheBuf, with the parse and
// the queueing of each message, which is then taken off the queue as the
// receive path does), against one memmem scan of the same bytes
// for every frame closer: the least any cutter has to look at.
//
// Streams: "replies" is the server's everyday answer traffic (20-byte result
// frames, a keep-alive now and then); "parts" is an incoming id 8 transfer
// (frames of about 2100 characters); "mixed" interleaves both with HTTP
// response lines. Chunks of 2500 bytes are what one receive hands over at
// most; chunks of 1 byte show that the cutter stays linear.

#include <benchmark/benchmark.h>
#include <transport/NetClient.h>

#include <cstring>
#include <string>

#include "message/MessageQueue.h"

namespace {

class CutterClient : public CNetClient {
public:
    using CNetClient::SetToCacheBuf;
    CMessageQueue& Input() { return *m_pInputQueue; }
};

const char kReply[] = "<g44>7<p>1</p></g44>";
const char kKeepAlive[] = "<g44>12<p>Keep-Alive</p></g44>";
const char kHttpHead[] = "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n";

std::string Part(int number, int total) {
    std::string frame = "<g44>8<p>4</p><p>picture.jpg</p><p>" + std::to_string(number) + "/" +
                        std::to_string(total) + "</p><p>";
    for (int i = 0; i < 2048; ++i)
        frame +=
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[(i * 7 + number) &
                                                                               63];
    return frame + "</p></g44>";
}

// A stream of whole frames, at least size bytes long.
std::string Stream(int kind, std::size_t size) {
    std::string stream;
    int n = 0;
    while (stream.size() < size) {
        ++n;
        if (kind == 0) {
            stream += (n % 50 == 0) ? kKeepAlive : kReply;
        } else if (kind == 1) {
            stream += Part(n, 100000);
        } else {
            if (n % 20 == 0) stream += Part(n, 100000);
            if (n % 3 == 0) stream += kHttpHead;
            stream += kReply;
        }
    }
    return stream;
}

const char* KindName(int kind) {
    static const char* const names[] = {"replies", "parts", "mixed"};
    return names[kind];
}

// Args: stream kind, chunk size, stream size.
void CutFrames(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    const std::size_t chunk = static_cast<std::size_t>(state.range(1));
    std::string stream = Stream(kind, static_cast<std::size_t>(state.range(2)));
    state.SetLabel(KindName(kind));
    CutterClient client;
    CMessageQueue& input = client.Input();
    std::size_t frames = 0;
    for (auto _ : state) {
        frames = 0;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const std::size_t length = std::min(chunk, stream.size() - at);
            client.SetToCacheBuf(&stream[at], static_cast<unsigned long>(length));
            // As the receive path does after every chunk: take each message
            // off the input queue (the dispatch itself is not measured).
            while (input.GetItemCount() > 0) {
                benchmark::DoNotOptimize(input.PeekFirst());
                input.PopFirst();
                ++frames;
            }
        }
    }
    state.counters["frames"] = static_cast<double>(frames);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(stream.size()));
}

// The same bytes, scanned once with memmem for every frame closer.
void MemmemScan(benchmark::State& state) {
    const int kind = static_cast<int>(state.range(0));
    const std::string stream = Stream(kind, static_cast<std::size_t>(state.range(2)));
    state.SetLabel(KindName(kind));
    std::size_t frames = 0;
    for (auto _ : state) {
        frames = 0;
        const char* at = stream.data();
        const char* const end = stream.data() + stream.size();
        while (const void* hit = memmem(at, static_cast<std::size_t>(end - at), "</g44>", 6)) {
            ++frames;
            at = static_cast<const char*>(hit) + 6;
        }
        benchmark::DoNotOptimize(frames);
    }
    state.counters["frames"] = static_cast<double>(frames);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(stream.size()));
}

constexpr std::int64_t kStreamSize = 1 << 20;

BENCHMARK(CutFrames)
    ->Args({0, 2500, kStreamSize})
    ->Args({1, 2500, kStreamSize})
    ->Args({2, 2500, kStreamSize})
    ->Args({0, 1, kStreamSize})
    ->Args({1, 1, kStreamSize})
    ->Args({2, 1, kStreamSize})
    // A quarter of the stream, one byte at a time: the same time per byte
    // as the whole stream means the cutter is linear.
    ->Args({2, 1, kStreamSize / 4})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(MemmemScan)
    ->Args({0, 0, kStreamSize})
    ->Args({1, 0, kStreamSize})
    ->Args({2, 0, kStreamSize})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
