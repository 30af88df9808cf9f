// The capture object's arm state: the flag, its queue, and that arming touches nothing else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "capture_object.h"
#include "frames.h"

namespace zarn {
namespace {

// Counts every call the core makes; content queries fail at once, so a start gives up without a
// stream. Completions run on a thread of their own, as the platform's do.
class CountingService final : public platform::CaptureService {
 public:
  std::atomic<int> platformCalls{0};  // anything about content, streams or capture
  std::atomic<int> bufferCalls{0};    // anything asked of a sample buffer

  void getShareableContent(bool, bool, ContentCompletion completion) override {
    ++platformCalls;
    std::thread([completion] { completion(nullptr, std::make_shared<platform::Error>()); }).join();
  }
  std::vector<std::shared_ptr<platform::Display>> displays(platform::ShareableContent&) override {
    return ++platformCalls, std::vector<std::shared_ptr<platform::Display>>{};
  }
  std::shared_ptr<platform::ContentFilter> makeContentFilter(platform::Display&) override {
    return ++platformCalls, nullptr;
  }
  std::shared_ptr<platform::Stream> makeStream(platform::ContentFilter&,
                                               const platform::StreamConfiguration&,
                                               platform::StreamDelegate&) override {
    return ++platformCalls, nullptr;
  }
  bool addStreamOutput(platform::Stream&, platform::StreamDelegate&, platform::OutputType,
                       platform::SampleHandlerQueue, platform::ErrorPtr&) override {
    return ++platformCalls, false;
  }
  void startCapture(platform::Stream&, ErrorCompletion) override { ++platformCalls; }
  void stopCapture(platform::Stream&, ErrorCompletion) override { ++platformCalls; }
  std::string localizedDescription(const platform::Error&) override { return "no content"; }

  // The first check fails: reaching it is enough to know the handler got past the arm state.
  bool sampleBufferIsValid(platform::SampleBuffer&) override { return ++bufferCalls, false; }
  bool sampleBufferDataIsReady(platform::SampleBuffer&) override { return ++bufferCalls, false; }
  const platform::FormatDescription* sampleBufferFormatDescription(
      platform::SampleBuffer&) override {
    return ++bufferCalls, nullptr;
  }
  bool streamBasicDescription(const platform::FormatDescription&,
                              platform::StreamDescription&) override {
    return ++bufferCalls, false;
  }
  std::int32_t audioBufferListWithRetainedBlockBuffer(platform::SampleBuffer&,
                                                      platform::OneBufferList&,
                                                      platform::BlockBuffer*&) override {
    return ++bufferCalls, -1;
  }
  void releaseBlockBuffer(platform::BlockBuffer*) override { ++bufferCalls; }
};

// Frames land in a pipe that the tests read, so "writes nothing" is checked, not assumed.
class ArmState : public ::testing::Test {
 protected:
  ArmState() {
    EXPECT_EQ(::pipe2(fds_, O_CLOEXEC | O_NONBLOCK), 0);
    handle_ = std::make_unique<platform::OutputHandle>(fds_[1]);
    stdoutLock = &lock_;
    stdoutHandle = handle_.get();
  }
  ~ArmState() override {
    stdoutLock = nullptr;
    stdoutHandle = nullptr;
    ::close(fds_[0]);
    ::close(fds_[1]);
  }

  std::string output() {
    std::string all;
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(fds_[0], chunk, sizeof chunk)) > 0) all.append(chunk, chunk + got);
    return all;
  }

  // A delivery of audio; reaches the service's buffer calls only while armed.
  bool forwardsAudio() {
    const int before = service.bufferCalls;
    platform::Stream stream;
    platform::SampleBuffer buffer;
    capture.streamDidOutputSampleBuffer(stream, buffer, platform::OutputType::audio);
    return service.bufferCalls > before;
  }

  CountingService service;
  SysAudioCapture capture{service};

 private:
  int fds_[2] = {-1, -1};
  StdoutLock lock_;
  std::unique_ptr<platform::OutputHandle> handle_;
};

TEST_F(ArmState, StartsDisarmedWithoutStream) {
  EXPECT_FALSE(capture.readArmed());
  EXPECT_FALSE(capture.hasStream());
  EXPECT_FALSE(forwardsAudio()) << "audio before any arm must be dropped untouched";
}

TEST_F(ArmState, FollowsTheTransitionTable) {
  struct Step {
    bool arm;
    bool armedAfter;
  };
  // Disarmed -D-> Disarmed -A-> Armed -A-> Armed -D-> Disarmed -A-> Armed -D-> Disarmed
  const Step steps[] = {{false, false}, {true, true}, {true, true},
                        {false, false}, {true, true}, {false, false}};
  int index = 0;
  for (const Step& step : steps) {
    step.arm ? capture.arm() : capture.disarm();
    EXPECT_EQ(capture.readArmed(), step.armedAfter) << "after step " << index;
    EXPECT_EQ(forwardsAudio(), step.armedAfter) << "after step " << index;
    ++index;
  }
  EXPECT_EQ(output(), "") << "arming and disarming are never acknowledged";
  EXPECT_EQ(service.platformCalls, 0) << "arming must not touch the stream";
}

TEST_F(ArmState, QuitWithoutStreamLeavesTheFlagAlone) {
  capture.arm();
  capture.stop();  // no stream: returns at once, asks the platform nothing
  EXPECT_TRUE(capture.readArmed());
  EXPECT_EQ(service.platformCalls, 0);
  EXPECT_EQ(output(), "");
}

TEST_F(ArmState, FailedStartLeavesTheFlagAndArmingStillWorksAfterIt) {
  capture.arm();
  capture.start();
  EXPECT_TRUE(capture.readArmed()) << "a failed start must not clear the flag";
  EXPECT_FALSE(capture.hasStream());
  const std::string failure = "start failed: no content";
  EXPECT_EQ(output(), std::string("E\x18\0\0\0", 5) + failure);
  capture.disarm();
  capture.arm();
  EXPECT_TRUE(capture.readArmed());
  EXPECT_EQ(output(), "") << "no frame for arming after a failed start";
}

TEST_F(ArmState, ChangeIsSeenByEveryReadThatStartsAfterItReturned) {
  // The writer and the reader are different threads, as the command reader and the delivery
  // threads are; each handshake checks one change.
  std::atomic<int> changed{0};
  std::atomic<int> checked{0};
  std::atomic<int> wrong{0};
  constexpr int kRounds = 2000;
  std::thread reader([&] {
    for (int round = 1; round <= kRounds; ++round) {
      while (changed.load() < round) std::this_thread::yield();
      if (capture.readArmed() != (round % 2 == 1)) ++wrong;
      checked.store(round);
    }
  });
  for (int round = 1; round <= kRounds; ++round) {
    round % 2 == 1 ? capture.arm() : capture.disarm();
    changed.store(round);
    while (checked.load() < round) std::this_thread::yield();
  }
  reader.join();
  EXPECT_EQ(wrong, 0);
}

TEST_F(ArmState, ConcurrentDeliveriesAndCommandsDoNotRace) {
  // Under the thread sanitizer this is the check that every access goes through the queue.
  std::atomic<bool> done{false};
  std::vector<std::thread> deliveries;
  for (int i = 0; i < 3; ++i) {
    deliveries.emplace_back([&] {
      while (!done) forwardsAudio();
    });
  }
  for (int i = 0; i < 2000; ++i) i % 2 ? capture.disarm() : capture.arm();
  done = true;
  for (auto& thread : deliveries) thread.join();
  EXPECT_FALSE(capture.readArmed());
  EXPECT_EQ(output(), "");
}

}  // namespace
}  // namespace zarn

namespace zarn::platform {
// The program's service is never used here: every capture object gets the counting one.
CaptureService& captureService() {
  static auto& unused = *new zarn::CountingService;
  return unused;
}
}  // namespace zarn::platform
