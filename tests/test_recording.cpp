// The recorder in process: its command line, sample formats, live line and output checks, the
// file it writes (duration cut, containers, sample widths, clipping), and whole sessions on pipes
// to the scripted helper, for what a real server will not do on cue (stream errors, format
// changes, a dying or stalling helper, signals at chosen moments, a failing disk).
#include <fcntl.h>
#include <gmock/gmock.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "pipes.h"
#include "samples.h"
#include "session.h"
#include "tone.h"

namespace zarn::record {
namespace {

using Floats = std::vector<float>;
using Status = Recording::Status;

// What the command line settles on, "wav 16" or "error: ...": limits are inclusive, "--" ends the
// options, the extension's case does not matter, and every wrong value is named.
TEST(CommandLine, SettlesTheFormatOrRejectsWithAReason) {
  const std::pair<std::vector<std::string_view>, const char*> cases[] = {
      {{"--seconds", "86400", "--rate=384000", "--", "-odd.OGA"}, "ogg 16"},
      {{"a.wav"}, "wav 16"},
      {{"a.flac"}, "flac 24"},
      {{"--bits=16", "a.flac"}, "flac 16"},
      {{"--bits", "32", "--raw", "-"}, "raw 32"},
      {{}, "no OUTPUT"},
      {{"-s", "3", "a.wav"}, "unknown option '-s'"},
      {{"a.wav", "--seconds"}, "--seconds needs a value"},
      {{"--seconds=nan", "a.wav"}, "not 'nan'"},
      {{"--bits", "20", "a.wav"}, "16, 24 or 32, not '20'"},
      {{"--bits", "32", "a.flac"}, "FLAC holds 16 or 24 bits"},
      {{"--bits", "16", "a.ogg"}, "Ogg Vorbis has no sample width"},
      {{"a.mp3"}, "name it .wav, .flac or .ogg"},
      {{"dir.wav/.wav"}, "cannot tell the format"},  // a hidden file without an extension
  };
  for (const auto& [args, expected] : cases) {
    const auto q = parseCommandLine(args);
    const char* containers[] = {"wav", "flac", "ogg", "raw"};
    const std::string settled =
        q.action == Action::Record
            ? containers[int(q.options.container)] + (" " + std::to_string(q.options.bits))
            : "error: " + q.error;
    EXPECT_THAT(settled, ::testing::HasSubstr(expected)) << (args.empty() ? "" : args.back());
  }
}

tools::Chunk mono48k(std::span<const float> s) {
  return {{48000, 1, 32, true}, {reinterpret_cast<const std::uint8_t*>(s.data()), s.size_bytes()}};
}

TEST(Samples, IntegersMapFullScaleToOneOddFormatsAreNamedAndOversAreCounted) {
  Floats out;  // little-endian bytes, as every host we run on sends them
  auto add = [&](tools::ChunkFormat f, std::vector<std::uint8_t> b) { appendAsFloat(f, b, out); };
  add({8000, 1, 24, false}, {0, 0, 0x80, 0, 0, 0x40, 0xFF, 0xFF, 0xFF});  // sign-extended
  add({8000, 1, 8, false}, {0, 128, 192});                                // unsigned
  add({8000, 1, 16, false}, {0, 0x80, 0, 0x40, 0xFF, 0x7F});
  add({8000, 1, 32, false}, {0, 0, 0, 0x80, 0, 0, 0, 0x40, 0xFF, 0xFF, 0xFF, 0x7F});
  EXPECT_EQ(out, (Floats{-1, 0.5f, -1.0f / 8388608, -1, 0, 0.5f, -1, 0.5f, 32767.0f / 32768, -1,
                         0.5f, 1}));
  EXPECT_EQ(unsupportedFormat({48000, 1, 16, true}), "samples of type float16");
  EXPECT_EQ(unsupportedFormat({48000, 0, 32, true}), "0 channels");
  // Full scale itself is no over; what is not a number never reaches a file.
  for (const bool clip : {true, false}) {
    Floats s{1, -1.5f, 2, NAN, -INFINITY};
    EXPECT_EQ(limitToFullScale(s, clip), 4u);
    EXPECT_EQ(s, (clip ? Floats{1, -1, 1, 0, -1} : Floats{1, -1.5f, 2, 0, -1}));
  }
}

// Each test's files in a directory of its own.
class RecorderFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::mkdtemp(dir_.data()));
    dir_ += "/";
    ::signal(SIGPIPE, SIG_IGN);  // as the recorder does: a dead helper is a failed write
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Sets the options for the file `name` here, recording `seconds` (0: until stopped); opens it.
  OutputTarget open(Options& o, const std::string& name, double seconds = 0) {
    o = parseCommandLine({dir_ + name}).options;
    if (seconds) o.seconds = seconds;
    std::string error;
    auto target = OutputTarget::open(o, error);
    if (!target) throw std::runtime_error(error);
    return std::move(*target);
  }

  std::string dir_ = "/tmp/zarn-recording-XXXXXX";
};

TEST_F(RecorderFiles, StopExactlyAtTheAskedDurationInEveryFormatAndCountWhatOvershoots) {
  const std::tuple<const char*, unsigned, int, float> kinds[] = {
      {"a.wav", 16, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1},
      {"b.wav", 24, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1},
      {"c.wav", 32, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1.5f},  // float keeps the overshoot
      {"a.flac", 16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1},
      {"b.flac", 24, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1},
      {"a.ogg", 16, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0}};  // Vorbis keeps no exact sample
  const Floats loud{1.5f, -1.5f, 0.25f}, half(480, 0.5f);   // then 10 ms blocks at half scale
  for (const auto& [name, bits, format, first] : kinds) {
    Options o;
    auto target = open(o, name, 1.1505);  // 55224 frames
    o.bits = bits;
    Recording recording(o, target);
    EXPECT_EQ(recording.addChunk(mono48k(loud)), Status::Continue);
    for (int i = 0; i < 115; ++i) ASSERT_EQ(recording.addChunk(mono48k(half)), Status::Continue);
    EXPECT_EQ(recording.addChunk(mono48k(half)), Status::Done);  // cut inside this chunk
    EXPECT_EQ(recording.addChunk(mono48k(half)), Status::Done);  // later chunks change nothing
    EXPECT_EQ(recording.close(), "");
    EXPECT_EQ(std::pair(recording.peak(), recording.samplesOverFullScale()), std::pair(1.5f, 2ul));
    const auto back = test::readSoundFile(dir_ + name);
    EXPECT_EQ(std::tuple(back.info.frames, back.info.samplerate, back.info.format),
              std::tuple(55224, 48000, format))
        << name;
    EXPECT_NEAR(first ? back.samples.at(0) : 0, first, 1e-4) << name;  // clipped, not wrapped
  }
}

TEST_F(RecorderFiles, AnOutputThatCannotTakeTheRecordingFailsBeforeAnythingStarts) {
  // (One that takes no bytes, as /dev/full: in test_record, through the program's exit status.)
  std::string error;
  EXPECT_FALSE(OutputTarget::open(parseCommandLine({dir_ + "no/x.wav"}).options, error));
  EXPECT_EQ(error, "cannot write the recording to " + dir_ + "no/x.wav: No such file or directory");
  // A file that was there stays as it was when no audio comes (one made for nothing goes again:
  // the sessions that get no audio check that).
  std::ofstream(dir_ + "old.wav") << "old";
  Options o;
  auto target = open(o, "old.wav");
  Recording(o, target).close();
  EXPECT_EQ(std::filesystem::file_size(dir_ + "old.wav"), 3u);
}

// A whole session on the scripted helper, with signals and a file size limit at chosen moments.
// Times and lengths leave room for a helper that is slow to start, as in sanitized builds.
struct SessionCase {
  const char* name;
  std::string script;  // the scripted helper's tokens, one per line
  double seconds;      // 0: until stopped
  int exitCode;
  const char* said;                      // a regular expression the messages must match
  double minSeconds, maxSeconds;         // of the file; negative: no file
  int interruptAtMs = 0, againAtMs = 0;  // from the start of the session; 0: none
  bool killHelperAfterASecond = false;
  rlim_t fileSizeLimit = RLIM_INFINITY;  // bytes
  friend void PrintTo(const SessionCase& c, std::ostream* out) { *out << c.name; }
};

// 10 ms blocks of a 440 Hz sine at half scale, in real time.
const std::string kForever = "chunk=data:sine:440,bytes:1920\npace=10\nrepeat=forever\n";

const SessionCase kSessionCases[] = {
    {"stream_error", kForever + "halt=ms:600:device lost", 10, 1,
     "stream stopped with error: device lost\n", 0.2, 1.0},
    {"format_change",
     "chunk=data:sine:440,bytes:1920,count:30\n"
     "chunk=rate:44100,channels:2,data:sine:440,bytes:3528,count:30\npace=5",
     0, 1, "format changed mid-stream from 48000 Hz, 1 ch, float32 to 44100 Hz, 2 ch, float32", 0.2,
     0.3},
    {"helper_dies", kForever, 30, 1, "the helper ended unexpectedly \\(it was killed by signal 9",
     0.3, 1.2, 0, 0, true},
    {"no_server", "start=fail:Connection refused", 1, 1, "start failed: Connection refused", -1,
     -1},
    // The help says an interrupt before any audio exits 1, and nothing is written.
    {"interrupt_before_start", "start=hang", 1, 1,
     "interrupted before any audio arrived; nothing written", -1, -1, 300},
    // Half a second of audio, then none: the live line and the summary say so, and --seconds
    // waits for audio, not for the clock. (A block the helper sends before it is armed is lost.)
    {"stall", "chunk=data:sine:440,bytes:1920,count:50\npace=10", 1, 0,
     "\r00:00.[45] / 00:01.0  waiting for audio\033\\[K.*waiting for audio [23]\\.", 0.48, 0.5,
     4000},
    // The helper takes 10 s to stop its stream; a second interrupt does not wait for that.
    {"second_interrupt", kForever + "stop-delay=10000", 0, 0,
     "interrupted again: the helper was killed", 0.2, 1.0, 1000, 1300},
    {"disk_full", kForever, 30, 1, "cannot write to .*: File too large\n", 0.53, 0.54, 0, 0, false,
     51200},
};

class Sessions : public RecorderFiles, public ::testing::WithParamInterface<SessionCase> {};

TEST_P(Sessions, EndAsTheyShouldWithTheFilePlayableUpToTheEnd) {
  const SessionCase& c = GetParam();
  int signals[2];
  ASSERT_TRUE(test::openPipe(signals, O_NONBLOCK));
  char* said = nullptr;
  std::size_t saidSize = 0;
  std::FILE* messages = ::open_memstream(&said, &saidSize);
  SessionSetup setup{{}, {ZARN_SIM}, signals[0], messages, {}};
  if (c.killHelperAfterASecond)
    setup.helperCommand.insert(setup.helperCommand.begin(),
                               {"/bin/sh", "-c", "(sleep 1; kill -9 $$) & exec \"$0\" \"$@\""});
  std::istringstream script(c.script);
  for (std::string token; std::getline(script, token);) setup.helperCommand.push_back(token);
  setup.terminalColumns = [] { return 40; };  // a live line, narrow: fields are dropped
  auto target = open(setup.options, "out.wav", c.seconds);
  rlimit limit{c.fileSizeLimit, RLIM_INFINITY};
  ::signal(SIGXFSZ, SIG_IGN), ::setrlimit(RLIMIT_FSIZE, &limit);  // as the recorder does
  std::thread sender([&] {
    for (auto start = std::chrono::steady_clock::now(); int ms : {c.interruptAtMs, c.againAtMs}) {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
      if (ms && ::write(signals[1], "\x02", 1) != 1) ADD_FAILURE() << "cannot send the signal";
    }
  });
  EXPECT_EQ(Session(std::move(setup), std::move(target)).run(), c.exitCode);
  sender.join();
  limit.rlim_cur = RLIM_INFINITY, ::setrlimit(RLIMIT_FSIZE, &limit);
  std::fclose(messages), ::close(signals[0]), ::close(signals[1]);
  const std::string text(said, saidSize);
  std::free(said);
  EXPECT_THAT(text, ::testing::ContainsRegex(c.said));
  // Each live line is rewritten in place and stops short of the terminal's last column.
  for (std::size_t at = 0; (at = text.find('\r', at)) != std::string::npos; ++at)
    EXPECT_LE(text.find("\033[K", at), at + 40) << text.substr(at, 60);
  EXPECT_EQ(std::filesystem::exists(dir_ + "out.wav"), c.minSeconds >= 0);
  if (c.minSeconds < 0) return;
  const auto audio = test::readSoundFile(dir_ + "out.wav");
  EXPECT_TRUE(audio.seconds() >= c.minSeconds && audio.seconds() <= c.maxSeconds)
      << audio.seconds();
  EXPECT_TRUE(test::isTone(audio.samples, 48000, 440, 1.0, 0.49, 0.51));
}

INSTANTIATE_TEST_SUITE_P(Recorder, Sessions, ::testing::ValuesIn(kSessionCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zarn::record
