// Every phase of the record stream with every event, without a server: the pairs that do
// something are listed, every other pair must change nothing. Then the promises that hold across
// the whole table: a pending start or stop is resolved exactly once on the way to the end, a
// stream is never left behind, and a loss is reported only after a start.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/pulse/record_machine.h"

namespace zarn::platform::pulse {
namespace {

using P = RecordPhase;
using E = RecordEvent;

constexpr P kPhases[] = {P::idle,      P::starting, P::startFollowing, P::running,
                         P::following, P::stopping, P::ended};
constexpr E kEvents[] = {
    E::start,        E::stop,          E::recordReady,    E::recordFailed, E::recordTerminated,
    E::outputAdded,  E::outputRemoved, E::defaultChanged, E::moved,        E::answerStay,
    E::answerSwitch, E::answerWait,    E::answerNone,     E::settled,      E::serverLost};

// One letter per action: Drop, disconnect (X), Open, Query, Wait, s/f start succeeded/failed,
// t/u stop done/failed, r rejected call, Loss reported.
std::string letters(std::uint32_t actions) {
  const std::pair<RecordAction, char> names[] = {
      {kDropRecord, 'D'},   {kDisconnectRecord, 'X'}, {kOpenRecord, 'O'},  {kQuery, 'Q'},
      {kWaitToSettle, 'W'}, {kStartSucceeded, 's'},   {kStartFailed, 'f'}, {kStopDone, 't'},
      {kStopFailed, 'u'},   {kRejectCall, 'r'},       {kReportLoss, 'L'}};
  std::string out;
  for (const auto& [action, letter] : names)
    if (actions & action) out += letter;
  return out;
}

struct Row {
  P phase;
  E event;
  P next;
  const char* actions;
};

// Pairs that are not "stay, do nothing". A start in any phase but idle is rejected (below).
const Row kTable[] = {
    {P::idle, E::start, P::starting, "O"},
    {P::idle, E::stop, P::ended, "u"},
    {P::idle, E::serverLost, P::ended, ""},

    {P::starting, E::stop, P::ended, "Dft"},
    {P::starting, E::recordReady, P::running, "Qs"},
    {P::starting, E::recordFailed, P::ended, "Df"},
    {P::starting, E::recordTerminated, P::ended, "Df"},
    {P::starting, E::outputRemoved, P::startFollowing, "DQ"},
    {P::starting, E::moved, P::startFollowing, "DQ"},
    {P::starting, E::serverLost, P::ended, "Df"},

    {P::startFollowing, E::stop, P::ended, "ft"},
    {P::startFollowing, E::outputAdded, P::startFollowing, "Q"},
    {P::startFollowing, E::defaultChanged, P::startFollowing, "Q"},
    {P::startFollowing, E::answerStay, P::startFollowing, "W"},
    {P::startFollowing, E::answerSwitch, P::starting, "O"},
    {P::startFollowing, E::answerWait, P::startFollowing, "W"},
    {P::startFollowing, E::answerNone, P::ended, "f"},
    {P::startFollowing, E::settled, P::startFollowing, "Q"},
    {P::startFollowing, E::serverLost, P::ended, "f"},

    {P::running, E::stop, P::stopping, "X"},
    {P::running, E::recordFailed, P::following, "DQ"},
    {P::running, E::recordTerminated, P::following, "DQ"},
    {P::running, E::outputAdded, P::running, "Q"},
    {P::running, E::outputRemoved, P::following, "DQ"},
    {P::running, E::defaultChanged, P::running, "Q"},
    {P::running, E::moved, P::following, "DQ"},
    {P::running, E::answerSwitch, P::running, "DO"},
    {P::running, E::answerWait, P::running, "W"},
    {P::running, E::answerNone, P::ended, "DL"},
    {P::running, E::settled, P::running, "Q"},
    {P::running, E::serverLost, P::ended, "DL"},

    {P::following, E::stop, P::ended, "t"},
    {P::following, E::outputAdded, P::following, "Q"},
    {P::following, E::defaultChanged, P::following, "Q"},
    {P::following, E::answerStay, P::following, "W"},
    {P::following, E::answerSwitch, P::running, "O"},
    {P::following, E::answerWait, P::following, "W"},
    {P::following, E::answerNone, P::ended, "L"},
    {P::following, E::settled, P::following, "Q"},
    {P::following, E::serverLost, P::ended, "L"},

    // A stop waits for the stream's end alone: answers, moves and new defaults change nothing.
    {P::stopping, E::stop, P::stopping, "r"},
    {P::stopping, E::recordFailed, P::ended, "Du"},
    {P::stopping, E::recordTerminated, P::ended, "Dt"},
    {P::stopping, E::outputRemoved, P::ended, "Dt"},
    {P::stopping, E::serverLost, P::ended, "Du"},

    {P::ended, E::stop, P::ended, "r"},
};

TEST(RecordMachine, EveryPhaseWithEveryEvent) {
  std::map<std::pair<P, E>, const Row*> listed;
  for (const Row& row : kTable) listed[{row.phase, row.event}] = &row;
  for (P phase : kPhases) {
    for (E event : kEvents) {
      SCOPED_TRACE(testing::Message() << "phase " << int(phase) << ", event " << int(event));
      const RecordStep step = nextRecordStep({phase, 0, false}, event);
      const Row* row = listed.count({phase, event}) ? listed[{phase, event}] : nullptr;
      const bool rejectedStart = event == E::start && phase != P::idle;
      EXPECT_EQ(step.state.phase, row ? row->next : phase);
      EXPECT_EQ(letters(step.actions), row ? row->actions : rejectedStart ? "r" : "");
    }
  }
}

// A stream that keeps failing while running is given up after a few tries, with one report;
// one that runs again earns its tries back; a settled default is used by the next answer only.
TEST(RecordMachine, FailuresWhileRunningAndTheSettledDefault) {
  RecordState state{P::running, 0, false};
  for (int i = 0; i < kMaxFailedOpens; ++i) {
    state = nextRecordStep(state, E::recordFailed).state;
    ASSERT_EQ(state.phase, P::following);
    state = nextRecordStep(state, E::answerSwitch).state;
  }
  EXPECT_EQ(letters(nextRecordStep(state, E::recordFailed).actions), "DL");
  state = nextRecordStep(state, E::recordReady).state;
  EXPECT_EQ(nextRecordStep(state, E::recordFailed).state.phase, P::following);

  EXPECT_TRUE(nextRecordStep({P::following, 0, false}, E::settled).state.waited);
  EXPECT_FALSE(nextRecordStep({P::following, 0, true}, E::answerSwitch).state.waited);
  EXPECT_FALSE(nextRecordStep({P::running, 0, true}, E::answerStay).state.waited);
}

// Across the whole table, whatever order events come in.
TEST(RecordMachine, PendingCallsAreResolvedOnceAndStreamsNeverLeftBehind) {
  const auto startPending = [](P p) { return p == P::starting || p == P::startFollowing; };
  const auto hasRecord = [](P p) {
    return p == P::starting || p == P::running || p == P::stopping;
  };
  for (P phase : kPhases) {
    for (E event : kEvents) {
      SCOPED_TRACE(testing::Message() << "phase " << int(phase) << ", event " << int(event));
      const RecordStep step = nextRecordStep({phase, 0, false}, event);
      const P next = step.state.phase;
      const int startResolved =
          !!(step.actions & kStartSucceeded) + !!(step.actions & kStartFailed);
      EXPECT_EQ(startResolved, startPending(phase) && !startPending(next) ? 1 : 0);
      const int stopResolved = !!(step.actions & kStopDone) + !!(step.actions & kStopFailed);
      const bool stopCalledNow = event == E::stop && phase != P::stopping && phase != P::ended;
      EXPECT_EQ(stopResolved, (phase == P::stopping || stopCalledNow) && next == P::ended ? 1 : 0);
      EXPECT_TRUE(!hasRecord(phase) || hasRecord(next) || (step.actions & kDropRecord));
      EXPECT_TRUE(!(step.actions & kReportLoss) || !startPending(phase));
      EXPECT_TRUE(next != P::ended || !(step.actions & (kOpenRecord | kQuery | kWaitToSettle)));
    }
  }
}

}  // namespace
}  // namespace zarn::platform::pulse
