// In-process tests of what writes frames: the frame writer's globals on a pipe whose other end the
// test reads.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "child_process.h"
#include "frames.h"
#include "pipes.h"

namespace zarn::test {

class FramePipeTest : public ::testing::Test {
 protected:
  // Frames an earlier test left behind are not this one's.
  void SetUp() override { frames().readUntilQuiet(milliseconds(0)); }
  // The globals are set once per process and never undone, as start-up does. Room for several
  // large chunks, so writers rarely wait on a test that reads late.
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
