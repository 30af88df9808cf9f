// The recorder's parts in-process: its command line, the sample formats it understands, and the
// file it writes (duration cut, containers, what survives a failure).
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <filesystem>

#include "recording.h"
#include "samples.h"

namespace zarn::record {
namespace {

using Floats = std::vector<float>;
using Status = Recording::Status;

TEST(CommandLine, ParsesBothSpellingsAndRejectsBadValuesWithAReason) {
  // Limits are inclusive, "--" ends the options, the extension's case does not matter.
  const auto p = parseCommandLine({"--seconds", "86400", "--rate=384000", "--", "-odd.OGA"});
  EXPECT_EQ(std::tuple(p.action, *p.options.seconds, *p.options.rate, p.options.container),
            std::tuple(Action::Record, 86400.0, 384000u, Container::Ogg));
  const std::pair<std::vector<std::string_view>, const char*> bad[] = {
      {{}, "no OUTPUT"},
      {{"a.wav", "b.wav"}, "one OUTPUT"},
      {{"-s", "3", "a.wav"}, "unknown option '-s'"},
      {{"a.wav", "--seconds"}, "--seconds needs a value"},
      {{"--seconds=nan", "a.wav"}, "not 'nan'"},
      {{"--seconds", "0", "a.wav"}, "not '0'"},
      {{"--rate", "999", "a.wav"}, "not '999'"},
      {{"a.mp3"}, "name it .wav, .flac or .ogg"},
      {{"dir.wav/.wav"}, "cannot tell the format"},  // a hidden file without an extension
  };
  for (const auto& [args, mention] : bad) {
    const auto q = parseCommandLine(args);
    EXPECT_TRUE(q.action == Action::UsageError && q.error.find(mention) != std::string::npos)
        << mention << " / got: " << q.error;
  }
}

template <typename T>
parent::Chunk chunk(parent::ChunkFormat format, std::span<const T> s) {
  return {format, {reinterpret_cast<const std::uint8_t*>(s.data()), s.size_bytes()}};
}

TEST(Samples, IntegersMapFullScaleToOneAndOddFormatsAreNamed) {
  Floats out;  // little-endian bytes, as every host we run on sends them
  auto add = [&](parent::ChunkFormat f, std::vector<std::uint8_t> b) { appendAsFloat(f, b, out); };
  add({8000, 1, 24, false}, {0, 0, 0x80, 0, 0, 0x40, 0xFF, 0xFF, 0xFF});  // sign-extended
  add({8000, 1, 8, false}, {0, 128, 192});                                // unsigned
  add({8000, 1, 16, false}, {0, 0x80, 0, 0x40, 0xFF, 0x7F});
  add({8000, 1, 32, false}, {0, 0, 0, 0x80, 0, 0, 0, 0x40, 0xFF, 0xFF, 0xFF, 0x7F});
  EXPECT_EQ(out, (Floats{-1, 0.5f, -1.0f / 8388608, -1, 0, 0.5f, -1, 0.5f, 32767.0f / 32768, -1,
                         0.5f, 1}));
  EXPECT_EQ(unsupportedFormat({48000, 1, 16, true}), "samples of type float16");
  EXPECT_EQ(unsupportedFormat({48000, 0, 32, true}), "0 channels");
}

constexpr parent::ChunkFormat kMono48k{48000, 1, 32, true};

class RecordingFile : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(dir_); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Floats readBack(const char* name) {
    SNDFILE* f = sf_open((dir_ + name).c_str(), SFM_READ, &(info_ = SF_INFO{}));
    Floats out(static_cast<std::size_t>(info_.frames * info_.channels));
    EXPECT_TRUE(f && sf_readf_float(f, out.data(), info_.frames) == info_.frames) << name;
    sf_close(f);
    return out;
  }

  const std::string dir_ = "/tmp/zarn-recording-" + std::to_string(::getpid()) + "/";
  const Floats half_ = Floats(480, 0.5f);  // 10 ms at half scale
  const parent::Chunk tenMs_ = chunk<float>(kMono48k, half_);
  SF_INFO info_{};
};

TEST_F(RecordingFile, StopsExactlyAtTheAskedDurationInEveryContainerAndFlacClips) {
  const std::tuple<const char*, Container, int> kinds[] = {
      {"a.wav", Container::Wav, SF_FORMAT_WAV | SF_FORMAT_FLOAT},
      {"a.flac", Container::Flac, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
      {"a.ogg", Container::Ogg, SF_FORMAT_OGG | SF_FORMAT_VORBIS}};
  const Floats loud{1.5f, -1.5f, 0.25f};
  for (const auto& [name, container, format] : kinds) {
    Recording recording(dir_ + name, container, std::nullopt, 1.1505);  // 55224 frames
    EXPECT_EQ(recording.addChunk(chunk<float>(kMono48k, loud)), Status::Continue);
    for (int i = 0; i < 115; ++i) ASSERT_EQ(recording.addChunk(tenMs_), Status::Continue);
    EXPECT_EQ(recording.addChunk(tenMs_), Status::Done);  // cut inside this chunk
    EXPECT_EQ(recording.addChunk(tenMs_), Status::Done);  // later chunks change nothing
    EXPECT_EQ(recording.close(), "");
    EXPECT_EQ(recording.peak(), 1.5f);  // the meter shows the overshoot all the same
    const Floats back = readBack(name);
    EXPECT_EQ(std::tuple(info_.frames, info_.samplerate, info_.format),
              std::tuple(55224, 48000, format));
    // An integer file clips what overshoots full scale rather than wrapping it.
    EXPECT_TRUE(container != Container::Flac || (back.at(0) > 0.99f && back.at(1) < -0.99f));
  }
}

}  // namespace
}  // namespace zarn::record
