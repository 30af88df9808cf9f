// The service's fragments as the core's sample handler sees them: what becomes a C frame, byte
// for byte, and what is dropped. No server is needed: the fragments are made here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "capture_object.h"
#include "frames.h"
#include "platform/pulse/pulse_service.h"

namespace zarn::platform::pulse {
namespace {

struct NotAStream final : Stream {};

class PulseFragments : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK), 0);
    handle_ = new OutputHandle(pipe_[1]);
    stdoutLock = &lock_;
    stdoutHandle = handle_;
  }
  void TearDown() override {
    stdoutLock = nullptr;
    stdoutHandle = nullptr;
    delete handle_;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
  }

  // Everything written so far.
  std::vector<std::uint8_t> written() {
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[4096];
    for (ssize_t n; (n = ::read(pipe_[0], chunk, sizeof chunk)) > 0;) {
      bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
  }

  void deliver(const void* data, std::size_t size, double rate, std::uint32_t channels = 1) {
    PulseSampleBuffer buffer;
    buffer.data = data;
    buffer.size = size;
    buffer.format.rate = rate;
    buffer.format.channels = channels;
    capture_.streamDidOutputSampleBuffer(stream_, buffer, OutputType::audio);
  }

  PulseService service_;
  SysAudioCapture capture_{service_};
  NotAStream stream_;

 private:
  int pipe_[2] = {-1, -1};
  StdoutLock lock_;
  OutputHandle* handle_ = nullptr;
};

TEST_F(PulseFragments, AFragmentBecomesOneFrameWithItsStreamsFormat) {
  capture_.arm();
  const float samples[3] = {0.5f, -0.25f, 1.0f};
  deliver(samples, sizeof samples, 32000);
  std::vector<std::uint8_t> expected{'C', 20, 0, 0, 0, 0x00, 0x7D, 0x00, 0x00, 1, 32, 1, 0};
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples);
  expected.insert(expected.end(), bytes, bytes + sizeof samples);
  EXPECT_EQ(written(), expected);
}

TEST_F(PulseFragments, EachFragmentCarriesItsOwnRate) {
  // After a move to an output of another rate, the header follows at once.
  capture_.arm();
  const float sample = 0.125f;
  deliver(&sample, sizeof sample, 44100);
  deliver(&sample, sizeof sample, 48000);
  const std::vector<std::uint8_t> bytes = written();
  ASSERT_EQ(bytes.size(), 2u * (5 + 8 + 4));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 5, bytes.begin() + 9),
            (std::vector<std::uint8_t>{0x44, 0xAC, 0x00, 0x00}));
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 22, bytes.begin() + 26),
            (std::vector<std::uint8_t>{0x80, 0xBB, 0x00, 0x00}));
}

TEST_F(PulseFragments, HolesAndEmptyFragmentsAreDroppedAndTheNextOneGoesThrough) {
  capture_.arm();
  deliver(nullptr, 4096, 32000);  // a hole: a length but no data
  const float sample = 0.5f;
  deliver(&sample, 0, 32000);
  EXPECT_TRUE(written().empty());
  deliver(&sample, sizeof sample, 32000);
  EXPECT_EQ(written().size(), 5u + 8 + 4);
}

TEST_F(PulseFragments, AListWithRoomForOtherThanOneBufferIsRefused) {
  const float sample = 0.5f;
  PulseSampleBuffer buffer;
  buffer.data = &sample;
  buffer.size = sizeof sample;
  OneBufferList list;
  list.numberBuffers = 2;
  BlockBuffer* block = nullptr;
  EXPECT_NE(service_.audioBufferListWithRetainedBlockBuffer(buffer, list, block), kNoErr);
  EXPECT_EQ(list.buffer.data, nullptr);
}

TEST_F(PulseFragments, OnlyAudioOutputsCanBeRegistered) {
  ErrorPtr error;
  EXPECT_FALSE(service_.addStreamOutput(stream_, capture_, OutputType::microphone,
                                        SampleHandlerQueue::globalUserInitiated, error));
  ASSERT_TRUE(error);
  EXPECT_FALSE(service_.localizedDescription(*error).empty());
  error.reset();
  // A screen output is accepted and never fed: there is no video here.
  EXPECT_TRUE(service_.addStreamOutput(stream_, capture_, OutputType::screen,
                                       SampleHandlerQueue::globalUserInitiated, error));
  EXPECT_FALSE(error);
}

}  // namespace
}  // namespace zarn::platform::pulse
