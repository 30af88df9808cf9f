// zarn-audio-record end to end: against the real helper on a private sound server (the file holds
// the played tone, at the asked length and rate; interrupts and a missing server), and against the
// scripted helper for what a real server will not do on cue (stream errors, format changes, a
// helper that dies or never starts).
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// --- running the recorder -------------------------------------------------------------------

struct RunOptions {
  std::map<std::string, std::string> env;  // set in the child; an empty value unsets
  bool ownProcessGroup = false;            // as a shell's job control would start it
  bool terminal = false;                   // standard error on a pseudo-terminal
};

// The recorder as a child process. Its standard output and error go to files (or error to a
// pseudo-terminal), read once it has ended.
class Recorder {
 public:
  Recorder(const std::vector<std::string>& args, const RunOptions& options) {
    char outName[] = "/tmp/zr-out-XXXXXX";
    char errName[] = "/tmp/zr-err-XXXXXX";
    out_ = ::mkstemp(outName);
    err_ = ::mkstemp(errName);
    ::unlink(outName);
    ::unlink(errName);
    int slave = -1;
    if (options.terminal) {
      ::close(err_);
      if (::openpty(&err_, &slave, nullptr, nullptr, nullptr) != 0) std::abort();
    }
    std::vector<std::string> argv{ZARN_RECORDER};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ == 0) {
      if (options.ownProcessGroup) ::setpgid(0, 0);
      for (const auto& [key, value] : options.env) {
        value.empty() ? ::unsetenv(key.c_str()) : ::setenv(key.c_str(), value.c_str(), 1);
      }
      ::dup2(::open("/dev/null", O_RDONLY), 0);
      ::dup2(out_, 1);
      ::dup2(options.terminal ? slave : err_, 2);
      ::close(err_);
      ::execv(cargv[0], cargv.data());
      ::_exit(127);
    }
    if (options.ownProcessGroup) ::setpgid(pid_, pid_);  // no race with a kill of the group
    if (slave >= 0) ::close(slave);
  }

  ~Recorder() {
    if (!status_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
    ::close(err_);
  }

  pid_t pid() const { return pid_; }

  // Exit status once it has ended; -1 if it ended by a signal or not within the limit (then it is
  // killed).
  int exitCode(std::chrono::milliseconds limit = 30s) {
    const auto deadline = Clock::now() + limit;
    while (!status_) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = status;
      } else if (Clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        status_ = -1;
      } else {
        std::this_thread::sleep_for(10ms);
      }
    }
    outText_ = drain(out_);
    errText_ = drain(err_);
    return WIFEXITED(*status_) && *status_ != -1 ? WEXITSTATUS(*status_) : -1;
  }

  const std::string& out() const { return outText_; }
  const std::string& err() const { return errText_; }

  // The helper it started (its only child), once there is one.
  std::optional<pid_t> helperPid(std::chrono::milliseconds limit = 5s) const {
    const auto deadline = Clock::now() + limit;
    const std::string path =
        "/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) + "/children";
    while (Clock::now() < deadline) {
      std::ifstream in(path);
      pid_t child = 0;
      if (in >> child) return child;
      std::this_thread::sleep_for(10ms);
    }
    return std::nullopt;
  }

 private:
  // A file is read from its start; a terminal until it reports its end (EIO, for a pty).
  static std::string drain(int fd) {
    ::lseek(fd, 0, SEEK_SET);
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) text.append(buf, n);
    return text;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::optional<int> status_;
  std::string outText_;
  std::string errText_;
};

// --- reading the result -----------------------------------------------------------------------

struct Audio {
  bool ok = false;
  int rate = 0;
  int channels = 0;
  int format = 0;
  std::vector<float> samples;  // first channel
  double seconds() const { return rate ? static_cast<double>(samples.size()) / rate : 0; }
};

Audio readAudio(const std::string& path) {
  Audio audio;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) return audio;
  std::vector<float> all(static_cast<std::size_t>(info.frames * info.channels));
  const sf_count_t got = sf_readf_float(file, all.data(), info.frames);
  sf_close(file);
  audio.ok = got == info.frames;
  audio.rate = info.samplerate;
  audio.channels = info.channels;
  audio.format = info.format;
  for (std::size_t i = 0; i < all.size(); i += static_cast<std::size_t>(info.channels)) {
    audio.samples.push_back(all[i]);
  }
  return audio;
}

// Power of the recording at one frequency (Goertzel), from `skip` seconds on.
double powerAt(const Audio& audio, double hz, double skip) {
  const double w = 2 * M_PI * hz / audio.rate;
  const double coeff = 2 * std::cos(w);
  double s1 = 0;
  double s2 = 0;
  for (std::size_t i = static_cast<std::size_t>(skip * audio.rate); i < audio.samples.size(); ++i) {
    const double s0 = audio.samples[i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  return s1 * s1 + s2 * s2 - coeff * s1 * s2;
}

// The strongest frequency within half an octave of the expected one, to 0.1 Hz. A spectral peak
// rather than counted zero crossings: a player that falls behind on a busy machine leaves gaps in
// the tone, which must not read as a change of pitch.
double toneFrequency(const Audio& audio, double expected, double skip = 0.0) {
  auto best = [&](double from, double to, double step) {
    double bestHz = from;
    double bestPower = -1;
    for (double hz = from; hz <= to; hz += step) {
      const double p = powerAt(audio, hz, skip);
      if (p > bestPower) {
        bestPower = p;
        bestHz = hz;
      }
    }
    return bestHz;
  };
  const double coarse = best(expected * 0.7, expected * 1.4, 2.0);
  return best(coarse - 2.0, coarse + 2.0, 0.1);
}

float peakOf(const Audio& audio, double skip = 0.0) {
  float peak = 0;
  for (std::size_t i = static_cast<std::size_t>(skip * audio.rate); i < audio.samples.size(); ++i) {
    peak = std::max(peak, std::fabs(audio.samples[i]));
  }
  return peak;
}

std::string tempDir(const char* tag) {
  // Short: socket paths inside it must stay under 108 bytes.
  std::string pattern = "/tmp/zr-" + std::string(tag) + "-XXXXXX";
  if (!::mkdtemp(pattern.data())) std::abort();
  return pattern;
}

// Waits until the file exists and holds at least the given number of bytes.
bool waitForFileSize(const std::string& path, std::uintmax_t bytes, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    std::error_code ec;
    if (fs::file_size(path, ec) >= bytes && !ec) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
}

bool processGone(pid_t pid) {
  return ::kill(pid, 0) != 0 && errno == ESRCH;
}

std::string run(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe)) out += buf;
  const int status = ::pclose(pipe);
  if (status != 0) out = "FAILED(" + std::to_string(status) + "): " + out;
  return out;
}

// --- against the private sound server -------------------------------------------------------

constexpr int kServerRate = 44100;  // not 48000, so the file's rate is visibly the server's
constexpr double kToneHz = 1000.0;

class RecordFromServer : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = tempDir("srv");
    const std::string out =
        run(std::string(ZARN_SOUND_SERVER) + " start pulseaudio " + dir_ + " --rate " +
            std::to_string(kServerRate) + " --owner " + std::to_string(::getpid()) + " 2>&1");
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos && line.rfind("FAILED", 0) != 0) {
        options_.env[line.substr(0, eq)] = line.substr(eq + 1);
      }
    }
    ASSERT_TRUE(options_.env.count("PULSE_SERVER")) << "sound server did not start: " << out;
    options_.env["ZARN_AUDIO_HELPER"] = "";  // the real helper beside the recorder
    const std::string played = run(std::string(ZARN_SOUND_SERVER) + " play " + dir_ + " " +
                                   std::to_string(static_cast<int>(kToneHz)) + " 60");
    ASSERT_EQ(played.find("FAILED"), std::string::npos) << played;
  }

  void TearDown() override {
    run(std::string(ZARN_SOUND_SERVER) + " stop " + dir_);
    fs::remove_all(dir_);
  }

  std::string file(const char* name) const { return dir_ + "/" + name; }

  // The tone from the server, at the expected rate and length.
  void expectTone(const Audio& audio, int rate, double seconds) {
    ASSERT_TRUE(audio.ok);
    EXPECT_EQ(audio.rate, rate);
    EXPECT_EQ(audio.channels, 1);
    EXPECT_NEAR(audio.seconds(), seconds, 0.3);
    // Skip the first moments: the player may still be starting when the recording does.
    EXPECT_NEAR(toneFrequency(audio, kToneHz, 0.2), kToneHz, 2.0);
    EXPECT_NEAR(peakOf(audio, 0.2), 0.5f, 0.03f);
  }

  std::string dir_;
  RunOptions options_;
};

TEST_F(RecordFromServer, WavHoldsTheToneForTheAskedSeconds) {
  Recorder recorder({"--seconds", "2", file("tone.wav")}, options_);
  ASSERT_EQ(recorder.exitCode(), 0) << recorder.err();
  const Audio audio = readAudio(file("tone.wav"));
  EXPECT_EQ(audio.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  expectTone(audio, kServerRate, 2.0);
  // Not a terminal: one summary line, nothing on standard output.
  EXPECT_EQ(recorder.out(), "");
  EXPECT_NE(recorder.err().find("WAV float32, 44100 Hz, 1 ch, 2.00 s, peak -6.0 dBFS"),
            std::string::npos)
      << recorder.err();
}

TEST_F(RecordFromServer, FlacHoldsTheToneForTheAskedSeconds) {
  Recorder recorder({"--seconds", "1.5", file("tone.flac")}, options_);
  ASSERT_EQ(recorder.exitCode(), 0) << recorder.err();
  const Audio audio = readAudio(file("tone.flac"));
  EXPECT_EQ(audio.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
  expectTone(audio, kServerRate, 1.5);
}

TEST_F(RecordFromServer, ResamplesTo16000WithTheToneIntact) {
  Recorder recorder({"--rate", "16000", "--seconds", "2", file("speech.wav")}, options_);
  ASSERT_EQ(recorder.exitCode(), 0) << recorder.err();
  expectTone(readAudio(file("speech.wav")), 16000, 2.0);
  EXPECT_NE(recorder.err().find("16000 Hz (resampled from 44100 Hz)"), std::string::npos)
      << recorder.err();
}

TEST_F(RecordFromServer, SigintMidRecordingLeavesAValidShorterFile) {
  Recorder recorder({"--seconds", "30", file("cut.wav")}, options_);
  const auto helper = recorder.helperPid();
  ASSERT_TRUE(helper);
  // The header is brought up to date every second of audio: wait for a bit more than one.
  ASSERT_TRUE(waitForFileSize(file("cut.wav"), 1 * kServerRate * 4 + 4096, 15s)) << recorder.err();
  ::kill(recorder.pid(), SIGINT);
  ASSERT_EQ(recorder.exitCode(10s), 0) << recorder.err();
  const Audio audio = readAudio(file("cut.wav"));
  ASSERT_TRUE(audio.ok);
  EXPECT_GT(audio.seconds(), 0.9);
  EXPECT_LT(audio.seconds(), 10.0);
  EXPECT_NEAR(toneFrequency(audio, kToneHz, 0.2), kToneHz, 2.0);
  // It quit its helper rather than leaving it behind.
  EXPECT_TRUE(processGone(*helper));
}

TEST(RecordWithoutServer, FailsWithTheHelpersReason) {
  const std::string dir = tempDir("none");
  RunOptions options;
  options.env["ZARN_AUDIO_HELPER"] = "";
  options.env["PULSE_SERVER"] = "unix:" + dir + "/no-such-socket";
  options.env["XDG_RUNTIME_DIR"] = dir;
  Recorder recorder({"--seconds", "1", dir + "/none.wav"}, options);
  const int code = recorder.exitCode();
  EXPECT_NE(code, 0);
  EXPECT_NE(code, -1) << "did not end by itself";
  EXPECT_NE(recorder.err().find("zarn-audio-record: start failed: "), std::string::npos)
      << recorder.err();
  EXPECT_FALSE(fs::exists(dir + "/none.wav"));
  fs::remove_all(dir);
}

// --- against the scripted helper --------------------------------------------------------------

class RecordFromScript : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = tempDir("sim"); }
  void TearDown() override { fs::remove_all(dir_); }

  // Options that make the recorder start the scripted helper with these tokens.
  RunOptions script(const std::vector<std::string>& tokens) const {
    RunOptions options;
    options.env["ZARN_AUDIO_HELPER"] = ZARN_SIM;
    std::string args;
    for (const auto& t : tokens) args += t + "\n";
    options.env["ZARN_AUDIO_HELPER_ARGS"] = args;
    return options;
  }
  // A 440 Hz float sine in 10 ms blocks at 48 kHz, in real time, for as long as it is wanted.
  RunOptions steadySine(std::vector<std::string> extra = {}) const {
    std::vector<std::string> tokens{"chunk=data:sine:440,bytes:1920", "pace=10", "repeat=forever"};
    tokens.insert(tokens.end(), extra.begin(), extra.end());
    return script(tokens);
  }

  std::string file(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

TEST_F(RecordFromScript, StreamErrorWhileRecordingEndsItNonZeroAndKeepsTheFile) {
  Recorder recorder({"--seconds", "10", file("e.wav")}, steadySine({"halt=ms:600:device lost"}));
  EXPECT_EQ(recorder.exitCode(), 1);
  EXPECT_NE(recorder.err().find("zarn-audio-record: stream stopped with error: device lost\n"),
            std::string::npos)
      << recorder.err();
  const Audio audio = readAudio(file("e.wav"));
  ASSERT_TRUE(audio.ok);
  EXPECT_GT(audio.seconds(), 0.2);
  EXPECT_LT(audio.seconds(), 1.0);
  EXPECT_NEAR(toneFrequency(audio, 440.0), 440.0, 1.0);
}

TEST_F(RecordFromScript, FormatChangeIsNamedAndTheFileSoFarKept) {
  Recorder recorder(
      {file("f.flac")},
      script({"chunk=data:sine:440,bytes:1920,count:30",
              "chunk=rate:44100,channels:2,data:sine:440,bytes:3528,count:30", "pace=5"}));
  EXPECT_EQ(recorder.exitCode(), 1);
  EXPECT_NE(recorder.err().find("format changed mid-stream from 48000 Hz, 1 ch, float32 to "
                                "44100 Hz, 2 ch, float32"),
            std::string::npos)
      << recorder.err();
  const Audio audio = readAudio(file("f.flac"));
  ASSERT_TRUE(audio.ok);
  EXPECT_EQ(audio.rate, 48000);
  EXPECT_EQ(audio.channels, 1);
  EXPECT_GT(audio.samples.size(), 0u);
  EXPECT_LE(audio.samples.size(), 30u * 480u);
}

TEST_F(RecordFromScript, HelperThatDiesIsReportedAndTheFileKept) {
  Recorder recorder({"--seconds", "30", file("d.wav")}, steadySine());
  const auto helper = recorder.helperPid();
  ASSERT_TRUE(helper);
  ASSERT_TRUE(waitForFileSize(file("d.wav"), 48000 * 4 + 4096, 10s));
  ::kill(*helper, SIGKILL);
  EXPECT_EQ(recorder.exitCode(), 1);
  EXPECT_NE(recorder.err().find("the helper ended unexpectedly (it was killed by signal 9"),
            std::string::npos)
      << recorder.err();
  const Audio audio = readAudio(file("d.wav"));
  ASSERT_TRUE(audio.ok);
  EXPECT_GT(audio.seconds(), 0.9);
}

TEST_F(RecordFromScript, StartFailureIsPrintedAndNoFileMade) {
  Recorder recorder({"--seconds", "1", file("s.wav")}, script({"query=fail:Connection refused"}));
  EXPECT_EQ(recorder.exitCode(), 1);
  EXPECT_EQ(recorder.err(), "zarn-audio-record: start failed: Connection refused\n");
  EXPECT_FALSE(fs::exists(file("s.wav")));
}

TEST_F(RecordFromScript, InterruptWhileTheHelperStartsQuitsItPromptly) {
  Recorder recorder({file("h.wav")}, script({"query=hang"}));
  const auto helper = recorder.helperPid();
  ASSERT_TRUE(helper);
  std::this_thread::sleep_for(200ms);
  const auto sent = Clock::now();
  ::kill(recorder.pid(), SIGTERM);
  EXPECT_EQ(recorder.exitCode(), 1);
  EXPECT_LT(Clock::now() - sent, 3s);
  EXPECT_NE(recorder.err().find("interrupted before the recording started"), std::string::npos)
      << recorder.err();
  EXPECT_TRUE(processGone(*helper));
  EXPECT_FALSE(fs::exists(file("h.wav")));
}

TEST_F(RecordFromScript, CtrlCFromATerminalReachesOnlyTheRecorder) {
  // A terminal sends SIGINT to the whole foreground process group. The helper is outside it, so
  // it is quit with Q and ends with status 0; had it been hit, the recorder would report that.
  RunOptions options = steadySine();
  options.ownProcessGroup = true;
  Recorder recorder({file("c.wav")}, options);
  const auto helper = recorder.helperPid();
  ASSERT_TRUE(helper);
  EXPECT_NE(::getpgid(*helper), recorder.pid());
  ASSERT_TRUE(waitForFileSize(file("c.wav"), 48000 * 4 + 4096, 10s));
  ::kill(-recorder.pid(), SIGINT);
  EXPECT_EQ(recorder.exitCode(), 0) << recorder.err();
  const Audio audio = readAudio(file("c.wav"));
  ASSERT_TRUE(audio.ok);
  EXPECT_GT(audio.seconds(), 0.9);
}

TEST_F(RecordFromScript, TerminalGetsALiveLineThenTheSummary) {
  RunOptions options = steadySine();
  options.terminal = true;
  Recorder recorder({"--seconds", "1", file("t.wav")}, options);
  ASSERT_EQ(recorder.exitCode(), 0) << recorder.err();
  const std::string& err = recorder.err();
  // Several refreshes of one line, each rewritten in place.
  std::size_t refreshes = 0;
  for (std::size_t at = err.find("\r00:"); at != std::string::npos;
       at = err.find("\r00:", at + 1)) {
    ++refreshes;
  }
  EXPECT_GE(refreshes, 3u) << err;
  EXPECT_NE(err.find(" / 00:01.0  ["), std::string::npos) << err;
  EXPECT_NE(err.find("] -6.0 dBFS  frames "), std::string::npos) << err;
  EXPECT_NE(err.find(" written 0."), std::string::npos) << err;
  EXPECT_NE(err.find("WAV float32, 48000 Hz, 1 ch, 1.00 s, peak -6.0 dBFS"), std::string::npos)
      << err;
}

TEST(RecordCommandLine, HelpVersionAndUsageErrors) {
  RunOptions options;
  {
    Recorder recorder({"--help"}, options);
    EXPECT_EQ(recorder.exitCode(), 0);
    EXPECT_EQ(recorder.out().rfind("usage: zarn-audio-record [--seconds N] [--rate HZ] OUTPUT", 0),
              0u)
        << recorder.out();
    EXPECT_EQ(recorder.err(), "");
  }
  {
    Recorder recorder({"--version"}, options);
    EXPECT_EQ(recorder.exitCode(), 0);
    EXPECT_EQ(recorder.out().rfind("zarn-audio-record ", 0), 0u) << recorder.out();
  }
  {
    Recorder recorder({"--sekonds", "3", "x.wav"}, options);
    EXPECT_EQ(recorder.exitCode(), 2);
    EXPECT_EQ(recorder.out(), "");
    EXPECT_NE(recorder.err().find("unknown option '--sekonds'"), std::string::npos);
    EXPECT_NE(recorder.err().find("\nusage: zarn-audio-record"), std::string::npos);
  }
  {
    // Caught before any helper is started.
    Recorder recorder({"/no/such/dir/x.wav"}, options);
    EXPECT_EQ(recorder.exitCode(), 1);
    EXPECT_EQ(recorder.err(),
              "zarn-audio-record: cannot create /no/such/dir/x.wav: No such file or directory\n");
  }
}

}  // namespace
