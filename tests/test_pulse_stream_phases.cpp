// The libpulse record stream's state handling, every phase with every event, and what holds
// across the whole table, without a server; then the count of failed streams and the settled
// default, which the table does not see.
#include <gtest/gtest.h>

#include "platform/pulse/stream_phases.h"
#include "state_table.h"

namespace zarn::platform::pulse {
namespace {

// One letter per action, in bit order: Drop, disconnect (X), Open, Query, Wait, s/f start
// succeeded/failed, t/u stop done/failed, r rejected call, Loss reported. A stop waits for the
// stream's end alone: answers, moves and new defaults change nothing.
constexpr const char* kTable = R"(
  idle            start                                         > starting        O
  idle            stop                                          > ended           u
  idle            serverLost                                    > ended
  starting        stop                                          > ended           Dft
  starting        recordReady                                   > running         Qs
  starting        recordFailed recordTerminated serverLost      > ended           Df
  starting        outputRemoved moved                           > startFollowing  DQ
  startFollowing  stop                                          > ended           ft
  startFollowing  outputAdded defaultChanged settled            > startFollowing  Q
  startFollowing  answerStay answerWait                         > startFollowing  W
  startFollowing  answerSwitch                                  > starting        O
  startFollowing  answerNone serverLost                         > ended           f
  running         stop                                          > stopping        X
  running         recordFailed recordTerminated outputRemoved moved > following   DQ
  running         outputAdded defaultChanged settled            > running         Q
  running         answerSwitch                                  > running         DO
  running         answerWait                                    > running         W
  running         answerNone serverLost                         > ended           DL
  following       stop                                          > ended           t
  following       outputAdded defaultChanged settled            > following       Q
  following       answerStay answerWait                         > following       W
  following       answerSwitch                                  > running         O
  following       answerNone serverLost                         > ended           L
  stopping        stop                                          > stopping        r
  stopping        recordFailed serverLost                       > ended           Du
  stopping        recordTerminated outputRemoved                > ended           Dt
  ended           stop                                          > ended           r
)";

using enum RecordPhase;
using enum RecordEvent;

// What the table must keep, so a change to it is checked too: a pending start or stop is
// resolved exactly once, a record stream is never left behind, a loss is reported only after the
// start, and nothing is opened or asked once ended.
TEST(RecordMachine, EveryPhaseWithEveryEvent) {
  const auto startPending = [](RecordPhase p) { return p == starting || p == startFollowing; };
  const auto hasRecord = [](RecordPhase p) {
    return p == starting || p == running || p == stopping;
  };
  test::expectEveryPair<RecordPhase, RecordEvent>(
      kTable, "idle starting startFollowing running following stopping ended",
      "start stop recordReady recordFailed recordTerminated outputAdded outputRemoved "
      "defaultChanged moved answerStay answerSwitch answerWait answerNone settled serverLost",
      "DXOQWsfturL", [&](RecordPhase phase, RecordEvent event) {
        const RecordStep step = nextRecordStep({phase, 0, false}, event);
        const RecordPhase next = step.state.phase;
        const auto has = [&](std::uint32_t action) { return int(!!(step.actions & action)); };
        EXPECT_EQ(has(kStartSucceeded) + has(kStartFailed),
                  int(startPending(phase) && !startPending(next)));
        const bool stopCalledNow = event == stop && phase != stopping && phase != ended;
        EXPECT_EQ(has(kStopDone) + has(kStopFailed),
                  int((phase == stopping || stopCalledNow) && next == ended));
        EXPECT_TRUE(!hasRecord(phase) || hasRecord(next) || has(kDropRecord));
        EXPECT_TRUE(!has(kReportLoss) || !startPending(phase));
        EXPECT_TRUE(next != ended || !(step.actions & (kOpenRecord | kQuery | kWaitToSettle)));
        return std::pair(next, step.actions);
      });
}

// A stream that keeps failing while running is given up after a few tries, with one report;
// one that runs again earns its tries back; a settled default is used by the next answer only.
TEST(RecordMachine, FailuresWhileRunningAndTheSettledDefault) {
  RecordState state{running, 0, false};
  for (int i = 0; i < kMaxFailedOpens; ++i) {
    state = nextRecordStep(state, recordFailed).state;
    ASSERT_EQ(state.phase, following);
    state = nextRecordStep(state, answerSwitch).state;
  }
  EXPECT_EQ(nextRecordStep(state, recordFailed).actions, kDropRecord | kReportLoss);
  state = nextRecordStep(state, recordReady).state;
  EXPECT_EQ(nextRecordStep(state, recordFailed).state.phase, following);
  EXPECT_TRUE(nextRecordStep({following, 0, false}, settled).state.waited);
  EXPECT_FALSE(nextRecordStep({following, 0, true}, answerSwitch).state.waited);
  EXPECT_FALSE(nextRecordStep({running, 0, true}, answerStay).state.waited);
}

}  // namespace
}  // namespace zarn::platform::pulse
