// zarn-audio-record end to end: against the real helper on a private sound server, and against the
// scripted helper for what a real server will not do on cue (stream errors, format changes, death).
#include <fcntl.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <fstream>
#include <thread>

#include "test_pulse_support.h"

namespace {

using namespace zarn::test;
using namespace zarn::test::pulse;

using std::this_thread::sleep_for;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Env = std::vector<std::string>;  // NAME=VALUE, added to the recorder's environment

// The recorder as a child process (in a process group of its own if asked, as a shell's job
// control starts it); its output and error go to memory files, read once it has ended.
class Recorder {
 public:
  Recorder(std::vector<std::string> args, const Env& env, bool ownProcessGroup = false) {
    std::vector<char*> argv{const_cast<char*>(ZARN_RECORDER)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if ((pid = ::fork()) < 0) std::abort();  // a pid of -1 must never reach kill()
    if (pid == 0) {
      if (ownProcessGroup) ::setpgid(0, 0);
      for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
      ::dup2(::open("/dev/null", O_RDONLY), 0), ::dup2(out_, 1), ::dup2(err_, 2);
      ::execv(argv[0], argv.data()), ::_exit(127);
    }
    if (ownProcessGroup) ::setpgid(pid, pid);  // no race with a kill of the group
  }
  ~Recorder() { exitCode(0s), ::close(out_), ::close(err_); }  // kills it if it still runs

  // Exit status once ended; -1 for a signal or when past the limit (then it is killed).
  int exitCode(std::chrono::seconds limit = 30s) {
    int status = 0;
    for (auto end = Clock::now() + limit; ::waitpid(pid, &status, WNOHANG) == 0; sleep_for(10ms))
      if (Clock::now() >= end) ::kill(pid, SIGKILL);
    for (auto [fd, text] : {std::pair(out_, &out), std::pair(err_, &err)})
      std::getline(std::ifstream("/proc/self/fd/" + std::to_string(fd)), *text, '\0');
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The helper it started (its only child), once there is one; 0 if none came.
  pid_t helperPid() const {
    const auto path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    pid_t child = 0;
    for (int i = 0; i < 500 && !(std::ifstream(path) >> child); ++i) sleep_for(10ms);
    return child;
  }

  pid_t pid = -1;
  std::string out, err;
  int out_ = ::memfd_create("out", MFD_CLOEXEC), err_ = ::memfd_create("err", MFD_CLOEXEC);
};

struct Audio {
  SF_INFO info{};
  std::vector<float> samples;  // from 0.2 s on, past where the tone starts
  double seconds() const { return static_cast<double>(info.frames) / info.samplerate; }
};

Audio readAudio(const std::string& path) {
  Audio a;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &a.info);
  a.samples.resize(static_cast<std::size_t>(a.info.frames * a.info.channels));
  EXPECT_TRUE(file && sf_readf_float(file, a.samples.data(), a.info.frames) == a.info.frames);
  EXPECT_EQ(a.info.channels, 1) << path;  // every recording here is mono
  sf_close(file);
  const auto skip = std::min<sf_count_t>(a.info.frames, a.info.samplerate / 5);
  a.samples.erase(a.samples.begin(), a.samples.begin() + skip);
  return a;
}

// Waits for over a second of mono float audio in the file (its WAV header is updated each second).
bool waitForASecond(const std::string& path, std::uintmax_t rate) {
  for (int i = 0; i < 750; ++i, sleep_for(20ms))
    if (std::ifstream(path, std::ios::ate).tellg() >= std::streamoff(rate * 4 + 4096)) return true;
  return false;
}

// Each test's files in a directory of their own.
struct Record : ::testing::Test, TempDir {};

// The server's 1 kHz tone at half scale, in a file of this format, rate and length.
void expectTone(const std::string& path, int format, int rate, double seconds) {
  const Audio audio = readAudio(path);
  EXPECT_EQ(std::pair(audio.info.format, audio.info.samplerate), std::pair(format, rate)) << path;
  EXPECT_NEAR(audio.seconds(), seconds, 0.3) << path;
  // A resampler's filter rings a little past the peak where the tone starts or skips.
  const double ring = rate == 16000 ? 0.08 : 0.03;
  EXPECT_TRUE(isTone(audio.samples, rate, 1000, 2.0, 0.5 - ring, 0.5 + ring)) << path;
}

TEST_F(Record, FromTheServerFilesHoldTheToneForTheAskedSecondsAndSigintLeavesAShorterOne) {
  // At 44100 Hz, not 48000, so that the file's rate is visibly the server's.
  SoundServer server({"pulseaudio", 44100}, 1);
  ASSERT_GT(server.play(1000), 0);
  const Env env{"ZARN_AUDIO_HELPER="};  // the real helper beside the recorder
  Recorder wav({"--seconds", "2", dir + "/tone.wav"}, env);
  Recorder flac({"--seconds", "1.5", dir + "/tone.flac"}, env);
  Recorder speech({"--rate", "16000", "--seconds", "2", dir + "/speech.wav"}, env);
  Recorder cut({"--seconds", "30", dir + "/cut.wav"}, env);
  const pid_t helper = cut.helperPid();
  ASSERT_NE(helper, 0);
  ASSERT_TRUE(waitForASecond(dir + "/cut.wav", 44100));
  ::kill(cut.pid, SIGINT);
  ASSERT_EQ(cut.exitCode(10s), 0) << cut.err;
  EXPECT_NE(::kill(helper, 0), 0);  // it quit its helper rather than leaving it behind
  const double cutSeconds = readAudio(dir + "/cut.wav").seconds();
  EXPECT_TRUE(cutSeconds > 0.9 && cutSeconds < 10.0) << cutSeconds;

  ASSERT_EQ(wav.exitCode(), 0) << wav.err;
  expectTone(dir + "/tone.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, 2.0);
  EXPECT_EQ(wav.out, "");  // not a terminal: one summary line on standard error
  EXPECT_THAT(wav.err, HasSubstr("WAV float32, 44100 Hz, 1 ch, 2.00 s, peak -6.0 dBFS"));
  ASSERT_EQ(flac.exitCode(), 0) << flac.err;
  expectTone(dir + "/tone.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, 1.5);
  ASSERT_EQ(speech.exitCode(), 0) << speech.err;
  expectTone(dir + "/speech.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000, 2.0);
}

TEST_F(Record, WithoutAServerFailsWithTheHelpersReason) {
  Recorder recorder({"--seconds", "1", dir + "/none.wav"},
                    {"ZARN_AUDIO_HELPER=", "PULSE_SERVER=unix:" + dir + "/no-such-socket",
                     "XDG_RUNTIME_DIR=" + dir});
  EXPECT_EQ(recorder.exitCode(), 1);
  EXPECT_THAT(recorder.err, HasSubstr("zarn-audio-record: start failed: "));
  EXPECT_FALSE(std::filesystem::exists(dir + "/none.wav"));
}

// A 440 Hz float sine in 10 ms blocks at 48 kHz, in real time, for as long as it is wanted.
const std::string kSine = "chunk=data:sine:440,bytes:1920\npace=10\nrepeat=forever\n";

// The environment that makes the recorder start the scripted helper with these tokens.
Env script(const std::string& tokens = kSine) {
  return {std::string("ZARN_AUDIO_HELPER=") + ZARN_SIM, "ZARN_AUDIO_HELPER_ARGS=" + tokens};
}

TEST_F(Record, ScriptedFailuresEndItNonZeroKeepingTheFileAndCtrlCSparesTheHelper) {
  Recorder error({"--seconds", "10", dir + "/e.wav"}, script(kSine + "halt=ms:600:device lost"));
  Recorder change({dir + "/f.flac"}, script("chunk=data:sine:440,bytes:1920,count:30\n"
                                            "chunk=rate:44100,channels:2,data:sine:440,bytes:3528,"
                                            "count:30\npace=5"));
  Recorder dies({"--seconds", "30", dir + "/d.wav"}, script());
  Recorder ctrlC({dir + "/c.wav"}, script(), true);
  const pid_t helper = dies.helperPid(), untouched = ctrlC.helperPid();
  ASSERT_TRUE(helper != 0 && untouched != 0);
  ASSERT_TRUE(waitForASecond(dir + "/d.wav", 48000) && waitForASecond(dir + "/c.wav", 48000));
  EXPECT_NE(::getpgid(untouched), ctrlC.pid);  // asked once it surely runs, not while spawned

  ::kill(helper, SIGKILL);
  EXPECT_EQ(dies.exitCode(), 1);
  EXPECT_THAT(dies.err, HasSubstr("the helper ended unexpectedly (it was killed by signal 9"));
  EXPECT_GT(readAudio(dir + "/d.wav").seconds(), 0.9);

  // A terminal's Ctrl-C goes to the whole foreground process group. The helper is outside it, so
  // it is quit with Q and ends with status 0; had it been hit, the recorder would report that.
  ::kill(-ctrlC.pid, SIGINT);
  EXPECT_EQ(ctrlC.exitCode(), 0) << ctrlC.err;
  EXPECT_GT(readAudio(dir + "/c.wav").seconds(), 0.9);

  EXPECT_EQ(error.exitCode(), 1);
  EXPECT_THAT(error.err, HasSubstr("zarn-audio-record: stream stopped with error: device lost\n"));
  Audio audio = readAudio(dir + "/e.wav");
  EXPECT_TRUE(audio.seconds() > 0.2 && audio.seconds() < 1.0) << audio.seconds();
  EXPECT_TRUE(isTone(audio.samples, 48000, 440, 1.0, 0, 1));

  EXPECT_EQ(change.exitCode(), 1);
  EXPECT_THAT(change.err, HasSubstr("format changed mid-stream from 48000 Hz, 1 ch, float32 to "
                                    "44100 Hz, 2 ch, float32"));
  audio = readAudio(dir + "/f.flac");
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
