// The native PipeWire service when the session manager fails: links vanish and streams sit
// unlinked without an error. The service makes its stream anew while it is unlinked and, when
// nothing is linked for 3 s, tells the parent once so it can start over: never silent forever.
#include <gtest/gtest.h>

#include "test_pulse_support.h"

namespace zarn::test::pulse {
namespace {

TEST(PipeWireSession, ARestartOrAnAbsenceNeverLeavesTheParentWithSilence) {
  SoundServer server(ServerKind{"pipewire", 48000, true}, 1);
  ASSERT_GT(server.play(440), 0);
  ChildProcess child(ZARN_AUDIO_PATH, {});
  Capture before, restarted, tail, gone;
  ASSERT_TRUE(child.write("A"));
  ASSERT_TRUE(collect(child, before, 5000ms, 'R')) << describe(before.others);
  collect(child, before, 1000ms);
  EXPECT_TRUE(playsTone(before, 0.5, 440));

  // After a restart the stream is linked again, and audio flows; or, when the new session
  // manager links nothing (wireplumber 0.4 may leave outputs made before it unusable), the
  // parent is told within the grace period.
  ASSERT_TRUE(server.sessionManager("stop"));
  ASSERT_TRUE(server.sessionManager("start"));
  bool told = collect(child, restarted, 5000ms, 'E');
  if (!told) {
    told = collect(child, tail, 1000ms, 'E');
    EXPECT_TRUE(told || tail.chunks > 0) << "neither audio nor an error after the restart";
  }
  if (!told) {  // linked again: a session manager that stays away is reported
    ASSERT_TRUE(server.sessionManager("stop"));
    ASSERT_TRUE(collect(child, gone, 6000ms, 'E')) << describe(gone.others);
  }
  collect(child, gone, 1000ms);  // a second report would come now
  ASSERT_TRUE(child.write("P"));
  EXPECT_TRUE(collect(child, gone, 2000ms, 'O'));
  EXPECT_THAT(describe(restarted.others) + describe(tail.others) + describe(gone.others),
              ::testing::MatchesRegex(kStopped + " ?O"));
  EXPECT_EQ(gone.chunks, 0u);
  expectCleanQuit(child);
}

}  // namespace
}  // namespace zarn::test::pulse
