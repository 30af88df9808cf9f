// The recorder session's decisions, without a helper: what must hold for every event in every
// phase, then the few pairs that a rule alone does not pin down.
#include <gtest/gtest.h>

#include <string>

#include "session_phases.h"

namespace zarn::record {
namespace {

using Phase = SessionPhase;
using Event = SessionEvent;

constexpr Phase kPhases[] = {Phase::starting, Phase::recording, Phase::stopping, Phase::done};
constexpr Event kEvents[] = {Event::running,         Event::chunk,       Event::lengthReached,
                             Event::writeFailed,     Event::helperError, Event::brokenFrames,
                             Event::commandsRefused, Event::outputEnded, Event::outputCut,
                             Event::signal,          Event::deadline};

TEST(SessionPhases, EveryEventInEveryPhaseKeepsTheRules) {
  const auto running = [](Phase p) { return p == Phase::starting || p == Phase::recording; };
  for (Phase phase : kPhases) {
    for (Event event : kEvents) {
      SCOPED_TRACE("phase " + std::to_string(int(phase)) + ", event " + std::to_string(int(event)));
      const auto [next, actions] = sessionStep(phase, event);
      EXPECT_GE(next, phase) << "phases never go back";
      EXPECT_TRUE(phase != Phase::done || actions == 0) << "done takes nothing in";
      // Q goes out exactly once: whenever a running helper's session ends.
      EXPECT_EQ((actions & kQuit) != 0, running(phase) && !running(next));
      // Only a helper told to quit is killed, and then nothing more is waited for.
      EXPECT_TRUE(!(actions & (kKill | kKillOnRequest)) ||
                  (phase == Phase::stopping && next == Phase::done));
      EXPECT_EQ((actions & kKillOnRequest) != 0,
                phase == Phase::stopping && event == Event::signal);
      EXPECT_EQ((actions & kArm) != 0, phase == Phase::starting && event == Event::running);
      EXPECT_EQ((actions & kRecord) != 0, phase == Phase::recording && event == Event::chunk);
      EXPECT_TRUE(!(actions & kRecord) || next == Phase::recording);
      // The user's signal and the asked length are how a recording ends well.
      EXPECT_FALSE((event == Event::signal || event == Event::lengthReached) && (actions & kFail));
      // After the quit, the helper's own words are shown, never the outcome.
      EXPECT_EQ((actions & kShowHelper) != 0,
                phase == Phase::stopping && event == Event::helperError);
      // Its output ending means nothing more comes, whatever the phase.
      EXPECT_TRUE((event != Event::outputEnded && event != Event::outputCut) ||
                  next == Phase::done);
    }
  }
}

TEST(SessionPhases, WhatFailsARecording) {
  // (A write failure, the helper's error and its end while recording fail the sessions in
  // test_recording.)
  for (Event event : {Event::brokenFrames, Event::commandsRefused, Event::outputCut})
    EXPECT_TRUE(sessionStep(Phase::recording, event).actions & kFail) << int(event);
  EXPECT_TRUE(sessionStep(Phase::starting, Event::deadline).actions & kFail);  // no R in time
  EXPECT_FALSE(sessionStep(Phase::recording, Event::deadline).actions);        // no length limit
  EXPECT_TRUE(sessionStep(Phase::stopping, Event::deadline).actions & kFail);  // no quit in time
  // After the quit a clean end is what was asked for; a frame cut short is not.
  EXPECT_FALSE(sessionStep(Phase::stopping, Event::outputEnded).actions & kFail);
  EXPECT_TRUE(sessionStep(Phase::stopping, Event::outputCut).actions & kFail);
  EXPECT_TRUE(sessionStep(Phase::stopping, Event::brokenFrames).actions & kFail);
  EXPECT_TRUE(sessionStep(Phase::recording, Event::signal).actions & kInterrupted);
}

}  // namespace
}  // namespace zarn::record
