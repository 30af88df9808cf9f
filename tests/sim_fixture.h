// In-process harness: each test gets a scripted service and a capture object of its own, and
// reads back the frames they write.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include "capture_object.h"
#include "child_process.h"
#include "frames.h"
#include "pipes.h"
#include "platform/simulated/script.h"
#include "platform/simulated/simulated_service.h"

namespace zarn::test {

namespace sim = platform::simulated;

// The frame writer's globals on a pipe, set once per process and never undone, as start-up does;
// the tests read the other end.
class FramePipe : public FrameInput {
 public:
  static FramePipe& get() {
    static FramePipe* const pipe = new FramePipe(makePipe());
    return *pipe;
  }

  // Frames until none completes within the quiet period.
  std::vector<Frame> readUntilQuiet(milliseconds quiet = milliseconds(150)) {
    std::vector<Frame> frames;
    while (auto frame = readFrame(quiet)) frames.push_back(std::move(*frame));
    return frames;
  }

 private:
  explicit FramePipe(int fd) : FrameInput(fd) {}
  static int makePipe() {
    int fds[2];
    // Room for several large chunks, so writers rarely wait on a test that reads late.
    if (!openPipe(fds, 0, 1 << 20)) std::abort();
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    stdoutLock = new StdoutLock;
    stdoutHandle = new platform::OutputHandle(fds[1]);
    return fds[0];
  }
};

// Members in this order so the capture object, and any stream it holds, go before the service.
struct Sim {
  explicit Sim(sim::Script script) : service(std::move(script)), capture(service) {}
  sim::SimulatedService service;
  SysAudioCapture capture;
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { FramePipe::get().discard(); }  // what an earlier test left behind
  FramePipe& frames() { return FramePipe::get(); }
};

inline Frame errorFrame(const std::string& text) {
  return Frame{kFrameError, {text.begin(), text.end()}};
}
inline Frame emptyFrame(std::uint8_t type) {
  return Frame{type, {}};
}

// A delivery of good audio: 48 kHz float mono, counter-filled.
inline sim::Delivery goodDelivery(std::uint32_t bytes = 64) {
  return {.bytes = bytes};
}

}  // namespace zarn::test
