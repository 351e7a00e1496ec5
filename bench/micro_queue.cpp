// The locked queues: one message through the output queue's priority lists
// (push, peek, pop, as Send and the send thread do) and through the arrival
// array (push, peek, pop, as the receive path does), with a backlog of queued
// messages behind it.

#include <benchmark/benchmark.h>
#include <transport/NetMessage.h>

#include "message/MessageQueue.h"

namespace {

NetMessage* NewMessage(int priority) {
    auto* message = new NetMessage;
    message->SetId(20);
    message->SetPriority(priority);
    return message;
}

void QueuePriorityCycle(benchmark::State& state) {
    CMessageQueue queue;
    // The backlog waits at priority 4; the cycled message goes to 2.
    for (std::int64_t i = 0; i < state.range(0); ++i) queue.PushByPriority(NewMessage(4));
    for (auto _ : state) {
        queue.PushByPriority(NewMessage(2));
        benchmark::DoNotOptimize(queue.PeekByPriority());
        queue.PopByPriority(2);
    }
    queue.ClearPriorityLists();
}
BENCHMARK(QueuePriorityCycle)->Arg(0)->Arg(1000);

void QueueArrivalCycle(benchmark::State& state) {
    CMessageQueue queue;
    for (std::int64_t i = 0; i < state.range(0); ++i) queue.PushBack(NewMessage(2));
    for (auto _ : state) {
        // Oldest out, newest in: the backlog keeps its size.
        queue.PushBack(NewMessage(2));
        benchmark::DoNotOptimize(queue.PeekFirst());
        queue.PopFirst();
    }
    queue.ClearItems();
}
BENCHMARK(QueueArrivalCycle)->Arg(0)->Arg(1000);

// The message's own allocation and destruction, which every cycle above
// includes: what remains is the queue's share.
void QueueMessageAllocation(benchmark::State& state) {
    for (auto _ : state) {
        NetMessage* message = NewMessage(2);
        benchmark::DoNotOptimize(message);
        delete message;
    }
}
BENCHMARK(QueueMessageAllocation);

}  // namespace
