// zarn-audio-record as users run it: against the real helper on a private sound server, piped
// into sox, and in a terminal (a pty) that is resized and interrupted with Ctrl-C. What a whole
// session does on cue is tested in process (test_recording.cpp).
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <fstream>
#include <thread>

#include "sound_file.h"
#include "test_pulse_support.h"

namespace {

using namespace zarn::test;
using namespace zarn::test::pulse;

using std::this_thread::sleep_for;
using ::testing::HasSubstr;
using Env = std::vector<std::string>;  // NAME=VALUE, added to the recorder's environment

// The recorder as a child process. Its output and error go to memory files, read once it has
// ended, or, on a terminal, to a pty whose master side `terminal` is.
class Recorder {
 public:
  Recorder(std::vector<std::string> args, const Env& env, unsigned short terminalColumns = 0) {
    std::vector<char*> argv{const_cast<char*>(ZARN_RECORDER)};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    winsize size{24, terminalColumns, 0, 0};
    pid = terminalColumns ? ::forkpty(&terminal, nullptr, nullptr, &size) : ::fork();
    if (pid < 0) std::abort();  // a pid of -1 must never reach kill()
    if (pid == 0) {
      for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
      if (!terminalColumns) ::dup2(out_, 1), ::dup2(err_, 2);
      ::dup2(::open("/dev/null", O_RDONLY), 0), ::execv(argv[0], argv.data()), ::_exit(127);
    }
    ::fcntl(terminal, F_SETFL, O_NONBLOCK);
  }
  ~Recorder() { exitCode(0s), ::close(out_), ::close(err_), ::close(terminal); }

  // Exit status once ended; -1 for a signal or when past the limit (then it is killed).
  int exitCode(std::chrono::seconds limit = 30s) {
    int status = 0;
    for (auto end = Clock::now() + limit; ::waitpid(pid, &status, WNOHANG) == 0; sleep_for(10ms))
      if (Clock::now() >= end) ::kill(pid, SIGKILL);
    for (auto [fd, text] : {std::pair(out_, &out), std::pair(err_, &err)})
      std::getline(std::ifstream("/proc/self/fd/" + std::to_string(fd)), *text, '\0');
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // What the terminal has shown since the last call, over the next span.
  std::string screen(std::chrono::milliseconds span) {
    std::string text;
    char buffer[4096];
    for (auto end = Clock::now() + span; Clock::now() < end; sleep_for(20ms))
      for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
    return text;
  }

  pid_t pid = -1;
  int terminal = -1;  // the pty's master side, non-blocking
  std::string out, err;
  int out_ = ::memfd_create("out", MFD_CLOEXEC), err_ = ::memfd_create("err", MFD_CLOEXEC);
};

// Each test's files in a directory of their own.
struct Record : ::testing::Test, TempDir {};

const Env kRealHelper{"ZARN_AUDIO_HELPER="};  // zarn-audio, beside the recorder
// The scripted helper: 10 ms blocks of a 440 Hz sine at half scale, in real time, for ever.
const Env kScripted{
    std::string("ZARN_AUDIO_HELPER=") + ZARN_SIM,
    "ZARN_AUDIO_HELPER_ARGS=chunk=data:sine:440,bytes:1920\npace=10\nrepeat=forever"};

TEST_F(Record, FromTheServerFilesHoldTheToneForTheAskedSecondsAndSighupLeavesAShorterOne) {
  // At 44100 Hz, not 48000, so that the file's rate is visibly the server's.
  SoundServer server({"pulseaudio", 44100}, 1);
  ASSERT_GT(server.play(1000), 0);
  Recorder wav({"--seconds", "2", dir + "/tone.wav"}, kRealHelper);
  Recorder speech({"--rate", "16000", "--seconds", "2", "--bits", "32", dir + "/speech.wav"},
                  kRealHelper);
  Recorder cut({"--seconds", "30", dir + "/cut.wav"}, kRealHelper);
  // Over a second of audio in cut.wav (its header is updated each second), then a hang-up, which
  // ends it as Ctrl-C does.
  for (int i = 0;
       i < 750 && std::ifstream(dir + "/cut.wav", std::ios::ate).tellg() < 44100 * 2 + 4096; ++i)
    sleep_for(20ms);
  ::kill(cut.pid, SIGHUP);
  ASSERT_EQ(cut.exitCode(10s), 0) << cut.err;
  const double cutSeconds = readSoundFile(dir + "/cut.wav").seconds();
  EXPECT_TRUE(cutSeconds > 0.9 && cutSeconds < 10.0) << cutSeconds;

  ASSERT_EQ(wav.exitCode(), 0) << wav.err;
  EXPECT_EQ(wav.out, "");  // not a terminal: one summary line on standard error
  EXPECT_THAT(wav.err, HasSubstr("WAV 16-bit PCM, 44100 Hz, 1 ch, 2.000 s (88200 samples), "
                                 "peak -6.0 dBFS, 0 clipped, "));
  ASSERT_EQ(speech.exitCode(), 0) << speech.err;
  // The server's 1 kHz tone at half scale, after its first fifth of a second. A resampler's
  // filter rings a little past the peak where the tone starts or skips.
  for (const auto& [name, format, rate, ring] :
       {std::tuple("tone.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 0.03),
        std::tuple("speech.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000, 0.08)}) {
    const SoundFile audio = readSoundFile(dir + "/" + name);
    EXPECT_EQ(std::tuple(audio.info.format, audio.info.samplerate, audio.info.channels),
              std::tuple(format, rate, 1))
        << name;
    EXPECT_NEAR(audio.seconds(), 2.0, 0.3) << name;
    const auto tone =
        std::span(audio.samples).subspan(std::min<std::size_t>(audio.samples.size(), rate / 5));
    EXPECT_TRUE(isTone(tone, rate, 1000, 2.0, 0.5 - ring, 0.5 + ring)) << name;
  }
}

TEST_F(Record, ToStandardOutputPipesIntoSoxAsWavOrRawAndFailsOnAFullDevice) {
  const std::string recorder =
      "env '" + kScripted[0] + "' '" + kScripted[1] + "' " + ZARN_RECORDER + " --seconds 1 ";
  const auto piped = run("cd " + dir + " && " + recorder + "- | sox -t wav - wav.wav && " +
                         recorder + "--raw --bits 32 - | sox -t raw -r 48000 -e float -b 32 " +
                         "-c 1 - raw.wav && " + recorder + "- 2>&1 >/dev/full; echo $?");
  ASSERT_TRUE(piped) << "sox failed";
  EXPECT_EQ(*piped,
            "zarn-audio-record: cannot write the recording to standard output: No space left on "
            "device\n1\n");
  // Every sample, and nothing else, went down the pipe.
  for (const char* name : {"wav", "raw"}) {
    const SoundFile audio = readSoundFile(dir + "/" + name + ".wav");
    EXPECT_EQ(audio.info.frames, 48000) << name;
    EXPECT_TRUE(isTone(audio.samples, 48000, 440, 1.0, 0.49, 0.51)) << name;
  }
}

TEST_F(Record, OnATerminalTheLiveLineFitsItsWidthAsItChangesAndCtrlCSparesTheHelper) {
  Recorder recorder({dir + "/t.wav"}, kScripted, 80);
  std::string wide = recorder.screen(1200ms);
  winsize narrow{24, 40, 0, 0};
  ::ioctl(recorder.terminal, TIOCSWINSZ, &narrow);
  wide += recorder.screen(300ms);  // lines on their way when it changed
  std::string shown = recorder.screen(1000ms);
  // A terminal's Ctrl-C goes to the whole foreground process group. The helper is outside it, so
  // it is quit with Q and ends with status 0; had it been hit, the recorder would report that.
  ASSERT_EQ(::write(recorder.terminal, "\x03", 1), 1);
  shown += recorder.screen(1000ms);
  EXPECT_EQ(recorder.exitCode(), 0) << shown;
  const auto summary = shown.find("t.wav: WAV 16-bit PCM, 48000 Hz, 1 ch, ");
  ASSERT_NE(summary, std::string::npos) << shown;
  // Until the summary: one line rewritten in place, never reaching the last column.
  for (const auto& [text, columns] :
       {std::pair(wide, 80u), std::pair(shown.substr(0, summary), 40u)}) {
    EXPECT_EQ(text.find('\n'), std::string::npos);
    std::stringstream lines(text);
    for (std::string line; std::getline(lines, line, '\r');)
      EXPECT_LT(line.substr(0, line.find("\033[K")).size(), columns) << line;
  }
  EXPECT_THAT(wide, HasSubstr("-6.0 dBFS  clipped 0  [##################--]"));
  EXPECT_GT(readSoundFile(dir + "/t.wav").seconds(), 1.0);  // kept; sanitized builds start slower
}

TEST(RecordCommandLine, HelpVersionAndUsageErrors) {
  Recorder help({"--help"}, {}), version({"--version"}, {}), wrong({"--sekonds", "3", "x.wav"}, {});
  EXPECT_EQ(help.exitCode(), 0);
  EXPECT_THAT(help.out,
              ::testing::StartsWith("usage: zarn-audio-record [--seconds N] [--rate HZ]"));
  EXPECT_EQ(version.exitCode(), 0);
  EXPECT_THAT(version.out, ::testing::StartsWith("zarn-audio-record "));
  EXPECT_EQ(wrong.exitCode(), 2);
  EXPECT_THAT(wrong.err, HasSubstr("unknown option '--sekonds'\nusage: zarn-audio-record"));
}

}  // namespace
