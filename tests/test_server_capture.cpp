// The product on a real sound server: what the parent gets while the server plays, and when the
// server is missing, empty or dies.
#include <gtest/gtest.h>

#include <signal.h>

#include <thread>

#include "test_server_support.h"

namespace zarn::test::pulse {
namespace {

class ServerCapture : public ::testing::TestWithParam<ServerKind> {};

TEST_P(ServerCapture, ForwardsThePlayedToneOnceArmedAndReportsTheServerDyingOnce) {
  SoundServer server(GetParam(), 1);
  pid_t player = server.play(440);
  ASSERT_GT(player, 0);
  ChildProcess child(ZARN_AUDIO_PATH, {});
  Capture unarmed;
  ASSERT_TRUE(collect(child, unarmed, 5000ms, 'R')) << describe(unarmed.others);
  collect(child, unarmed, 400ms);
  EXPECT_EQ(unarmed.chunks, 0u);
  EXPECT_EQ(describe(unarmed.others), "R");

  // A parent that stops reading for a few seconds loses nothing: the server keeps it meanwhile.
  ASSERT_TRUE(child.write("A"));
  Capture armed;
  collect(child, armed, 1000ms);
  std::this_thread::sleep_for(5000ms);
  collect(child, armed, 2000ms);
  EXPECT_TRUE(pinged(child, armed)) << "no answer to a ping while streaming";
  EXPECT_EQ(describe(armed.others), "O");
  // The output's own rate throughout, at most 20 ms per delivery, and the tone as played.
  EXPECT_EQ(std::pair(armed.rate, armed.lastRate), std::pair(GetParam().rate, GetParam().rate));
  EXPECT_LE(armed.largestChunk, armed.rate / 50 * 4);
  EXPECT_TRUE(playsTone(armed, 1.0, 440));
  // Nothing is lost: as much audio as time went by between the first and last chunk.
  const double wall = std::chrono::duration<double>(armed.lastChunkAt - armed.firstChunkAt).count();
  const double heard = double(armed.samples.size()) / armed.lastRate;
  EXPECT_NEAR(heard, wall, 0.1 * wall + 0.05) << armed.chunks << " chunks";

  // The output's channels are averaged by us, not mixed by the server, so every server gives the
  // same level: sound in both channels keeps it, sound in one of two arrives at half.
  for (const auto& [stereo, peak] : {std::pair{"both", 0.9}, {"left", 0.45}}) {
    SCOPED_TRACE(stereo);
    ASSERT_TRUE(server.stopPlaying(player));
    ASSERT_GT(player = server.play(440, "", std::string("--level 0.9 --stereo ") + stereo), 0);
    Capture capture;
    collect(child, capture, 1500ms);
    EXPECT_TRUE(isTone(lastSeconds(capture.samples, 0.5, capture.lastRate), capture.lastRate, 440,
                       2, peak * 0.99, peak * 1.01));
  }

  // The server dies while audio flows. (That nothing comes after D is test_sample_forwarding's.)
  Capture dying;
  ASSERT_TRUE(collect(child, dying, 2000ms, 'C'));
  server.stop();
  ASSERT_TRUE(collect(child, dying, 5000ms, 'E')) << describe(dying.others);
  expectReportedOnce(child, dying);
  expectCleanQuit(child);
}

// An empty server fails the start, and the helper goes on answering, armed, without audio.
TEST_P(ServerCapture, ServerWithoutOutputsIsAStartFailure) {
  SoundServer server(GetParam(), 0);
  ChildProcess child(ZARN_AUDIO_PATH, {});
  Capture capture;
  ASSERT_TRUE(collect(child, capture, 5000ms, 'E'));
  ASSERT_TRUE(child.write("A"));
  EXPECT_TRUE(pinged(child, capture));
  collect(child, capture, 300ms);
  EXPECT_EQ(describe(capture.others), "E(start failed: no sound output to capture) O");
  EXPECT_EQ(capture.chunks, 0u);
  expectCleanQuit(child);
}

// A parent that sends Q and at once closes its end of our output (Node's stdout.destroy(),
// Python's close()) gets status 0, whether it had been reading or had stalled with frames waiting.
TEST_P(ServerCapture, QuitThenHangUpEndsWithStatusZero) {
  SoundServer server(GetParam(), 1);
  ASSERT_GT(server.play(440), 0);
  for (const bool stalled : {false, true}) {
    for (int round = 0; round < 3; ++round) {  // the hang-up races the exit: a few tries
      SCOPED_TRACE(std::string(stalled ? "stalled" : "reading") + " round " +
                   std::to_string(round));
      ChildProcess child(ZARN_AUDIO_PATH, {});
      Capture seen;
      ASSERT_TRUE(child.write("A"));
      ASSERT_TRUE(collect(child, seen, 5000ms, 'R')) << describe(seen.others);
      if (stalled) {
        std::this_thread::sleep_for(2000ms);
      } else {
        collect(child, seen, 500ms);
      }
      ASSERT_TRUE(child.write("Q"));
      child.closeInput();
      EXPECT_EQ(child.wait(3000ms).describe(), "exit status 0");
      EXPECT_EQ(child.stderrText(), "");
    }
  }
}

// The server the product talks to is stopped (SIGSTOP) while audio flows: one E within 5 s, pings
// still answered, and once the server continues, no second E and no audio after the E. (A quiet
// desktop does not trip this; bench/stall.py measures that.)
TEST_P(ServerCapture, ServerThatStopsAnsweringIsReportedOnceWithinFiveSeconds) {
  SoundServer server(GetParam(), 1);
  ASSERT_GT(server.play(440), 0);
  ChildProcess child(ZARN_AUDIO_PATH, {});
  Capture before;
  armAndHear(child, before, 440);
  const pid_t daemon = server.daemonPid(GetParam());
  ASSERT_GT(daemon, 0);
  ASSERT_EQ(::kill(daemon, SIGSTOP), 0);
  const auto stopped = Clock::now();
  Capture during;
  const bool told = collect(child, during, 6000ms, 'E');
  const auto took = Clock::now() - stopped;
  const bool answered = pinged(child, during);
  ::kill(daemon, SIGCONT);
  ASSERT_TRUE(told) << "silence for good: no E";
  EXPECT_LE(took, 5000ms);
  EXPECT_TRUE(answered) << "no answer to a ping while the server is stopped";
  EXPECT_THAT(describe(during.others),
              ::testing::MatchesRegex(R"(E\(stream stopped with error: [^()]+\) O)"));
  Capture after;
  collect(child, after, 2000ms);
  EXPECT_EQ(after.chunks, 0u) << "audio after the E";
  EXPECT_EQ(describe(after.others), "");
  expectCleanQuit(child);
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerCapture, kServerKinds, ::testing::PrintToStringParamName());

// A PipeWire daemon with no output (one that only serves screen sharing) beside a PulseAudio that
// plays: the helper records PulseAudio rather than failing for want of an output.
TEST(PulseBesidePipeWire, PipeWireWithoutOutputsLeavesTheSoundToPulseAudio) {
  SoundServer pipewire(ServerKind{"pipewire", 48000, true}, 0);
  const std::string runtime = ::getenv("PIPEWIRE_RUNTIME_DIR");
  SoundServer pulseaudio(ServerKind{"pulseaudio", 32000}, 1);
  ::setenv("PIPEWIRE_RUNTIME_DIR", runtime.c_str(), 1);
  ::setenv("PIPEWIRE_REMOTE", "pipewire-0", 1);
  ASSERT_TRUE(run("pw-cli info 0 >/dev/null 2>&1")) << "the PipeWire daemon does not answer";
  ASSERT_GT(pulseaudio.play(440), 0);
  ChildProcess child(ZARN_AUDIO_PATH, {});
  Capture capture;
  armAndHear(child, capture, 440);
  EXPECT_EQ(capture.rate, 32000u);
  EXPECT_EQ(describe(capture.others), "R");
  expectCleanQuit(child);
}

}  // namespace
}  // namespace zarn::test::pulse
