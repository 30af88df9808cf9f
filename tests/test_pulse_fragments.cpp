// The service's fragments as the core's sample handler sees them: what becomes a C frame, byte
// for byte, and what is dropped. No server is needed: the fragments are made here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "capture_object.h"
#include "frames.h"
#include "pipes.h"
#include "platform/pulse/pulse_service.h"

namespace zarn::platform::pulse {
namespace {

struct NotAStream final : Stream {};

// Holes and empty fragments are dropped; the rate of each frame is its fragment's (outputs move).
TEST(PulseFragments, EachFragmentIsOneFrameWithItsOwnFormatHolesAndEmptyOnesDropped) {
  int fds[2];
  ASSERT_TRUE(test::openPipe(fds, O_NONBLOCK));
  stdoutLock = new StdoutLock;  // the process's own, as in the product: never torn down
  stdoutHandle = new OutputHandle(fds[1]);
  PulseService service;
  SysAudioCapture capture{service};
  NotAStream stream;
  const auto deliver = [&](const void* data, std::size_t size, double rate) {
    FloatSampleBuffer buffer{{}, data, size, {{}, rate, 1}};
    capture.streamDidOutputSampleBuffer(stream, buffer, OutputType::audio);
  };
  capture.arm();
  const float samples[3] = {0.5f, -0.25f, 1.0f};
  deliver(nullptr, 4096, 32000);  // a hole: a length but no data
  deliver(samples, 0, 32000);
  deliver(samples, sizeof samples, 32000);
  deliver(samples, sizeof(float), 44100);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples);
  std::vector<std::uint8_t> expected{'C', 20, 0, 0, 0, 0x00, 0x7D, 0x00, 0x00, 1, 32, 1, 0};
  expected.insert(expected.end(), bytes, bytes + sizeof samples);
  expected.insert(expected.end(), {'C', 12, 0, 0, 0, 0x44, 0xAC, 0x00, 0x00, 1, 32, 1, 0});
  expected.insert(expected.end(), bytes, bytes + sizeof(float));
  std::uint8_t written[1 << 16];
  const ssize_t n = ::read(fds[0], written, sizeof written);
  EXPECT_EQ(std::vector(written, written + std::max<ssize_t>(n, 0)), expected);
}

}  // namespace
}  // namespace zarn::platform::pulse
