// The native PipeWire service when the session manager fails: links vanish and streams sit
// unlinked without an error. The service makes its stream anew while it is unlinked and, when
// nothing is linked for 3 s, tells the parent once so it can start over: never silent forever.
#include <gtest/gtest.h>

#include "test_server_support.h"

namespace zarn::test::pulse {
namespace {

TEST(PipeWireSession, ARestartOrAnAbsenceNeverLeavesTheParentWithSilence) {
  SoundServer server(ServerKind{"pipewire", 48000, true}, 1);
  ASSERT_GT(server.play(440), 0);
  ChildProcess child(ZARN_AUDIO_PATH, {});
  Capture before, restarted;
  ASSERT_NO_FATAL_FAILURE(armAndHear(child, before, 440));

  // After a restart the stream is linked again, and audio flows; or, when the new session
  // manager links nothing (wireplumber 0.4 may leave outputs made before it unusable), the
  // parent is told within the grace period.
  ASSERT_TRUE(server.script("session-manager", "stop >/dev/null"));
  ASSERT_TRUE(server.script("session-manager", "start >/dev/null"));
  if (!collect(child, restarted, 6000ms, 'E')) {
    // Linked again, so audio flows; a session manager that then stays away is reported.
    EXPECT_LT(Clock::now() - restarted.lastChunkAt, 1000ms) << "neither audio nor an error";
    ASSERT_TRUE(server.script("session-manager", "stop >/dev/null"));
    ASSERT_TRUE(collect(child, restarted, 6000ms, 'E')) << describe(restarted.others);
  }
  EXPECT_EQ(expectReportedOnce(child, restarted).chunks, 0u);
  expectCleanQuit(child);
}

}  // namespace
}  // namespace zarn::test::pulse
