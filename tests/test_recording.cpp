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
#include <sstream>
#include <thread>

#include "live_line.h"
#include "samples.h"
#include "session.h"
#include "sound_file.h"
#include "tone.h"

namespace zarn::record {
namespace {

using ::testing::HasSubstr;
using Floats = std::vector<float>;
using Status = Recording::Status;
using test::readSoundFile;

TEST(CommandLine, ParsesBothSpellingsSettlesTheFormatAndRejectsBadValuesWithAReason) {
  // Limits are inclusive, "--" ends the options, the extension's case does not matter.
  const auto p = parseCommandLine({"--seconds", "86400", "--rate=384000", "--", "-odd.OGA"});
  EXPECT_EQ(std::tuple(p.action, *p.options.seconds, *p.options.rate, p.options.container),
            std::tuple(Action::Record, 86400.0, 384000u, Container::Ogg));
  const std::tuple<std::vector<std::string_view>, Container, unsigned> good[] = {
      {{"a.wav"}, Container::Wav, 16},
      {{"a.flac"}, Container::Flac, 24},
      {{"--bits=16", "a.flac"}, Container::Flac, 16},
      {{"-"}, Container::Wav, 16},
      {{"--bits", "32", "--raw", "-"}, Container::Raw, 32},
      {{"--raw", "x.wav"}, Container::Raw, 16}};
  for (const auto& [args, container, bits] : good) {
    const auto q = parseCommandLine(args);
    EXPECT_EQ(std::tuple(q.action, q.options.container, q.options.bits),
              std::tuple(Action::Record, container, bits))
        << args.back() << ": " << q.error;
  }
  const std::pair<std::vector<std::string_view>, const char*> bad[] = {
      {{}, "no OUTPUT"},
      {{"a.wav", "b.wav"}, "one OUTPUT"},
      {{"-s", "3", "a.wav"}, "unknown option '-s'"},
      {{"a.wav", "--seconds"}, "--seconds needs a value"},
      {{"--seconds=nan", "a.wav"}, "not 'nan'"},
      {{"--seconds", "0", "a.wav"}, "not '0'"},
      {{"--rate", "999", "a.wav"}, "not '999'"},
      {{"--bits", "20", "a.wav"}, "16, 24 or 32, not '20'"},
      {{"--bits", "32", "a.flac"}, "FLAC holds 16 or 24 bits"},
      {{"--bits", "16", "a.ogg"}, "Ogg Vorbis has no sample width"},
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
tools::Chunk chunk(tools::ChunkFormat format, std::span<const T> s) {
  return {format, {reinterpret_cast<const std::uint8_t*>(s.data()), s.size_bytes()}};
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

TEST(LiveLine, NeverReachesTheLastColumnAndDropsFieldsFromTheRight) {
  const Progress playing{12.34, 30.0, 0.5f, false, 7, 1234};
  Progress waiting = playing;
  waiting.waiting = true;
  const std::tuple<std::size_t, const Progress*, const char*, const char*> cases[] = {
      {8, &playing, "", "00:12.3"},  // not even the time fits
      {40, &playing, "00:12.3 / 00:30.0  -6.0 dBFS  clipped 7", "["},
      {39, &playing, "00:12.3 / 00:30.0  -6.0 dBFS", "clipped"},  // one short of the above
      {40, &waiting, "00:12.3 / 00:30.0  waiting for audio", "clipped"},
      {80, &waiting, "00:12.3 / 00:30.0  waiting for audio  clipped 7  1234 blocks from helper",
       "dBFS"},
      {80, &playing, "00:12.3 / 00:30.0  -6.0 dBFS  clipped 7  [##################--]", "1234"},
  };
  for (const auto& [columns, progress, line, dropped] : cases) {
    EXPECT_EQ(liveLine(*progress, columns), line) << columns;
    EXPECT_THAT(liveLine(*progress, columns), ::testing::Not(HasSubstr(dropped)));
  }
  EXPECT_EQ(liveLine(playing, 200).size(), 88u);  // everything, on a wide terminal
}

constexpr tools::ChunkFormat kMono48k{48000, 1, 32, true};

// Each test's files in a directory of its own.
class RecorderFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(::mkdtemp(dir_.data()));
    dir_ += "/";
    ::signal(SIGPIPE, SIG_IGN);  // as the recorder does: a dead helper is a failed write
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  Options options(const std::string& name, std::optional<double> seconds = {}) {
    const auto parsed = parseCommandLine({dir_ + name});
    EXPECT_EQ(parsed.action, Action::Record) << parsed.error;
    Options o = parsed.options;
    o.seconds = seconds;
    return o;
  }

  std::string dir_ = "/tmp/zarn-recording-XXXXXX";
  const Floats half_ = Floats(480, 0.5f);  // 10 ms at half scale
  const tools::Chunk tenMs_ = chunk<float>(kMono48k, half_);
};

TEST_F(RecorderFiles, StopExactlyAtTheAskedDurationInEveryFormatAndCountWhatOvershoots) {
  const std::tuple<const char*, unsigned, int, float> kinds[] = {
      {"a.wav", 16, SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1},
      {"b.wav", 24, SF_FORMAT_WAV | SF_FORMAT_PCM_24, 1},
      {"c.wav", 32, SF_FORMAT_WAV | SF_FORMAT_FLOAT, 1.5f},  // float keeps the overshoot
      {"a.flac", 16, SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 1},
      {"b.flac", 24, SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 1},
      {"a.ogg", 0, SF_FORMAT_OGG | SF_FORMAT_VORBIS, 0}};
  const Floats loud{1.5f, -1.5f, 0.25f};
  for (const auto& [name, bits, format, first] : kinds) {
    Options o = options(name, 1.1505);  // 55224 frames
    if (bits) o.bits = bits;
    std::string error;
    auto target = OutputTarget::open(o, error);
    ASSERT_TRUE(target) << error;
    Recording recording(o, *target);
    EXPECT_EQ(recording.addChunk(chunk<float>(kMono48k, loud)), Status::Continue);
    for (int i = 0; i < 115; ++i) ASSERT_EQ(recording.addChunk(tenMs_), Status::Continue);
    EXPECT_EQ(recording.addChunk(tenMs_), Status::Done);  // cut inside this chunk
    EXPECT_EQ(recording.addChunk(tenMs_), Status::Done);  // later chunks change nothing
    EXPECT_EQ(recording.close(), "");
    EXPECT_EQ(std::pair(recording.peak(), recording.samplesOverFullScale()), std::pair(1.5f, 2ul));
    const auto back = readSoundFile(dir_ + name);
    EXPECT_EQ(std::tuple(back.info.frames, back.info.samplerate, back.info.format),
              std::tuple(55224, 48000, format))
        << name;
    // Clipped, not wrapped; Vorbis keeps no exact sample.
    if (first) {
      EXPECT_NEAR(back.samples.at(0), first, 1e-4) << name;
    }
  }
}

TEST_F(RecorderFiles, AnOutputThatCannotTakeTheRecordingFailsBeforeAnythingStarts) {
  std::filesystem::create_directory(dir_ + "dir.wav");
  const std::pair<std::string, const char*> cases[] = {
      {dir_ + "dir.wav", "Is a directory"},
      {dir_ + "missing/x.wav", "No such file or directory"},
#ifdef __linux__
      {"/sys/x.wav", "Permission denied"},  // even for root
      {"/proc/x.wav", "No such file or directory"},
      {"/dev/full", "No space left on device"},
#endif
  };
  for (const auto& [path, reason] : cases) {
    const auto parsed = parseCommandLine({"--raw", path});
    std::string error;
    EXPECT_FALSE(OutputTarget::open(parsed.options, error));
    EXPECT_EQ(error, "cannot write the recording to " + path + ": " + reason);
  }
  // A file that was there stays as it was when no audio comes; one made for nothing goes again.
  std::FILE* old = std::fopen((dir_ + "old.wav").c_str(), "w");
  std::fputs("old", old), std::fclose(old);
  for (const char* name : {"old.wav", "new.wav"}) {
    const Options o = options(name);
    std::string error;
    auto target = OutputTarget::open(o, error);
    Recording(o, *target).close();
  }
  EXPECT_EQ(std::filesystem::file_size(dir_ + "old.wav"), 3u);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "new.wav"));
}

// A whole session on the scripted helper, with signals and a file size limit at chosen moments.
struct SessionCase {
  const char* name;
  std::string script;  // the scripted helper's tokens, one per line
  std::optional<double> seconds;
  std::vector<int> signalsAtMs;  // from the start of the session
  int exitCode;
  std::vector<const char*> said;  // in the messages
  double minSeconds, maxSeconds;  // of the file; negative: no file
  long fileSizeLimit = 0;         // bytes; 0: none
  bool killHelperAfterASecond = false;
  friend void PrintTo(const SessionCase& c, std::ostream* out) { *out << c.name; }
};

// 10 ms blocks of a 440 Hz sine at half scale, in real time.
const std::string kSine = "chunk=data:sine:440,bytes:1920\npace=10\n";
const std::string kForever = kSine + "repeat=forever\n";

const SessionCase kSessionCases[] = {
    {"stream_error",
     kForever + "halt=ms:600:device lost",
     10,
     {},
     1,
     {"stream stopped with error: device lost\n"},
     0.2,
     1.0},
    {"format_change",
     "chunk=data:sine:440,bytes:1920,count:30\n"
     "chunk=rate:44100,channels:2,data:sine:440,bytes:3528,count:30\npace=5",
     {},
     {},
     1,
     {"format changed mid-stream from 48000 Hz, 1 ch, float32 to 44100 Hz, 2 ch, float32"},
     0.2,
     0.3},
    {"helper_dies",
     kForever,
     30,
     {},
     1,
     {"the helper ended unexpectedly (it was killed by signal 9"},
     0.5,
     1.2,
     0,
     true},
    {"no_server",
     "start=fail:Connection refused",
     1,
     {},
     1,
     {"start failed: Connection refused"},
     -1,
     -1},
    // The help says an interrupt before any audio exits 1, and nothing is written.
    {"interrupt_before_start",
     "start=hang",
     1,
     {300},
     1,
     {"interrupted before any audio arrived; nothing written"},
     -1,
     -1},
    // Half a second of audio, then none: the live line and the summary say so, and --seconds
    // waits for audio, not for the clock.
    {"stall",
     "chunk=data:sine:440,bytes:1920,count:50\npace=10",
     1,
     {3000},
     0,
     {"\r00:00.5 / 00:01.0  waiting for audio\033[K", "waiting for audio 2."},
     0.5,
     0.5},
    // The helper takes 10 s to stop its stream; a second interrupt does not wait for that.
    {"second_interrupt",
     kForever + "stop-delay=10000",
     {},
     {600, 900},
     0,
     {"interrupted again: the helper was killed"},
     0.4,
     1.0},
    {"disk_full",
     kForever,
     30,
     {},
     1,
     {"cannot write to ", ": File too large\n"},
     0.53,
     0.54,
     51200},
};

class Sessions : public RecorderFiles, public ::testing::WithParamInterface<SessionCase> {
 protected:
  // Runs the case's session with the live line at 80 columns, then at 40, as after a terminal's
  // resize; what it said.
  std::string runSession(const SessionCase& c) {
    int signals[2];
    EXPECT_EQ(::pipe(signals), 0);
    ::fcntl(signals[0], F_SETFL, O_NONBLOCK);
    std::FILE* messages = std::tmpfile();
    SessionSetup setup{options("out.wav", c.seconds), {ZARN_SIM}, signals[0], messages, {}};
    std::istringstream script(c.script);
    for (std::string token; std::getline(script, token);) setup.helperCommand.push_back(token);
    if (c.killHelperAfterASecond) {
      setup.helperCommand.insert(setup.helperCommand.begin(),
                                 {"/bin/sh", "-c", "(sleep 1; kill -9 $$) & exec \"$0\" \"$@\""});
    }
    setup.terminalColumns = [updates = 0]() mutable { return ++updates <= 5 ? 80 : 40; };
    std::string error;
    auto target = OutputTarget::open(setup.options, error);
    if (!target) return ADD_FAILURE() << error, "";
    const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY},
        limited{rlim_t(c.fileSizeLimit), RLIM_INFINITY};
    if (c.fileSizeLimit) ::signal(SIGXFSZ, SIG_IGN), ::setrlimit(RLIMIT_FSIZE, &limited);
    std::thread sender([&] {
      for (auto start = std::chrono::steady_clock::now(); int ms : c.signalsAtMs) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(ms));
        [[maybe_unused]] auto n = ::write(signals[1], "\x02", 1);
      }
    });
    EXPECT_EQ(Session(std::move(setup), std::move(*target)).run(), c.exitCode);
    sender.join();
    ::setrlimit(RLIMIT_FSIZE, &unlimited);
    std::string said(static_cast<std::size_t>(std::ftell(messages)), '\0');
    std::rewind(messages);
    said.resize(std::fread(said.data(), 1, said.size(), messages));
    std::fclose(messages), ::close(signals[0]), ::close(signals[1]);
    return said;
  }
};

TEST_P(Sessions, EndAsTheyShouldWithTheFilePlayableUpToTheEnd) {
  const SessionCase& c = GetParam();
  const std::string said = runSession(c);
  for (const char* text : c.said) EXPECT_THAT(said, HasSubstr(text));
  // One live line: rewritten in place, never reaching the terminal's last column.
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = said.find('\r', at)) != std::string::npos; ++at) {
    const auto line = said.substr(at + 1, said.find("\033[K", at) - at - 1);
    EXPECT_LT(line.size(), ++lines <= 5 ? 80u : 40u) << line;
  }
  if (c.minSeconds < 0) {
    EXPECT_FALSE(std::filesystem::exists(dir_ + "out.wav"));
    return;
  }
  const auto audio = readSoundFile(dir_ + "out.wav");
  EXPECT_TRUE(audio.seconds() >= c.minSeconds && audio.seconds() <= c.maxSeconds)
      << audio.seconds();
  EXPECT_TRUE(test::isTone(audio.samples, 48000, 440, 1.0, 0.49, 0.51));
}

INSTANTIATE_TEST_SUITE_P(Recorder, Sessions, ::testing::ValuesIn(kSessionCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zarn::record
