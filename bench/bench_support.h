// What the host-channel benchmarks share: standard output replaced by a pipe that a thread drains
// as fast as it can (the best parent there is), a capture object and a prepared block of audio
// to hand it, and a reporter that keeps the results for the comparison tables.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "audio_service.h"
#include "sys_audio_capture.h"

namespace zarn::bench {

// Points the frame writer's globals at a pipe drained by a reader thread. Idempotent; the pipe,
// the thread and the globals stay for the rest of the process, as standard output would.
void frameOutputToDrainedPipe();
// The write end of that pipe, for the plain-write references.
int drainedPipeFd();

// The benchmark process's capture object, on a service that never starts: the benchmarks hand it
// blocks themselves.
SysAudioCapture& idleCapture();

// `bytes` of 48 kHz mono float audio (a fixed pattern), as one block.
AudioBlock preparedBlock(std::size_t bytes);

// Prints to the console as usual and keeps each run's real time per iteration (ns) and counters,
// keyed by the registered name and the thread count.
class KeepingReporter : public benchmark::ConsoleReporter {
 public:
  KeepingReporter();

  struct Result {
    double nsPerIteration = 0;
    benchmark::UserCounters counters;
  };
  void ReportRuns(const std::vector<Run>& runs) override;
  const Result* find(const std::string& name, int threads = 1) const;

 private:
  std::map<std::pair<std::string, int>, Result> results_;
};

// A benchmark run over one payload size.
struct SizedRun {
  const char* name;
  void (*run)(benchmark::State&, std::size_t);
};
// "name/size", the name each sized benchmark is registered and found under.
std::string nameOf(const char* kind, std::size_t size);
// Registers every run at every size, measured in real time for at least 0.1 s each.
std::vector<benchmark::internal::Benchmark*> registerSized(std::initializer_list<SizedRun> runs,
                                                           std::span<const std::size_t> sizes);

// A benchmark program's main: registers, runs with a KeepingReporter, then prints the table that
// compares the runs.
int runThenPrint(int argc, char** argv, void (*registerAll)(),
                 void (*printTable)(const KeepingReporter&));

}  // namespace zarn::bench
