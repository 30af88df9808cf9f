// The frame writer against its ceiling: writeFrame from one and from four threads into a pipe that
// a thread drains, beside one thread writing the same bytes as two plain writes with no lock.
// Frames must stay whole, so no design can beat one writer's two writes in a row; writers on more
// threads can only add the cost of handing the output over. The single write of the whole frame
// shows what the pipe itself takes. Also the cost of one read of the arm state, which every
// delivered buffer pays.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_support.h"
#include "frames.h"

namespace zarn::bench {
namespace {

constexpr std::size_t kSizes[] = {0, 300, 4096, 65536};
constexpr int kThreadCounts[] = {1, 4};

void writeFully(int fd, const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t written = ::write(fd, next, size);
    if (written <= 0) return;
    next += written;
    size -= static_cast<std::size_t>(written);
  }
}

void countFrames(benchmark::State& state, std::size_t payload) {
  const auto frames = static_cast<double>(state.iterations());
  state.counters["frames"] = benchmark::Counter(frames, benchmark::Counter::kIsRate);
  state.counters["MB"] = benchmark::Counter(frames * static_cast<double>(5 + payload) / 1e6,
                                            benchmark::Counter::kIsRate);
}

void writeFrameRun(benchmark::State& state, std::size_t size) {
  frameOutputToDrainedPipe();
  const std::vector<std::uint8_t> payload(size, 0x5A);
  for (auto _ : state) writeFrame(kFrameChunk, payload);
  countFrames(state, size);
}

void twoWritesRun(benchmark::State& state, std::size_t size) {
  const int fd = drainedPipeFd();
  const std::vector<std::uint8_t> payload(size, 0x5A);
  for (auto _ : state) {
    const auto header = frameHeader(kFrameChunk, static_cast<std::uint32_t>(size));
    writeFully(fd, header.data(), header.size());
    if (size > 0) writeFully(fd, payload.data(), size);
  }
  countFrames(state, size);
}

void oneWriteRun(benchmark::State& state, std::size_t size) {
  const int fd = drainedPipeFd();
  std::vector<std::uint8_t> frame(5 + size, 0x5A);
  frame[0] = kFrameChunk;
  for (auto _ : state) writeFully(fd, frame.data(), frame.size());
  countFrames(state, size);
}

void readArmedRun(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(idleCapture().readArmed());
}

void registerAll() {
  for (auto* b : registerSized({{"writeFrame", writeFrameRun}}, kSizes)) {
    for (int threads : kThreadCounts) b->Threads(threads);
  }
  registerSized({{"twoWrites", twoWritesRun}, {"oneWrite", oneWriteRun}}, kSizes);
  benchmark::RegisterBenchmark("readArmed", readArmedRun)->MinTime(0.1);
}

void printTable(const KeepingReporter& results) {
  std::printf("\nwriteFrame against one writer's plain writes into the same drained pipe\n");
  std::printf("%8s %7s %14s %10s %18s %18s\n", "payload", "threads", "frames/s", "MB/s",
              "of two writes", "of one write");
  for (std::size_t size : kSizes) {
    for (int threads : kThreadCounts) {
      const auto* frame = results.find(nameOf("writeFrame", size), threads);
      const auto* two = results.find(nameOf("twoWrites", size));
      const auto* one = results.find(nameOf("oneWrite", size));
      if (!frame || !two || !one) continue;
      const double rate = frame->counters.at("frames").value;
      std::printf("%8zu %7d %14.0f %10.1f %17.1f%% %17.1f%%\n", size, threads, rate,
                  frame->counters.at("MB").value, 100 * rate / two->counters.at("frames").value,
                  100 * rate / one->counters.at("frames").value);
    }
  }
  if (const auto* armed = results.find("readArmed")) {
    std::printf("\none read of armed through armQueue: %.1f ns\n", armed->nsPerIteration);
  }
}

}  // namespace
}  // namespace zarn::bench

int main(int argc, char** argv) {
  return zarn::bench::runThenPrint(argc, argv, zarn::bench::registerAll, zarn::bench::printTable);
}
