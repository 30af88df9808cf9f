#include "bench_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "frames.h"
#include "pipes.h"
#include "platform/std_handles.h"

namespace zarn::bench {
namespace {

int pipeFds[2] = {-1, -1};

void drain(int fd) {
  static char sink[1 << 20];
  for (;;) {
    if (::read(fd, sink, sizeof sink) == 0) return;
  }
}

}  // namespace

void frameOutputToDrainedPipe() {
  static const bool ready = [] {
    // A bigger pipe, as a parent reading in large blocks would not be the bottleneck.
    if (!test::openPipe(pipeFds, 0, 1 << 20)) std::abort();
    std::thread(drain, pipeFds[0]).detach();
    stdoutLock = new StdoutLock;
    stdoutHandle = new platform::OutputHandle(pipeFds[1]);
    return true;
  }();
  (void)ready;
}

int drainedPipeFd() {
  frameOutputToDrainedPipe();
  return pipeFds[1];
}

namespace {

class IdleService final : public AudioService {
 public:
  void start(AudioSink&, StartDone) override {}
  void stop(StopDone) override {}
};

}  // namespace

SysAudioCapture& idleCapture() {
  static auto& capture = *new SysAudioCapture(*new IdleService);
  return capture;
}

AudioBlock preparedBlock(std::size_t bytes) {
  // One buffer per size, kept for the process, so a block's bytes stay valid.
  static std::map<std::size_t, std::vector<std::uint8_t>> buffers;
  std::vector<std::uint8_t>& samples = buffers[bytes];
  samples.resize(bytes);
  for (std::size_t i = 0; i < bytes; ++i) samples[i] = static_cast<std::uint8_t>(i * 31);
  return {{48000, 1, 32, true}, samples};
}

// Colours only for a terminal, so a saved report stays plain text.
KeepingReporter::KeepingReporter() : ConsoleReporter(::isatty(1) ? OO_ColorTabular : OO_Tabular) {}

void KeepingReporter::ReportRuns(const std::vector<Run>& runs) {
  ConsoleReporter::ReportRuns(runs);
  for (const Run& run : runs) {
    if (run.error_occurred || run.run_type != Run::RT_Iteration) continue;
    Result& result = results_[{run.run_name.function_name, static_cast<int>(run.threads)}];
    result.nsPerIteration = run.GetAdjustedRealTime();  // the reports' time unit is ns
    result.counters = run.counters;
  }
}

const KeepingReporter::Result* KeepingReporter::find(const std::string& name, int threads) const {
  auto found = results_.find({name, threads});
  return found == results_.end() ? nullptr : &found->second;
}

int runThenPrint(int argc, char** argv, void (*registerAll)(),
                 void (*printTable)(const KeepingReporter&)) {
  benchmark::Initialize(&argc, argv);
  registerAll();
  KeepingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printTable(reporter);
  benchmark::Shutdown();
  return 0;
}

std::string nameOf(const char* kind, std::size_t size) {
  return std::string(kind) + "/" + std::to_string(size);
}

std::vector<benchmark::internal::Benchmark*> registerSized(std::initializer_list<SizedRun> runs,
                                                           std::span<const std::size_t> sizes) {
  std::vector<benchmark::internal::Benchmark*> registered;
  for (const SizedRun& run : runs) {
    for (std::size_t size : sizes) {
      registered.push_back(
          benchmark::RegisterBenchmark(nameOf(run.name, size).c_str(), run.run, size)
              ->UseRealTime()
              ->MinTime(0.1));
    }
  }
  return registered;
}

}  // namespace zarn::bench
