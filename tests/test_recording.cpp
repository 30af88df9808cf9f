// The recorder's parts in-process: its command line, the sample formats it understands, and the
// file it writes (duration cut, resampling, format changes, what survives a failure).
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <string>
#include <vector>

#include "options.h"
#include "recording.h"
#include "samples.h"

namespace zarn::record {
namespace {

using parent::Chunk;
using parent::ChunkFormat;

ParsedCommandLine parse(std::vector<std::string_view> args) {
  return parseCommandLine(args);
}

TEST(CommandLine, TakesOptionsInBothSpellingsAndInAnyOrder) {
  auto p = parse({"--seconds", "2.5", "out.flac", "--rate=16000"});
  ASSERT_EQ(p.action, Action::Record) << p.error;
  EXPECT_DOUBLE_EQ(*p.options.seconds, 2.5);
  EXPECT_EQ(*p.options.rate, 16000u);
  EXPECT_EQ(p.options.output, "out.flac");
  EXPECT_EQ(p.options.container, Container::Flac);

  p = parse({"capture.wav"});
  ASSERT_EQ(p.action, Action::Record);
  EXPECT_FALSE(p.options.seconds);
  EXPECT_FALSE(p.options.rate);
}

TEST(CommandLine, RejectsBadValuesWithAReason) {
  struct Case {
    std::vector<std::string_view> args;
    const char* mention;
  };
  const Case cases[] = {
      {{}, "no OUTPUT"},
      {{"a.wav", "b.wav"}, "one OUTPUT"},
      {{"--frobnicate", "a.wav"}, "unknown option '--frobnicate'"},
      {{"-s", "3", "a.wav"}, "unknown option '-s'"},
      {{"a.wav", "--seconds"}, "--seconds needs a value"},
      {{"--seconds", "0", "a.wav"}, "not '0'"},
      {{"--seconds", "nan", "a.wav"}, "not 'nan'"},
      {{"--seconds", "inf", "a.wav"}, "not 'inf'"},
      {{"--seconds=", "a.wav"}, "not ''"},
      {{"--rate", "16000.5", "a.wav"}, "not '16000.5'"},
      {{"--rate", "999", "a.wav"}, "not '999'"},
      {{"--rate", "384001", "a.wav"}, "not '384001'"},
      {{"a.mp3"}, "name it .wav, .flac or .ogg"},
      {{"noextension"}, "cannot tell the format"},
      {{"dir.wav/file"}, "cannot tell the format"},
  };
  for (const Case& c : cases) {
    const auto p = parse(c.args);
    EXPECT_EQ(p.action, Action::UsageError) << c.mention;
    EXPECT_NE(p.error.find(c.mention), std::string::npos) << "got: " << p.error;
  }
}

TEST(CommandLine, LimitsAreInclusiveAndDoubleDashEndsOptions) {
  EXPECT_EQ(parse({"--rate", "1000", "a.wav"}).action, Action::Record);
  EXPECT_EQ(parse({"--rate", "384000", "--seconds", "86400", "a.wav"}).action, Action::Record);

  const auto p = parse({"--", "-odd name.ogg"});
  ASSERT_EQ(p.action, Action::Record) << p.error;
  EXPECT_EQ(p.options.output, "-odd name.ogg");
  EXPECT_EQ(p.options.container, Container::Ogg);
  // A lone "-" is a file name, not an option.
  EXPECT_EQ(parse({"-"}).error.find("unknown option"), std::string::npos);
}

TEST(CommandLine, ExtensionDecidesTheContainerCaseInsensitively) {
  EXPECT_EQ(containerForPath("A.WAV"), Container::Wav);
  EXPECT_EQ(containerForPath("/tmp/x.y/take.Flac"), Container::Flac);
  EXPECT_EQ(containerForPath("take.oga"), Container::Ogg);
  EXPECT_FALSE(containerForPath("/tmp/.wav"));  // a hidden file without an extension
  EXPECT_FALSE(containerForPath("take.wav.gz"));
}

std::vector<float> asFloats(const ChunkFormat& format, const std::vector<std::uint8_t>& bytes) {
  std::vector<float> out;
  appendAsFloat(format, bytes, out);
  return out;
}

template <typename T>
std::vector<std::uint8_t> bytesOf(std::initializer_list<T> values) {
  std::vector<std::uint8_t> out(values.size() * sizeof(T));
  std::memcpy(out.data(), std::data(values), out.size());
  return out;
}

TEST(Samples, IntegerSamplesMapFullScaleToOne) {
  const auto i16 =
      asFloats({48000, 1, 16, false}, bytesOf<std::int16_t>({-32768, 0, 16384, 32767}));
  EXPECT_EQ(i16, (std::vector<float>{-1.0f, 0.0f, 0.5f, 32767.0f / 32768.0f}));

  const auto i32 =
      asFloats({48000, 1, 32, false}, bytesOf<std::int32_t>({INT32_MIN, 1 << 30, INT32_MAX}));
  EXPECT_FLOAT_EQ(i32[0], -1.0f);
  EXPECT_FLOAT_EQ(i32[1], 0.5f);
  EXPECT_FLOAT_EQ(i32[2], 1.0f);

  // 8-bit samples are unsigned around 128.
  const auto u8 = asFloats({8000, 1, 8, false}, {0, 128, 192});
  EXPECT_EQ(u8, (std::vector<float>{-1.0f, 0.0f, 0.5f}));

  const auto f64 = asFloats({48000, 1, 64, true}, bytesOf<double>({0.125, -0.75}));
  EXPECT_EQ(f64, (std::vector<float>{0.125f, -0.75f}));
}

TEST(Samples, PackedTwentyFourBitSamplesAreSignExtended) {
  // 0x800000 (most negative), 0x400000 (+0.5), 0xFFFFFF (-1 LSB), little-endian in 3 bytes.
  const auto v =
      asFloats({48000, 1, 24, false}, {0x00, 0x00, 0x80, 0x00, 0x00, 0x40, 0xFF, 0xFF, 0xFF});
  ASSERT_EQ(v.size(), 3u);
  EXPECT_FLOAT_EQ(v[0], -1.0f);
  EXPECT_FLOAT_EQ(v[1], 0.5f);
  EXPECT_FLOAT_EQ(v[2], -1.0f / 8388608.0f);
}

TEST(Samples, UnsupportedFormatsAreNamed) {
  EXPECT_EQ(unsupportedFormat({48000, 1, 16, true}), "samples of type float16");
  EXPECT_EQ(unsupportedFormat({48000, 1, 12, false}), "samples of type int12");
  EXPECT_EQ(unsupportedFormat({48000, 0, 32, true}), "0 channels");
  EXPECT_EQ(unsupportedFormat({0, 1, 32, true}), "a sample rate of 0 Hz");
  EXPECT_FALSE(unsupportedFormat({44100, 2, 24, false}));
  EXPECT_EQ(describeFormat({44100, 2, 16, false}), "44100 Hz, 2 ch, int16");
}

// --- the file ---------------------------------------------------------------------------------

class RecordingFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("zarn-recording-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const char* name) const { return (dir_ / name).string(); }

  // A continuous float sine, fed in chunks of the given number of frames.
  void feedSine(Recording& recording, ChunkFormat format, double hz, std::size_t chunkFrames,
                std::size_t chunks, Recording::Status expectLast = Recording::Status::Continue) {
    std::vector<float> samples(chunkFrames * format.channels);
    Recording::Status status = Recording::Status::Continue;
    for (std::size_t c = 0; c < chunks; ++c) {
      for (std::size_t i = 0; i < chunkFrames; ++i) {
        const double t = static_cast<double>(phase_++) / format.sampleRate;
        for (unsigned ch = 0; ch < format.channels; ++ch) {
          samples[i * format.channels + ch] =
              static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * hz * t));
        }
      }
      status = recording.addChunk(chunkOf(format, samples));
    }
    EXPECT_EQ(status, expectLast);
  }

  Chunk chunkOf(ChunkFormat format, const std::vector<float>& samples) {
    storage_.resize(samples.size() * sizeof(float));
    std::memcpy(storage_.data(), samples.data(), storage_.size());
    return Chunk{format, storage_};
  }

  struct FileContents {
    SF_INFO info{};
    std::vector<float> samples;
  };
  static FileContents readBack(const std::string& file) {
    FileContents out;
    SNDFILE* f = sf_open(file.c_str(), SFM_READ, &out.info);
    EXPECT_NE(f, nullptr) << sf_strerror(nullptr);
    if (!f) return out;
    out.samples.resize(static_cast<std::size_t>(out.info.frames * out.info.channels));
    sf_readf_float(f, out.samples.data(), out.info.frames);
    sf_close(f);
    return out;
  }

  std::filesystem::path dir_;
  std::uint64_t phase_ = 0;
  std::vector<std::uint8_t> storage_;
};

constexpr ChunkFormat kMono48k{48000, 1, 32, true};

TEST_F(RecordingFile, StopsAtExactlyTheAskedDurationInsideAChunk) {
  const std::string file = path("a.wav");
  Recording recording(file, Container::Wav, std::nullopt, 0.1);  // 4800 frames
  feedSine(recording, kMono48k, 1000, 1000, 4);
  feedSine(recording, kMono48k, 1000, 1000, 1, Recording::Status::Done);
  EXPECT_EQ(recording.framesWritten(), 4800u);
  // Later chunks change nothing.
  feedSine(recording, kMono48k, 1000, 1000, 1, Recording::Status::Done);
  EXPECT_EQ(recording.close(), "");
  const auto back = readBack(file);
  EXPECT_EQ(back.info.frames, 4800);
  EXPECT_EQ(back.info.samplerate, 48000);
  EXPECT_EQ(back.info.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_NEAR(recording.peak(), 0.5f, 1e-3);
}

TEST_F(RecordingFile, ResamplesToTheAskedRateKeepingDurationAndLevel) {
  const std::string file = path("a.wav");
  Recording recording(file, Container::Wav, 16000u, 1.0);
  feedSine(recording, kMono48k, 1000, 480, 100, Recording::Status::Done);
  EXPECT_EQ(recording.close(), "");
  const auto back = readBack(file);
  EXPECT_EQ(back.info.samplerate, 16000);
  // The flush delivers what the filter held back: the file is the whole second.
  EXPECT_NEAR(static_cast<double>(back.info.frames), 16000.0, 16.0);
  float peak = 0;
  for (std::size_t i = 1000; i < back.samples.size() - 1000; ++i) {
    peak = std::max(peak, std::fabs(back.samples[i]));
  }
  EXPECT_NEAR(peak, 0.5f, 0.01f);
}

TEST_F(RecordingFile, StereoIntegerInputKeepsChannelsApart) {
  const std::string file = path("a.wav");
  Recording recording(file, Container::Wav, std::nullopt, std::nullopt);
  // Left full negative, right +0.5.
  const std::vector<std::uint8_t> bytes = bytesOf<std::int16_t>({-32768, 16384, -32768, 16384});
  EXPECT_EQ(recording.addChunk({{44100, 2, 16, false}, bytes}), Recording::Status::Continue);
  EXPECT_EQ(recording.close(), "");
  const auto back = readBack(file);
  EXPECT_EQ(back.info.channels, 2);
  EXPECT_EQ(back.samples, (std::vector<float>{-1.0f, 0.5f, -1.0f, 0.5f}));
}

TEST_F(RecordingFile, PartialFrameIsRefused) {
  Recording recording(path("a.wav"), Container::Wav, std::nullopt, std::nullopt);
  const std::vector<std::uint8_t> bytes(6, 0);  // 1.5 stereo int16 frames
  EXPECT_EQ(recording.addChunk({{44100, 2, 16, false}, bytes}), Recording::Status::Failed);
  EXPECT_NE(recording.error().find("not a whole number of 4-byte frames"), std::string::npos);
}

TEST_F(RecordingFile, NoFileWithoutAUsableFirstChunk) {
  const std::string file = path("a.wav");
  Recording recording(file, Container::Wav, std::nullopt, std::nullopt);
  EXPECT_EQ(recording.close(), "");  // closing before any audio is harmless
  EXPECT_FALSE(std::filesystem::exists(file));
  const std::vector<std::uint8_t> bytes(8, 0);
  EXPECT_EQ(recording.addChunk({{48000, 1, 16, true}, bytes}), Recording::Status::Failed);
  EXPECT_NE(recording.error().find("float16"), std::string::npos);
  recording.close();
  EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(RecordingFile, OvershootIsClippedNotWrappedInIntegerFiles) {
  const std::string file = path("a.flac");
  Recording recording(file, Container::Flac, std::nullopt, std::nullopt);
  EXPECT_EQ(recording.addChunk(chunkOf(kMono48k, {1.5f, -1.5f, 0.25f})),
            Recording::Status::Continue);
  EXPECT_EQ(recording.close(), "");
  const auto back = readBack(file);
  ASSERT_EQ(back.samples.size(), 3u);
  EXPECT_GT(back.samples[0], 0.99f);
  EXPECT_LT(back.samples[1], -0.99f);
  EXPECT_NEAR(back.samples[2], 0.25f, 1e-6);
  EXPECT_FLOAT_EQ(recording.peak(), 1.5f);  // the meter shows the overshoot all the same
}

TEST_F(RecordingFile, WavHeaderIsCurrentWhileRecording) {
  // Another reader opening the file mid-recording (or after the recorder was killed outright)
  // sees the audio up to the last whole second.
  const std::string file = path("a.wav");
  Recording recording(file, Container::Wav, std::nullopt, std::nullopt);
  feedSine(recording, kMono48k, 440, 4800, 11);
  const auto back = readBack(file);
  EXPECT_GE(back.info.frames, 48000);
  EXPECT_LE(back.info.frames, 4800 * 11);
}

TEST_F(RecordingFile, OggVorbisIsWritten) {
  const std::string file = path("a.ogg");
  Recording recording(file, Container::Ogg, std::nullopt, 0.5);
  feedSine(recording, kMono48k, 440, 480, 50, Recording::Status::Done);
  EXPECT_EQ(recording.close(), "");
  const auto back = readBack(file);
  EXPECT_EQ(back.info.format, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
  EXPECT_NEAR(static_cast<double>(back.info.frames), 24000.0, 100.0);
}

}  // namespace
}  // namespace zarn::record
