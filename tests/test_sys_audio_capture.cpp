// The capture object on a recording fake of the audio seam, linked with the core alone: when a
// stop reaches the service, a stop with an error, and which blocks become C frames, byte for
// byte. (What a start says, R or why not, is test_sample_forwarding's, through the same object.)
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "frame_pipe.h"
#include "sys_audio_capture.h"

namespace zarn::test {
namespace {

using namespace std::chrono_literals;

// Completes each call from a thread of its own, as a service would: a start after running
// `duringStart`; a stop a little later, so a stop that returned without waiting shows.
struct FakeService final : AudioService {
  void start(AudioSink&, StartDone done) override {
    duringStart();
    std::thread([&] { done(std::nullopt); }).join();
  }
  void stop(StopDone done) override {
    ++stops;
    stopper = std::jthread([this, done = std::move(done)] {
      std::this_thread::sleep_for(50ms);
      stopCompleted = true;
      done();
    });
  }
  std::function<void()> duringStart = [] {};
  int stops = 0;
  std::atomic<bool> stopCompleted{false};
  std::jthread stopper;  // last: joined before the rest goes
};

using CaptureObject = FramePipeTest;

TEST_F(CaptureObject, OnlyARunningCaptureIsStoppedOnceAndTheStopWaitsForItsCompletion) {
  FakeService service;
  SysAudioCapture capture(service);
  capture.stop();                                 // before any start: returns at once, asks nothing
  service.duringStart = [&] { capture.stop(); };  // while the start is under way: the same
  capture.start();
  EXPECT_EQ(service.stops, 0);
  capture.stop();
  EXPECT_TRUE(service.stopCompleted);
  capture.stop();
  EXPECT_EQ(service.stops, 1);
  capture.stopped("device gone");
  EXPECT_EQ(frames().readUntilQuiet(),
            (std::vector<Frame>{kRunning, errorFrame("stream stopped with error: device gone")}));
}

TEST_F(CaptureObject, ABlockIsForwardedWhileArmedWhenItsFormatFitsTheHeader) {
  FakeService service;
  SysAudioCapture capture(service);
  const std::uint8_t samples[] = {1, 2, 3, 4, 5, 6};
  const AudioFormat stereo16{44100.9, 2, 16, false};
  const AudioBlock block{stereo16, samples};
  capture.deliver(block);  // not armed yet
  EXPECT_FALSE(capture.forwarding());
  capture.arm();
  EXPECT_TRUE(capture.forwarding());
  capture.deliver(block);
  capture.deliver({stereo16, {}});  // no bytes (a header the format cannot fill: the screen flow's)
  capture.disarm();
  EXPECT_FALSE(capture.forwarding());
  capture.deliver(block);
  const Frame expected{kFrameChunk, {0x44, 0xAC, 0, 0, 2, 16, 0, 0, 1, 2, 3, 4, 5, 6}};
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{expected});
}

}  // namespace
}  // namespace zarn::test
