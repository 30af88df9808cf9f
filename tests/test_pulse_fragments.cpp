// The service's fragments as the core's sample handler sees them: what becomes a C frame, byte
// for byte, and what is dropped. No server is needed: the fragments are made here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "capture_object.h"
#include "frames.h"
#include "pipes.h"
#include "platform/pulse/objects.h"
#include "platform/pulse/pulse_service.h"

namespace zarn::platform::pulse {
namespace {

struct NotAStream final : Stream {};

// The bytes written as frames since the last call, to a pipe made once and never torn down.
std::vector<std::uint8_t> written() {
  static const int fd = [] {
    int fds[2];
    if (!test::openPipe(fds, O_NONBLOCK)) std::abort();
    stdoutLock = new StdoutLock;
    stdoutHandle = new OutputHandle(fds[1]);
    return fds[0];
  }();
  std::uint8_t bytes[1 << 16];
  const ssize_t n = ::read(fd, bytes, sizeof bytes);
  return {bytes, bytes + (n > 0 ? n : 0)};
}

class PulseFragments : public ::testing::Test {
 protected:
  PulseFragments() { written(); }
  void deliver(const void* data, std::size_t size, double rate) {
    FloatSampleBuffer buffer{{}, data, size, {{}, rate, 1}};
    capture_.streamDidOutputSampleBuffer(stream_, buffer, OutputType::audio);
  }

  PulseService service_;
  SysAudioCapture capture_{service_};
  NotAStream stream_;
};

// Holes and empty fragments are dropped; the rate of each frame is its fragment's (outputs move).
TEST_F(PulseFragments, EachFragmentIsOneFrameWithItsOwnFormatHolesAndEmptyOnesDropped) {
  capture_.arm();
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
  EXPECT_EQ(written(), expected);
}

TEST_F(PulseFragments, RefusesAListOfOtherThanOneBufferAndNonAudioOutputs) {
  const float sample = 0.5f;
  FloatSampleBuffer buffer{{}, &sample, sizeof sample, {{}, 32000, 1}};
  OneBufferList list{2, {}};
  BlockBuffer* block = nullptr;
  EXPECT_NE(service_.audioBufferListWithRetainedBlockBuffer(buffer, list, block), kNoErr);
  EXPECT_EQ(list.buffer.data, nullptr);
  ErrorPtr error;
  EXPECT_FALSE(service_.addStreamOutput(stream_, capture_, OutputType::microphone, {}, error));
  EXPECT_TRUE(error && !service_.localizedDescription(*error).empty());
  error.reset();
  // A screen output is accepted and never fed: there is no video here.
  EXPECT_TRUE(service_.addStreamOutput(stream_, capture_, OutputType::screen, {}, error));
  EXPECT_FALSE(error);
}

}  // namespace
}  // namespace zarn::platform::pulse
