// zarn-audio-record as users run it: against the real helper on a private sound server, piped
// into sox, and interrupted as a terminal's Ctrl-C does. What a whole session does on cue, the
// live line included, is tested in process (test_recording.cpp).
#include <signal.h>

#include <thread>

#include "test_server_support.h"

namespace zarn::test::pulse {
namespace {

using std::this_thread::sleep_for;
using ::testing::HasSubstr;

// Each test's files in a directory of their own.
struct Record : ::testing::Test, TempDir {};

// The scripted helper: 10 ms blocks of a 440 Hz sine at half scale, in real time, for ever.
const std::string
    kHelper = std::string("ZARN_AUDIO_HELPER=") + ZARN_SIM,
    kHelperArgs = "ZARN_AUDIO_HELPER_ARGS=chunk=data:sine:440,bytes:1920\npace=10\nrepeat=forever";

// (A hang-up or SIGTERM ends a recording as Ctrl-C does, below: one handler takes all three.)
TEST_F(Record, FromTheServerFilesHoldTheToneForTheAskedSeconds) {
  // At 44100 Hz, not 48000, so that the file's rate is visibly the server's.
  SoundServer server({"pulseaudio", 44100}, 1);
  ASSERT_GT(server.play(1000), 0);
  ChildProcess wav(ZARN_RECORDER, {"--seconds", "2", dir + "/tone.wav"}),
      speech(ZARN_RECORDER, {"--rate", "16000", "--seconds", "2", "--bits", "32", dir + "/s.wav"});
  ASSERT_EQ(wav.wait(30s).describe(), "exit status 0") << wav.stderrText();
  EXPECT_TRUE(wav.outputEndsWithin(0ms));  // not a terminal: one summary line on standard error
  EXPECT_THAT(wav.stderrText(), HasSubstr("WAV 16-bit PCM, 44100 Hz, 1 ch, 2.000 s (88200 "
                                          "samples), peak -6.0 dBFS, 0 clipped, "));
  ASSERT_EQ(speech.wait(30s).describe(), "exit status 0") << speech.stderrText();
  // The server's 1 kHz tone at half scale, after its first fifth of a second. A resampler's
  // filter rings a little past the peak where the tone starts or skips.
  for (const auto& [name, format, rate, ring] :
       {std::tuple("tone.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 0.03),
        std::tuple("s.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 16000, 0.08)}) {
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

// Every sample, and nothing else, goes down the pipe; a device that takes nothing fails with the
// system's reason, and a wrong command line with its own, and status 2.
TEST_F(Record, ToStandardOutputPipesIntoSoxAsWavOrRawAndFailsOnAFullDevice) {
  const std::string recorder = "env '" + kHelper + "' '" + kHelperArgs + "' " + ZARN_RECORDER;
  const auto piped =
      run("cd " + dir + " && " + recorder + " --seconds 1 - | sox -t wav - w.wav && " + recorder +
          " --seconds 1 --raw --bits 32 - | sox -t raw -r 48000 -e " +
          "float -b 32 -c 1 - r.wav && " + recorder + " - 2>&1 >/dev/full; echo $?");
  ASSERT_TRUE(piped) << "sox failed";
  EXPECT_EQ(*piped,
            "zarn-audio-record: cannot write the recording to standard output: No space left on "
            "device\n1\n");
  for (const char* name : {"w", "r"}) {
    const SoundFile audio = readSoundFile(dir + "/" + name + ".wav");
    EXPECT_EQ(audio.info.frames, 48000) << name;
    EXPECT_TRUE(isTone(audio.samples, 48000, 440, 1.0, 0.49, 0.51)) << name;
  }
  ChildProcess wrong(ZARN_RECORDER, {"--sekonds", "3", "x.wav"});
  EXPECT_EQ(wrong.wait().describe(), "exit status 2");
  EXPECT_THAT(wrong.stderrText(),
              HasSubstr("unknown option '--sekonds'\nusage: zarn-audio-record"));
}

// A terminal's Ctrl-C goes to the whole foreground process group. The helper is outside it, so it
// is quit with Q and ends with status 0; had it been hit, the recorder would report that.
TEST_F(Record, AnInterruptToItsProcessGroupSparesTheHelper) {
  ChildProcess recorder("/usr/bin/setsid", {ZARN_RECORDER, dir + "/t.wav"},
                        {.env = {kHelper, kHelperArgs}});
  sleep_for(1500ms);
  ASSERT_EQ(::kill(-recorder.pid(), SIGINT), 0) << "the recorder leads no process group";
  EXPECT_EQ(recorder.wait(10s).describe(), "exit status 0") << recorder.stderrText();
  EXPECT_THAT(recorder.stderrText(), HasSubstr("t.wav: WAV 16-bit PCM, 48000 Hz, 1 ch, "));
  EXPECT_GT(readSoundFile(dir + "/t.wav").seconds(), 1.0);  // kept; sanitized builds start slower
}

}  // namespace
}  // namespace zarn::test::pulse
