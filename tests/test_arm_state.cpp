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
  ASSERT_EQ(frames().readFrame(), kRunning);
  const sim::Record before = s.service.record();
  // Disarmed -D-> Disarmed -A-> Armed -A-> Armed -D-> Disarmed -A-> Armed
  for (const bool arm : {false, true, true, false, true}) {
    arm ? s.capture.arm() : s.capture.disarm();
    EXPECT_EQ(s.capture.readArmed(), arm);
  }
  const sim::Record after = s.service.record();  // arming makes, starts and stops no stream
  EXPECT_EQ(std::tuple(after.streamsMade, after.startsAsked, after.stopsAsked),
            std::tuple(before.streamsMade, before.startsAsked, before.stopsAsked));
  s.capture.stop();
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
