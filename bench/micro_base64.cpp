// Base64 both ways, ours beside OpenSSL's block functions on the same bytes.
// Sizes: a log-in sized field, one id 10 part (1536 bytes give exactly 2048
// characters) and a large object.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "message/Base64Codec.h"

namespace {

std::vector<unsigned char> RandomBytes(std::size_t length) {
    std::mt19937 random(7);
    std::vector<unsigned char> bytes(length);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    return bytes;
}

std::vector<char> Encoded(const std::vector<unsigned char>& bytes) {
    std::vector<char> text(bytes.size() * 2 + 3);
    transport::Base64Codec codec;
    text.resize(
        codec.ToBase64(bytes.data(), static_cast<unsigned long>(bytes.size()), text.data()) - 1);
    return text;
}

void Base64EncodeOurs(benchmark::State& state) {
    const auto bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    std::vector<char> out(bytes.size() * 2 + 3);
    transport::Base64Codec codec;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            codec.ToBase64(bytes.data(), static_cast<unsigned long>(bytes.size()), out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void Base64EncodeOpenSSL(benchmark::State& state) {
    const auto bytes = RandomBytes(static_cast<std::size_t>(state.range(0)));
    std::vector<unsigned char> out(bytes.size() * 2 + 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_EncodeBlock(out.data(), bytes.data(), static_cast<int>(bytes.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

// Decode throughput counts the data bytes, as for encoding, so the two
// directions compare directly.
void Base64DecodeOurs(benchmark::State& state) {
    const auto text = Encoded(RandomBytes(static_cast<std::size_t>(state.range(0))));
    std::vector<unsigned char> out(text.size() / 4 * 3 + 3);
    transport::Base64Codec codec;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            codec.FromBase64(text.data(), static_cast<unsigned long>(text.size()), out.data()));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

void Base64DecodeOpenSSL(benchmark::State& state) {
    const auto text = Encoded(RandomBytes(static_cast<std::size_t>(state.range(0))));
    std::vector<unsigned char> out(text.size() / 4 * 3 + 3);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size())));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(Base64EncodeOurs)->Arg(48)->Arg(1536)->Arg(1 << 20);
BENCHMARK(Base64EncodeOpenSSL)->Arg(48)->Arg(1536)->Arg(1 << 20);
BENCHMARK(Base64DecodeOurs)->Arg(48)->Arg(1536)->Arg(1 << 20);
BENCHMARK(Base64DecodeOpenSSL)->Arg(48)->Arg(1536)->Arg(1 << 20);

}  // namespace
