// Cost of the per-block work of the link: epilogues, building a block and
// checking an answer's frame. Every block a command sends or receives pays it.

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>

#include "ctapi/link/blocks.h"
#include "ctapi/state/library_state.h"

namespace {

using keldapi::lib;

std::array<std::uint8_t, 270> sampleBytes() {
  std::array<std::uint8_t, 270> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return bytes;
}

void Crc(benchmark::State& state) {
  const auto bytes = sampleBytes();
  const std::span<const std::uint8_t> block(bytes.data(), static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(keldapi::computeCrc(block));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Crc)->Arg(9)->Arg(259);

void Lrc(benchmark::State& state) {
  const auto bytes = sampleBytes();
  const std::span<const std::uint8_t> block(bytes.data(), static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(keldapi::computeLrc(block));
  state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(Lrc)->Arg(9)->Arg(259);

void BuildBlock(benchmark::State& state) {
  keldapi::resetLibraryState();
  lib.edcMode = static_cast<std::int32_t>(state.range(0));
  const auto inf = sampleBytes();
  for (auto _ : state) benchmark::DoNotOptimize(keldapi::buildBlock(0x02, 0x00, 254, inf.data()));
}
BENCHMARK(BuildBlock)->Arg(1)->Arg(0);

void TakeAnswer(benchmark::State& state) {
  keldapi::resetLibraryState();
  lib.edcMode = 0;
  const auto inf = sampleBytes();
  const std::size_t length = keldapi::buildBlock(0x20, 0x00, 254, inf.data());
  std::memcpy(lib.answerBuffer.data(), lib.blockBuffer.data(), length);
  for (auto _ : state) {
    lib.answerByteCount = static_cast<std::uint32_t>(length);
    benchmark::DoNotOptimize(keldapi::takeAnswer());
  }
}
BENCHMARK(TakeAnswer);

}  // namespace
