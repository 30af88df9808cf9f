// zarn-audio-record end to end: against the real helper on a private sound server, and against the
// scripted helper for what a real server will not do on cue (stream errors, format changes, death).
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Clock = std::chrono::steady_clock;
using Env = std::vector<std::string>;  // NAME=VALUE, added to the recorder's environment

// The recorder as a child process; its output and error go to memory files, read once it has ended.
class Recorder {
 public:
  Recorder(std::vector<std::string> args, const Env& env, bool ownProcessGroup = false) {
    std::vector<char*> argv{const_cast<char*>(ZARN_RECORDER)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if ((pid_ = ::fork()) < 0) std::abort();  // a pid of -1 must never reach kill()
    if (pid_ == 0) {
      if (ownProcessGroup) ::setpgid(0, 0);  // as a shell's job control would start it
      for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
      ::dup2(::open("/dev/null", O_RDONLY), 0);
      ::dup2(out_, 1), ::dup2(err_, 2);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    if (ownProcessGroup) ::setpgid(pid_, pid_);  // no race with a kill of the group
  }

  ~Recorder() {
    exitCode(0s);  // kills it if it still runs
    ::close(out_), ::close(err_);
  }

  // Exit status once ended; -1 for a signal or when past the limit (then it is killed).
  int exitCode(std::chrono::seconds limit = 30s) {
    int status = 0;
    for (const auto end = Clock::now() + limit; ::waitpid(pid_, &status, WNOHANG) == 0;) {
      if (Clock::now() >= end) ::kill(pid_, SIGKILL);
      std::this_thread::sleep_for(10ms);
    }
    out = slurp("/proc/self/fd/" + std::to_string(out_));
    err = slurp("/proc/self/fd/" + std::to_string(err_));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The helper it started (its only child), once there is one; 0 if none came.
  pid_t helperPid() const {
    pid_t child = 0;
    const std::string path =
        "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children";
    for (const auto end = Clock::now() + 5s; Clock::now() < end && !(std::ifstream(path) >> child);)
      std::this_thread::sleep_for(10ms);
    return child;
  }

  static std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  pid_t pid_ = -1;
  std::string out, err;
  int out_ = ::memfd_create("out", MFD_CLOEXEC);
  int err_ = ::memfd_create("err", MFD_CLOEXEC);
};

struct Audio {
  SF_INFO info{};
  std::vector<float> samples;
  double seconds() const { return static_cast<double>(info.frames) / info.samplerate; }
};

Audio readAudio(const std::string& path) {
  Audio a;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &a.info);
  a.samples.resize(static_cast<std::size_t>(a.info.frames * a.info.channels));
  EXPECT_TRUE(file && sf_readf_float(file, a.samples.data(), a.info.frames) == a.info.frames);
  EXPECT_EQ(a.info.channels, 1) << path;  // every recording here is mono
  sf_close(file);
  return a;
}

// The frequency of greatest power (Goertzel) within 3% of the expected one, from 0.2 s on; unlike
// counted zero crossings, gaps left by a player that falls behind do not read as a change of pitch.
double toneFrequency(const Audio& audio, double expected) {
  std::pair<double, double> top{-1, 0};  // power, frequency
  for (double hz = expected * 0.97; hz <= expected * 1.03; hz += 0.1) {
    const double coeff = 2 * std::cos(2 * M_PI * hz / audio.info.samplerate);
    double s1 = 0, s2 = 0;
    for (std::size_t i = audio.info.samplerate / 5; i < audio.samples.size(); ++i)
      s2 = std::exchange(s1, audio.samples[i] + coeff * s1 - s2);
    top = std::max(top, std::pair(s1 * s1 + s2 * s2 - coeff * s1 * s2, hz));
  }
  return top.second;
}

// Waits for over a second of mono float audio in the file (its WAV header is updated each second).
bool waitForASecond(const std::string& path, std::uintmax_t rate) {
  std::error_code ec;
  for (const auto end = Clock::now() + 15s; Clock::now() < end; std::this_thread::sleep_for(20ms)) {
    if (fs::file_size(path, ec) >= rate * 4 + 4096 && !ec) return true;
  }
  return false;
}

// A shell command's output, or "FAILED: " and its output when it did not exit 0.
std::string run(const std::string& command) {
  std::string out(4096, '\0');
  FILE* pipe = ::popen(command.c_str(), "r");
  out.resize(pipe ? std::fread(out.data(), 1, out.size(), pipe) : 0);
  return pipe && ::pclose(pipe) == 0 ? out : "FAILED: " + out;
}

// Each test's files and sound server in a directory of its own (short: sockets go inside).
class Record : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(::mkdtemp(dir_.data())); }
  void TearDown() override {
    run(ZARN_SOUND_SERVER " stop " + dir_);
    fs::remove_all(dir_);
  }
  std::string dir_ = "/tmp/zr-XXXXXX";
};

// The server's 1 kHz tone at half scale, in a file of this format, rate and length.
void expectTone(const std::string& path, int format, int rate, double seconds) {
  const Audio audio = readAudio(path);
  EXPECT_EQ(std::pair(audio.info.format, audio.info.samplerate), std::pair(format, rate)) << path;
  EXPECT_NEAR(audio.seconds(), seconds, 0.3) << path;
  EXPECT_NEAR(toneFrequency(audio, 1000), 1000, 2.0) << path;
  float peak = 0;
  for (std::size_t i = rate / 5; i < audio.samples.size(); ++i)
    peak = std::max(peak, audio.samples[i]);
  // A resampler's filter rings a little past the peak where the tone starts or skips.
  EXPECT_NEAR(peak, 0.5f, rate == 16000 ? 0.08f : 0.03f) << path;
}

TEST_F(Record, FromTheServerFilesHoldTheToneForTheAskedSecondsAndSigintLeavesAShorterOne) {
  // At 44100 Hz, not 48000, so that the file's rate is visibly the server's.
  const std::string out = run(ZARN_SOUND_SERVER " start pulseaudio " + dir_ +
                              " --rate 44100 --owner " + std::to_string(::getpid()));
  ASSERT_THAT(out, StartsWith("PULSE_SERVER=")) << "sound server did not start";
  Env env{"ZARN_AUDIO_HELPER="};  // the real helper beside the recorder
  for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1)
    env.push_back(out.substr(at, end - at));
  ASSERT_THAT(run(ZARN_SOUND_SERVER " play " + dir_ + " 1000 60"),
              ::testing::Not(StartsWith("FAILED")));

  Recorder wav({"--seconds", "2", dir_ + "/tone.wav"}, env);
  Recorder flac({"--seconds", "1.5", dir_ + "/tone.flac"}, env);
  Recorder speech({"--rate", "16000", "--seconds", "2", dir_ + "/speech.wav"}, env);
  Recorder cut({"--seconds", "30", dir_ + "/cut.wav"}, env);
  const pid_t helper = cut.helperPid();
  ASSERT_NE(helper, 0);
  ASSERT_TRUE(waitForASecond(dir_ + "/cut.wav", 44100));
  ::kill(cut.pid_, SIGINT);
  ASSERT_EQ(cut.exitCode(10s), 0) << cut.err;
  EXPECT_NE(::kill(helper, 0), 0);  // it quit its helper rather than leaving it behind
  const double cutSeconds = readAudio(dir_ + "/cut.wav").seconds();
  EXPECT_TRUE(cutSeconds > 0.9 && cutSeconds < 10.0) << cutSeconds;

  ASSERT_EQ(wav.exitCode(), 0) << wav.err;
  expectTone(dir_ + "/tone.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2.0);
  EXPECT_EQ(wav.out, "");  // not a terminal: one summary line on standard error
  EXPECT_THAT(wav.err, HasSubstr("WAV float32, 44100 Hz, 1 ch, 2.00 s, peak -6.0 dBFS"));
  ASSERT_EQ(flac.exitCode(), 0) << flac.err;
  expectTone(dir_ + "/tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 1.5);
  ASSERT_EQ(speech.exitCode(), 0) << speech.err;
  expectTone(dir_ + "/speech.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000, 2.0);
}

TEST_F(Record, WithoutAServerFailsWithTheHelpersReason) {
  Recorder recorder({"--seconds", "1", dir_ + "/none.wav"},
                    {"ZARN_AUDIO_HELPER=", "PULSE_SERVER=unix:" + dir_ + "/no-such-socket",
                     "XDG_RUNTIME_DIR=" + dir_});
  EXPECT_EQ(recorder.exitCode(), 1);
  EXPECT_THAT(recorder.err, HasSubstr("zarn-audio-record: start failed: "));
  EXPECT_FALSE(fs::exists(dir_ + "/none.wav"));
}

// A 440 Hz float sine in 10 ms blocks at 48 kHz, in real time, for as long as it is wanted.
const std::string kSine = "chunk=data:sine:440,bytes:1920\npace=10\nrepeat=forever\n";

// The environment that makes the recorder start the scripted helper with these tokens.
Env script(const std::string& tokens = kSine) {
  return {std::string("ZARN_AUDIO_HELPER=") + ZARN_SIM, "ZARN_AUDIO_HELPER_ARGS=" + tokens};
}

TEST_F(Record, ScriptedFailuresEndItNonZeroKeepingTheFileAndCtrlCSparesTheHelper) {
  Recorder error({"--seconds", "10", dir_ + "/e.wav"}, script(kSine + "halt=ms:600:device lost"));
  Recorder change({dir_ + "/f.flac"}, script("chunk=data:sine:440,bytes:1920,count:30\n"
                                             "chunk=rate:44100,channels:2,data:sine:440,bytes:3528,"
                                             "count:30\npace=5"));
  Recorder dies({"--seconds", "30", dir_ + "/d.wav"}, script());
  Recorder ctrlC({dir_ + "/c.wav"}, script(), true);
  const pid_t helper = dies.helperPid(), untouched = ctrlC.helperPid();
  ASSERT_TRUE(helper != 0 && untouched != 0);
  ASSERT_TRUE(waitForASecond(dir_ + "/d.wav", 48000) && waitForASecond(dir_ + "/c.wav", 48000));
  EXPECT_NE(::getpgid(untouched), ctrlC.pid_);  // asked once it surely runs, not while spawned

  ::kill(helper, SIGKILL);
  EXPECT_EQ(dies.exitCode(), 1);
  EXPECT_THAT(dies.err, HasSubstr("the helper ended unexpectedly (it was killed by signal 9"));
  EXPECT_GT(readAudio(dir_ + "/d.wav").seconds(), 0.9);

  // A terminal's Ctrl-C goes to the whole foreground process group. The helper is outside it, so
  // it is quit with Q and ends with status 0; had it been hit, the recorder would report that.
  ::kill(-ctrlC.pid_, SIGINT);
  EXPECT_EQ(ctrlC.exitCode(), 0) << ctrlC.err;
  EXPECT_GT(readAudio(dir_ + "/c.wav").seconds(), 0.9);

  EXPECT_EQ(error.exitCode(), 1);
  EXPECT_THAT(error.err, HasSubstr("zarn-audio-record: stream stopped with error: device lost\n"));
  Audio audio = readAudio(dir_ + "/e.wav");
  EXPECT_TRUE(audio.seconds() > 0.2 && audio.seconds() < 1.0) << audio.seconds();
  EXPECT_NEAR(toneFrequency(audio, 440), 440, 1.0);

  EXPECT_EQ(change.exitCode(), 1);
  EXPECT_THAT(change.err, HasSubstr("format changed mid-stream from 48000 Hz, 1 ch, float32 to "
                                    "44100 Hz, 2 ch, float32"));
  audio = readAudio(dir_ + "/f.flac");
  EXPECT_EQ(audio.info.samplerate, 48000);
  EXPECT_TRUE(audio.info.frames > 0 && audio.info.frames <= 30 * 480) << audio.info.frames;
}

TEST(RecordCommandLine, HelpVersionAndUsageErrors) {
  Recorder help({"--help"}, {}), version({"--version"}, {}), wrong({"--sekonds", "3", "x.wav"}, {});
  EXPECT_EQ(help.exitCode(), 0);
  EXPECT_THAT(help.out, StartsWith("usage: zarn-audio-record [--seconds N] [--rate HZ] OUTPUT"));
  EXPECT_EQ(help.err, "");
  EXPECT_EQ(version.exitCode(), 0);
  EXPECT_THAT(version.out, StartsWith("zarn-audio-record "));
  EXPECT_EQ(wrong.exitCode(), 2);
  EXPECT_EQ(wrong.out, "");
  EXPECT_THAT(wrong.err, HasSubstr("unknown option '--sekonds'"));
  EXPECT_THAT(wrong.err, HasSubstr("\nusage: zarn-audio-record"));
}

}  // namespace
