// In-process harness: each test gets the screen flow on a scripted platform and a capture object
// of its own, and reads back the frames they write.
#pragma once

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "frame_pipe.h"
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

using SimTest = FramePipeTest;

}  // namespace zarn::test
