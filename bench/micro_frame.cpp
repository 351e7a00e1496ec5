// Frame text: writing a message's frame and parsing one back, for the two
// shapes that dominate the traffic: a short application message and one part
// of an id 10 transfer (2048 Base64 characters).

#include <benchmark/benchmark.h>
#include <transport/NetFrame.h>
#include <transport/NetMessage.h>

#include <string>

namespace {

void AddText(NetMessage& message, const std::string& text) {
    message.GetParams().AddTail(text.c_str(), static_cast<unsigned long>(text.size() + 1));
}

NetMessage ShortMessage() {
    NetMessage message;
    message.SetId(305);
    AddText(message, "QUJDREVGR0hJSktMTU5PUA==");
    AddText(message, "hello world");
    return message;
}

NetMessage PartMessage() {
    NetMessage message;
    message.SetId(10);
    AddText(message, "picture.jpg");
    AddText(message, "3/7");
    AddText(message, std::string(2048, 'Q'));
    return message;
}

NetMessage Shape(int shape) { return shape == 0 ? ShortMessage() : PartMessage(); }

const char* ShapeName(int shape) { return shape == 0 ? "short" : "part"; }

void WriteFrame(benchmark::State& state) {
    const NetMessage message = Shape(static_cast<int>(state.range(0)));
    state.SetLabel(ShapeName(static_cast<int>(state.range(0))));
    // The send path's own frame area.
    static char area[2501];
    unsigned long written = 0;
    for (auto _ : state) {
        written = transport::WriteFrame(area, transport::GetFrameLength(message) + 1, message);
        benchmark::DoNotOptimize(area);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(written));
}
BENCHMARK(WriteFrame)->Arg(0)->Arg(1);

void ParseFrame(benchmark::State& state) {
    const std::string text = transport::FrameText(Shape(static_cast<int>(state.range(0))));
    state.SetLabel(ShapeName(static_cast<int>(state.range(0))));
    for (auto _ : state) {
        NetMessage message;
        benchmark::DoNotOptimize(transport::ParseFrame(message, text.c_str()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}
BENCHMARK(ParseFrame)->Arg(0)->Arg(1);

}  // namespace
