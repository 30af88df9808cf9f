// The capture object on a recording fake of the audio seam, linked with the core alone: the
// messages of a start, when a stop reaches the service, a stop with an error, and which blocks
// become C frames, byte for byte.
#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <optional>
#include <thread>

#include "frame_pipe.h"
#include "sys_audio_capture.h"

namespace zarn::test {
namespace {

// Keeps each completion for the test to run, from a thread of its own as a service would.
class FakeService final : public AudioService {
 public:
  void start(AudioSink& sink, StartDone done) override {
    std::lock_guard<std::mutex> hold(mutex_);
    sink_ = &sink;
    startDone_ = std::move(done);
  }
  void stop(StopDone done) override {
    std::lock_guard<std::mutex> hold(mutex_);
    ++stops_;
    stopDone_ = std::move(done);
  }
  void finishStart(std::optional<StartFailure> failure) {
    std::thread([done = take(startDone_), failure] { done(failure); }).join();
  }
  void finishStop() { std::thread(take(stopDone_)).join(); }
  int stops() {
    std::lock_guard<std::mutex> hold(mutex_);
    return stops_;
  }
  AudioSink* sink() {
    std::lock_guard<std::mutex> hold(mutex_);
    return sink_;
  }

 private:
  template <class F>
  F take(F& slot) {
    for (;;) {  // the capture object asks from its own thread; wait for the ask
      {
        std::lock_guard<std::mutex> hold(mutex_);
        if (slot) return std::exchange(slot, nullptr);
      }
      std::this_thread::yield();
    }
  }

  std::mutex mutex_;
  AudioSink* sink_ = nullptr;
  StartDone startDone_;
  StopDone stopDone_;
  int stops_ = 0;
};

using CaptureObject = FramePipeTest;

TEST_F(CaptureObject, AStartSaysRunningOrWhyNotInOneFrame) {
  const std::pair<std::optional<StartFailure>, Frame> cases[] = {
      {std::nullopt, kRunning},
      {StartFailure{"Connection refused"}, errorFrame("start failed: Connection refused")},
      {StartFailure{""}, errorFrame("start failed: ")},
      {StartFailure{"no displays available", true}, errorFrame("no displays available")}};
  for (const auto& [failure, frame] : cases) {
    FakeService service;
    SysAudioCapture capture(service);
    std::thread starting([&] { capture.start(); });
    service.finishStart(failure);
    starting.join();
    EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{frame});
    EXPECT_EQ(service.sink(), &capture);
  }
}

TEST_F(CaptureObject, OnlyARunningCaptureIsStoppedAndOnlyOnce) {
  FakeService service;
  SysAudioCapture capture(service);
  capture.stop();  // before any start: returns at once, asks nothing
  std::thread starting([&] { capture.start(); });
  capture.stop();  // while the start is under way: the same
  service.finishStart(std::nullopt);
  starting.join();
  EXPECT_EQ(service.stops(), 0);
  auto stopping = std::async(std::launch::async, [&] { capture.stop(); });
  service.finishStop();  // the stop returns only after its completion
  stopping.get();
  EXPECT_EQ(service.stops(), 1);
  capture.stop();
  EXPECT_EQ(service.stops(), 1);
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
  capture.deliver({stereo16, {}});                     // no bytes
  capture.deliver({{48000, 256, 32, true}, samples});  // more channels than the header holds
  capture.deliver({{-1, 1, 32, true}, samples});       // a rate it cannot describe
  capture.disarm();
  EXPECT_FALSE(capture.forwarding());
  capture.deliver(block);
  const Frame expected{kFrameChunk, {0x44, 0xAC, 0, 0, 2, 16, 0, 0, 1, 2, 3, 4, 5, 6}};
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{expected});
}

}  // namespace
}  // namespace zarn::test
