// The sample handler per delivered block: armed (arm-state read, header, payload built, frame
// written to a drained pipe) and disarmed (the arm-state read only), beside a bare memcpy
// of the same bytes, which is the least any forwarding has to do.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"

namespace zarn::bench {
namespace {

constexpr std::size_t kSizes[] = {1024, 4096, 16384};

void deliver(benchmark::State& state, std::size_t size, bool armed) {
  frameOutputToDrainedPipe();
  const AudioBlock block = preparedBlock(size);
  armed ? idleCapture().arm() : idleCapture().disarm();
  for (auto _ : state) idleCapture().deliver(block);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void armedRun(benchmark::State& state, std::size_t size) {
  deliver(state, size, true);
}
void disarmedRun(benchmark::State& state, std::size_t size) {
  deliver(state, size, false);
}

void memcpyRun(benchmark::State& state, std::size_t size) {
  const AudioBlock block = preparedBlock(size);
  std::vector<std::uint8_t> payload(8 + size);
  for (auto _ : state) {
    std::memcpy(payload.data() + 8, block.bytes.data(), size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void registerAll() {
  registerSized({{"armed", armedRun}, {"disarmed", disarmedRun}, {"memcpy", memcpyRun}}, kSizes);
}

void printTable(const KeepingReporter& results) {
  std::printf("\nsample handler per delivery, frame written to a drained pipe (ns)\n");
  std::printf("%8s %12s %12s %12s %16s\n", "bytes", "armed", "disarmed", "memcpy",
              "armed - memcpy");
  for (std::size_t size : kSizes) {
    const auto* armed = results.find(nameOf("armed", size));
    const auto* disarmed = results.find(nameOf("disarmed", size));
    const auto* copy = results.find(nameOf("memcpy", size));
    if (!armed || !disarmed || !copy) continue;
    std::printf("%8zu %12.1f %12.1f %12.1f %16.1f\n", size, armed->nsPerIteration,
                disarmed->nsPerIteration, copy->nsPerIteration,
                armed->nsPerIteration - copy->nsPerIteration);
  }
}

}  // namespace
}  // namespace zarn::bench

int main(int argc, char** argv) {
  return zarn::bench::runThenPrint(argc, argv, zarn::bench::registerAll, zarn::bench::printTable);
}
