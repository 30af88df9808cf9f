// Capture follows whatever the computer plays: a new default output, or the next output when the
// captured one goes away, without a word to the parent; only the last output going is reported.
#include <gtest/gtest.h>

#include "test_pulse_support.h"

namespace zarn::test::pulse {
namespace {

class PulseFollow : public ::testing::TestWithParam<ServerKind> {};

// Starts the product armed and waits until its stream runs.
void startArmed(ChildProcess& child, Capture& capture) {
  ASSERT_TRUE(child.write("A"));
  ASSERT_TRUE(readUntil(child, capture, 'R', 5000ms)) << describe(capture.others);
}

// One player at a time, started after each switch: a server that moves players along with the
// default (PulseAudio does) must not make a stream that stayed behind look right. The second
// output runs at a rate of its own, as a headset next to the speakers may.
TEST_P(PulseFollow, MovesToTheNewDefaultOutputAtItsOwnRate) {
  SoundServer server(GetParam().name, GetParam().rate, 1);
  ASSERT_TRUE(server.pactl("load-module module-null-sink sink_name=zarn_other rate=22050"));
  pid_t player = server.play(440, 30);
  ASSERT_GT(player, 0);
  ChildProcess child(product(), {});
  Capture before;
  startArmed(child, before);
  collect(child, before, 1000ms);
  EXPECT_NEAR(lastTone(before, 0.5).hz, 440, 2);
  EXPECT_EQ(before.rate, GetParam().rate);

  ASSERT_TRUE(server.stopPlaying(player));
  ASSERT_TRUE(server.pactl("set-default-sink zarn_other"));
  player = server.play(1000, 30, "zarn_other");
  ASSERT_GT(player, 0);
  Capture after;
  collect(child, after, 1500ms);
  ASSERT_TRUE(child.write("P"));
  EXPECT_TRUE(readUntil(child, after, 'O', 2000ms));
  EXPECT_EQ(describe(after.others), "O");
  // Chunks of both rates arrive (those of before the move first), each with its own header.
  ASSERT_GT(after.chunks, 0u);
  const Tone tone = lastTone(after, 0.8);
  EXPECT_EQ(after.lastRate, 22050u);
  EXPECT_NEAR(tone.hz, 1000, 2);
  EXPECT_GT(tone.peak, 0.2);

  // And back again: following is not a one-off.
  ASSERT_TRUE(server.stopPlaying(player));
  ASSERT_TRUE(server.pactl("set-default-sink zarn_null0"));
  ASSERT_GT(server.play(660, 30, "zarn_null0"), 0);
  Capture back;
  collect(child, back, 1500ms);
  EXPECT_EQ(back.lastRate, GetParam().rate);
  EXPECT_NEAR(lastTone(back, 0.8).hz, 660, 2);
  EXPECT_TRUE(back.others.empty()) << describe(back.others);
  ASSERT_TRUE(child.write("Q"));
  EXPECT_EQ(child.wait(3000ms).status, 0);
  EXPECT_EQ(child.stderrText(), "");
}

TEST_P(PulseFollow, MovesOnWhenTheCapturedOutputGoesAway) {
  SoundServer server(GetParam().name, GetParam().rate, 2);
  const pid_t player = server.play(440, 30, "zarn_null0");
  ASSERT_GT(player, 0);
  ChildProcess child(product(), {});
  Capture before;
  startArmed(child, before);
  collect(child, before, 1000ms);
  EXPECT_NEAR(lastTone(before, 0.5).hz, 440, 2);

  ASSERT_TRUE(server.stopPlaying(player));
  ASSERT_GT(server.play(1000, 30, "zarn_null1"), 0);
  const auto module = server.moduleOf("zarn_null0");
  ASSERT_TRUE(module);
  ASSERT_TRUE(server.pactl("unload-module " + *module));
  Capture after;
  collect(child, after, 1500ms);
  ASSERT_TRUE(child.write("P"));
  EXPECT_TRUE(readUntil(child, after, 'O', 2000ms));
  EXPECT_EQ(describe(after.others), "O");
  EXPECT_TRUE(after.problems.empty()) << after.problems.front();
  const Tone tone = lastTone(after, 0.8);
  EXPECT_NEAR(tone.hz, 1000, 2);
  EXPECT_GT(tone.peak, 0.2);
  ASSERT_TRUE(child.write("Q"));
  EXPECT_EQ(child.wait(3000ms).status, 0);
  EXPECT_EQ(child.stderrText(), "");
}

TEST_P(PulseFollow, LosingTheLastOutputIsReportedOnce) {
  SoundServer server(GetParam().name, GetParam().rate, 1);
  ASSERT_GT(server.play(440, 30), 0);
  ChildProcess child(product(), {});
  Capture capture;
  startArmed(child, capture);
  collect(child, capture, 500ms);
  ASSERT_GT(capture.chunks, 0u);

  const auto module = server.moduleOf("zarn_null0");
  ASSERT_TRUE(module);
  ASSERT_TRUE(server.pactl("unload-module " + *module));
  ASSERT_TRUE(readUntil(child, capture, 'E', 5000ms)) << describe(capture.others);
  collect(child, capture, 1000ms);
  ASSERT_TRUE(child.write("P"));
  EXPECT_TRUE(readUntil(child, capture, 'O', 2000ms));
  EXPECT_EQ(countType(capture, 'E'), 1u) << errorTexts(capture);
  EXPECT_EQ(errorTexts(capture).rfind("[stream stopped with error: ", 0), 0u)
      << errorTexts(capture);

  // A new output afterwards changes nothing: the stream stopped, as the parent was told.
  ASSERT_TRUE(server.pactl("load-module module-null-sink sink_name=zarn_late"));
  Capture later;
  collect(child, later, 800ms);
  EXPECT_EQ(later.chunks, 0u);
  EXPECT_TRUE(later.others.empty()) << describe(later.others);
  ASSERT_TRUE(child.write("Q"));
  EXPECT_EQ(child.wait(3000ms).status, 0);
  EXPECT_EQ(child.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, PulseFollow, kServerKinds, kindName);

}  // namespace
}  // namespace zarn::test::pulse
