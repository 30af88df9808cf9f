// ScreenCaptureKit's scripted twin: plays a Script against the screen flow and records what the
// flow asked of it. Completions run on a thread of the service's own; deliveries on a pool of at
// least two threads, so several can be in flight at once, as on the platform's concurrent queue.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/screencapturekit/screen_capture_api.h"
#include "platform/simulated/script.h"
#include "platform/work_queue.h"

namespace zarn::platform::simulated {

// Calls the flow made on one delivered sample buffer, and on what it reached through it.
struct DeliveryRecord {
  std::uint64_t index = 0;    // the delivery's number, from 0, in the order they were made
  std::uint64_t begunAs = 0;  // deliveries that had begun before this one reached the flow
  OutputType type = OutputType::audio;
  int validCalls = 0;
  int readyCalls = 0;
  int formatCalls = 0;
  int descriptionCalls = 0;
  int listCalls = 0;
  int blocksRetained = 0;
  int blocksReleased = 0;  // before the delivery returned
  // Every list call came with a zeroed one-buffer list and no block buffer.
  bool listPrepared = true;

  int sampleBufferCalls() const {
    return validCalls + readyCalls + formatCalls + descriptionCalls + listCalls;
  }
};

struct Record {
  struct Output {
    OutputType type;
    SampleHandlerQueue queue;
    bool isDelegate;  // the output is the object given as the stream's delegate
  };

  std::vector<int> filterDisplays;  // index of the display each content filter was made over
  std::vector<Output> outputs;
  int streamsMade = 0;
  int streamsDestroyed = 0;
  int startsAsked = 0;
  int capturesStarted = 0;
  int stopsAsked = 0;
  int stopsCompleted = 0;  // counted just before the completion runs
  int halts = 0;           // stop-with-error callbacks made, counted once they have returned
  std::uint64_t deliveriesBegun = 0;
  int maxInFlight = 0;                     // most deliveries in the flow's hands at one time
  std::vector<DeliveryRecord> deliveries;  // in the order they returned
  // Block buffers released after their delivery had returned, or never known to the service.
  int strayReleases = 0;
};

class SimulatedService final : public ScreenCaptureApi {
 public:
  explicit SimulatedService(Script script = {});
  // Every stream it made must be gone by then.
  ~SimulatedService() = default;
  SimulatedService(const SimulatedService&) = delete;
  SimulatedService& operator=(const SimulatedService&) = delete;

  // zarn-audio-sim's; created on first use and never destroyed.
  static SimulatedService& processWide();

  // Replaces the script; for use before the flow first calls the service.
  void install(Script script);

  Record record() const;
  // Waits until the condition holds for the record; false if it still does not after the limit.
  bool waitFor(const std::function<bool(const Record&)>& condition,
               std::chrono::milliseconds limit) const;

  void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                           ContentCompletion completion) override;
  std::vector<std::shared_ptr<Display>> displays(ShareableContent& content) override;
  std::shared_ptr<ContentFilter> makeContentFilter(Display& display) override;
  std::shared_ptr<Stream> makeStream(ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override;
  bool addStreamOutput(Stream& stream, StreamDelegate& output, OutputType type,
                       SampleHandlerQueue queue, ErrorPtr& error) override;
  void startCapture(Stream& stream, ErrorCompletion completion) override;
  void stopCapture(Stream& stream, ErrorCompletion completion) override;
  std::string localizedDescription(const Error& error) override;

  bool sampleBufferIsValid(SampleBuffer& buffer) override;
  bool sampleBufferDataIsReady(SampleBuffer& buffer) override;
  const FormatDescription* sampleBufferFormatDescription(SampleBuffer& buffer) override;
  bool streamBasicDescription(const FormatDescription& format,
                              StreamDescription& description) override;
  std::int32_t audioBufferListWithRetainedBlockBuffer(SampleBuffer& buffer, OneBufferList& list,
                                                      BlockBuffer*& retainedBlock) override;
  void releaseBlockBuffer(BlockBuffer* block) override;

 private:
  friend class SimStream;
  friend struct StreamState;

  Script script() const;
  void complete(int delayMs, std::function<void()> item);
  void deliver(std::function<void()> item);
  // Applies the change to the record and appends the line, if any, to the record file. The line
  // is only made when there is a file to write it to.
  void note(const std::function<void(Record&)>& change, const std::function<std::string()>& line);

  mutable std::mutex mutex_;  // guards script_, record_, inCore_, recordFile_ and hung_
  mutable std::condition_variable recordChanged_;
  Script script_;
  Record record_;
  int inCore_ = 0;  // deliveries in the flow's hands now
  // Closed only once the queues below have ended, since their items write to it.
  struct RecordFile {
    int fd = -1;
    ~RecordFile();
  } recordFile_;
  // Completions that are never to run; kept, as the platform would keep them.
  std::vector<std::function<void()>> hung_;
  // Deliveries on as many threads as the script lets be in flight at once; completions one at a
  // time, each once its delay has passed. The completions go first.
  WorkQueue deliveries_{kMaxDeliveryThreads};
  WorkQueue completions_{1};
};

}  // namespace zarn::platform::simulated
