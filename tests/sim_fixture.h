// In-process harness: each test gets the screen flow on a scripted platform and a capture object
// of its own, and reads back the frames they write.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>

#include "child_process.h"
#include "frames.h"
#include "pipes.h"
#include "platform/screencapturekit/screen_audio_service.h"
#include "platform/simulated/simulated_service.h"
#include "sys_audio_capture.h"

namespace zarn::test {

namespace sim = platform::simulated;

// A scripted platform made from zarn-audio-sim's tokens, the screen flow over it and a capture
// object on that. Members in this order so the capture object, and the flow with any stream it
// holds, go before the platform.
struct Sim {
  explicit Sim(const std::vector<std::string>& tokens)
      : service(parse(tokens)), flow(service), capture(flow) {}
  static sim::Script parse(const std::vector<std::string>& tokens) {
    std::string error;
    if (auto script = sim::parseScript(tokens, error)) return *script;
    throw std::invalid_argument(error);
  }
  // A capture still running is stopped first, so no delivery reaches an object that is gone.
  ~Sim() { capture.stop(); }
  sim::SimulatedService service;
  platform::ScreenAudioService flow;
  SysAudioCapture capture;
};

class SimTest : public ::testing::Test {
 protected:
  // Frames an earlier test left behind are not this one's.
  void SetUp() override { frames().readUntilQuiet(milliseconds(0)); }
  // The frame writer's globals on a pipe, set once per process and never undone, as start-up
  // does; the tests read the other end. Room for several large chunks, so writers rarely wait on
  // a test that reads late.
  static FrameInput& frames() {
    static FrameInput* const pipe = [] {
      int fds[2];
      if (!openPipe(fds, 0, 1 << 20)) std::abort();
      ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
      stdoutLock = new StdoutLock;
      stdoutHandle = new platform::OutputHandle(fds[1]);
      return new FrameInput(fds[0]);
    }();
    return *pipe;
  }
};

}  // namespace zarn::test
