#include "session_phases.h"

namespace zarn::record {
namespace {

using Phase = SessionPhase;
using Event = SessionEvent;

// Starting and recording: the helper is asked to quit on every end, the outcome failed unless the
// recording ended as asked (its length, or the user's signal).
SessionStep whileRunning(Phase phase, Event event) {
  switch (event) {
    case Event::running:
      return phase == Phase::starting ? SessionStep{Phase::recording, kArm} : SessionStep{phase, 0};
    case Event::chunk:
      return {phase, phase == Phase::recording ? kRecord : 0u};
    case Event::lengthReached:
      return {Phase::stopping, kQuit};
    case Event::signal:
      return {Phase::stopping, kInterrupted | kQuit};
    case Event::outputEnded:
    case Event::outputCut:
      return {Phase::done, kFail | kQuit};  // nothing more can come; Q in case it still runs
    case Event::deadline:
      // Only the start has a limit; a recording runs as long as it is asked to.
      return phase == Phase::starting ? SessionStep{Phase::stopping, kFail | kQuit}
                                      : SessionStep{phase, 0};
    case Event::writeFailed:
    case Event::helperError:
    case Event::brokenFrames:
    case Event::commandsRefused:
      return {Phase::stopping, kFail | kQuit};
  }
  return {phase, 0};
}

// Stopping: the outcome is settled but for what the helper does on its way out.
SessionStep whileStopping(Event event) {
  switch (event) {
    case Event::helperError:
      return {Phase::stopping, kShowHelper};  // a late error changes nothing about the file
    case Event::brokenFrames:
      return {Phase::stopping, kFail};
    case Event::outputEnded:
      return {Phase::done, 0};
    case Event::outputCut:
      return {Phase::done, kFail};
    case Event::signal:
      return {Phase::done, kKillOnRequest};
    case Event::deadline:
      return {Phase::done, kFail | kKill};
    default:
      return {Phase::stopping, 0};
  }
}

}  // namespace

SessionStep sessionStep(SessionPhase phase, SessionEvent event) {
  switch (phase) {
    case Phase::starting:
    case Phase::recording:
      return whileRunning(phase, event);
    case Phase::stopping:
      return whileStopping(event);
    case Phase::done:
      break;
  }
  return {Phase::done, 0};
}

}  // namespace zarn::record
