// What the host-channel benchmarks share: standard output replaced by a pipe that a thread drains
// as fast as it can (the best parent there is), a capture service that hands out one prepared
// block of audio, and a reporter that keeps the results for the comparison tables.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "platform/capture_service.h"

namespace zarn::bench {

// Points the frame writer's globals at a pipe drained by a reader thread. Idempotent; the pipe,
// the thread and the globals stay for the rest of the process, as standard output would.
void frameOutputToDrainedPipe();
// The write end of that pipe, for the plain-write references.
int drainedPipeFd();

// Every call succeeds and describes 48 kHz mono float audio of the prepared size.
class PreparedAudioService final : public platform::CaptureService {
 public:
  void prepare(std::size_t bytes);

  void getShareableContent(bool, bool, ContentCompletion) override {}
  std::vector<std::shared_ptr<platform::Display>> displays(platform::ShareableContent&) override;
  std::shared_ptr<platform::ContentFilter> makeContentFilter(platform::Display&) override;
  std::shared_ptr<platform::Stream> makeStream(platform::ContentFilter&,
                                               const platform::StreamConfiguration&,
                                               platform::StreamDelegate&) override;
  bool addStreamOutput(platform::Stream&, platform::StreamDelegate&, platform::OutputType,
                       platform::SampleHandlerQueue, platform::ErrorPtr&) override;
  void startCapture(platform::Stream&, ErrorCompletion) override {}
  void stopCapture(platform::Stream&, ErrorCompletion) override {}
  std::string localizedDescription(const platform::Error&) override { return {}; }

  bool sampleBufferIsValid(platform::SampleBuffer&) override { return true; }
  bool sampleBufferDataIsReady(platform::SampleBuffer&) override { return true; }
  const platform::FormatDescription* sampleBufferFormatDescription(
      platform::SampleBuffer&) override {
    return &format_;
  }
  bool streamBasicDescription(const platform::FormatDescription&,
                              platform::StreamDescription& description) override;
  std::int32_t audioBufferListWithRetainedBlockBuffer(platform::SampleBuffer&,
                                                      platform::OneBufferList& list,
                                                      platform::BlockBuffer*& retained) override;
  void releaseBlockBuffer(platform::BlockBuffer*) override {}

  const std::vector<std::uint8_t>& samples() const { return samples_; }

 private:
  platform::FormatDescription format_;
  platform::BlockBuffer block_;
  std::vector<std::uint8_t> samples_;
};

// The one service of the benchmark process, also returned by platform::captureService().
PreparedAudioService& preparedService();

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
