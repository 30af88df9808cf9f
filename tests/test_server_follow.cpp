// Capture follows whatever the computer plays: a new default output, or the next output when the
// captured one goes away, without a word to the parent; only the last output going is reported.
#include <gtest/gtest.h>

#include <tuple>

#include "test_server_support.h"

namespace zarn::test::pulse {
namespace {

class ServerFollow : public ::testing::TestWithParam<ServerKind> {};

// Once capture has moved (the rate says so; a loaded machine may take a while), the audio of the
// next 1.5 s is the tone, and a ping is all else the parent gets.
void expectTone(ChildProcess& child, unsigned hz, std::uint32_t rate) {
  Capture after;
  for (const auto end = Clock::now() + 5000ms; after.lastRate != rate && Clock::now() < end;)
    collect(child, after, 100ms);
  collect(child, after, 1500ms);
  EXPECT_TRUE(pinged(child, after));
  EXPECT_EQ(describe(after.others), "O");
  EXPECT_EQ(after.lastRate, rate);
  EXPECT_TRUE(playsTone(after, 0.8, hz));
}

// One player at a time, started after each switch: a server that moves players along with the
// default (PulseAudio does) must not make a stream that stayed behind look right. The third output
// runs at a rate of its own, as a headset next to the speakers may. Then the captured output goes
// and capture moves on; losing the last output is reported once. (That the end is final is the
// state tables'.)
TEST_P(ServerFollow, FollowsTheDefaultAtItsOwnRateAndMovesOnWhenTheCapturedOutputGoes) {
  SoundServer server(GetParam(), 2);
  ASSERT_TRUE(server.pactl("load-module module-null-sink sink_name=zarn_other rate=22050"));
  pid_t player = server.play(440);
  ASSERT_GT(player, 0);
  ChildProcess child(ZARN_AUDIO_PATH, {});
  Capture before, last;
  ASSERT_NO_FATAL_FAILURE(armAndHear(child, before, 440));
  EXPECT_EQ(before.rate, GetParam().rate);
  const std::tuple<std::string, unsigned, unsigned> moves[] = {
      {"zarn_other", 1000, 22050}, {"zarn_null0", 660, GetParam().rate}};
  for (const auto& [output, hz, rate] : moves) {
    SCOPED_TRACE(output);
    ASSERT_TRUE(server.stopPlaying(player));
    ASSERT_TRUE(server.pactl("set-default-sink " + output));
    ASSERT_GT(player = server.play(hz, output), 0);
    ASSERT_NO_FATAL_FAILURE(expectTone(child, hz, rate));
  }
  ASSERT_TRUE(server.stopPlaying(player));
  ASSERT_GT(server.play(1000, "zarn_null1"), 0);
  ASSERT_TRUE(server.unload("zarn_other"));
  ASSERT_TRUE(server.unload("zarn_null0"));
  ASSERT_NO_FATAL_FAILURE(expectTone(child, 1000, GetParam().rate));

  ASSERT_TRUE(server.unload("zarn_null1"));
  ASSERT_TRUE(collect(child, last, 5000ms, 'E')) << describe(last.others);
  expectReportedOnce(child, last);
  expectCleanQuit(child);
}

INSTANTIATE_TEST_SUITE_P(Servers, ServerFollow, kServerKinds, ::testing::PrintToStringParamName());

}  // namespace
}  // namespace zarn::test::pulse
