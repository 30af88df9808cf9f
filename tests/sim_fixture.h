// In-process harness: each test gets a scripted service and a capture object of its own, and
// reads back the frames they write.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>

#include "capture_object.h"
#include "child_process.h"
#include "frames.h"
#include "pipes.h"
#include "platform/simulated/simulated_service.h"

namespace zarn::test {

namespace sim = platform::simulated;

// A scripted service made from zarn-audio-sim's tokens, and a capture object on it. Members in
// this order so the capture object, and any stream it holds, go before the service.
struct Sim {
  explicit Sim(const std::vector<std::string>& tokens) : service(parse(tokens)), capture(service) {}
  static sim::Script parse(const std::vector<std::string>& tokens) {
    std::string error;
    if (auto script = sim::parseScript(tokens, error)) return *script;
    throw std::invalid_argument(error);
  }
  sim::SimulatedService service;
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
