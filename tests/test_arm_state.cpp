// The capture object's arm state: the flag, its queue, and that arming touches nothing else.
#include <atomic>
#include <thread>

#include "sim_fixture.h"

namespace zarn::test {
namespace {

using ArmState = SimTest;

TEST_F(ArmState, FollowsTheTransitionTableWithoutTouchingTheStream) {
  Sim s({});
  EXPECT_FALSE(s.capture.readArmed());
  s.capture.start();
  ASSERT_EQ(frames().readFrame(), emptyFrame(kFrameRunning));
  const sim::Record before = s.service.record();
  // Disarmed -D-> Disarmed -A-> Armed -A-> Armed -D-> Disarmed -A-> Armed
  const std::pair<bool, bool> steps[] = {
      {false, false}, {true, true}, {true, true}, {false, false}, {true, true}};
  for (const auto& [arm, armedAfter] : steps) {
    arm ? s.capture.arm() : s.capture.disarm();
    EXPECT_EQ(s.capture.readArmed(), armedAfter);
  }
  const sim::Record after = s.service.record();
  EXPECT_EQ(after.startsAsked, before.startsAsked);
  EXPECT_EQ(after.stopsAsked, before.stopsAsked);
  EXPECT_EQ(after.streamsMade, before.streamsMade);
  EXPECT_FALSE(frames().readFrame(milliseconds(150))) << "arming is never acknowledged";
  s.capture.stop();
}

TEST_F(ArmState, FailedStartAndStopWithoutStreamLeaveTheFlag) {
  sim::Script script;
  script.query.outcome = sim::Step::Outcome::fail;
  script.query.description = "no content";
  Sim s(std::move(script));
  s.capture.arm();
  s.capture.start();
  EXPECT_EQ(frames().readFrame(), errorFrame("start failed: no content"));
  EXPECT_TRUE(s.capture.readArmed()) << "a failed start must not clear the flag";
  s.capture.stop();
  EXPECT_TRUE(s.capture.readArmed());
  EXPECT_EQ(s.service.record().stopsAsked, 0);
}

TEST_F(ArmState, ChangeIsSeenByEveryReadThatStartsAfterItReturned) {
  // Writer and reader are different threads, as the command reader and the delivery threads
  // are; under the thread sanitizer this also checks that every access goes through the queue.
  Sim s({});
  std::atomic<int> changed{0}, checked{0}, wrong{0};
  constexpr int kRounds = 2000;
  std::thread reader([&] {
    for (int round = 1; round <= kRounds; ++round) {
      while (changed.load() < round) std::this_thread::yield();
      if (s.capture.readArmed() != (round % 2 == 1)) ++wrong;
      checked.store(round);
    }
  });
  for (int round = 1; round <= kRounds; ++round) {
    round % 2 == 1 ? s.capture.arm() : s.capture.disarm();
    changed.store(round);
    while (checked.load() < round) std::this_thread::yield();
  }
  reader.join();
  EXPECT_EQ(wrong, 0);
}

}  // namespace
}  // namespace zarn::test
