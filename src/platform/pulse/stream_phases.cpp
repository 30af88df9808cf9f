#include "platform/pulse/stream_phases.h"

namespace zarn::platform::pulse {
namespace {

using Phase = RecordPhase;
using Event = RecordEvent;

RecordStep to(const RecordState& state, Phase phase, std::uint32_t actions = 0) {
  RecordStep step{state, actions};
  step.state.phase = phase;
  return step;
}

// Start pending, a record stream being set up on the first output.
RecordStep whileStarting(const RecordState& s, Event event) {
  switch (event) {
    case Event::recordReady:
      return to({s.phase, 0, false}, Phase::running, kStartSucceeded | kQuery);
    case Event::recordFailed:
    case Event::recordTerminated:
    case Event::serverLost:
      return to(s, Phase::ended, kDropRecord | kStartFailed);
    case Event::outputRemoved:
    case Event::moved:  // the first output went before it could be heard: go where sound goes now
      return to(s, Phase::startFollowing, kDropRecord | kQuery);
    case Event::stop:
      return to(s, Phase::ended, kDropRecord | kStartFailed | kStopDone);
    default:
      return {s, 0};  // the running stream asks for the outputs once it runs
  }
}

// No record stream, asking where to go next; `started` says whether start has completed.
RecordStep whileFollowing(const RecordState& s, Event event, bool started) {
  const Phase next = started ? Phase::running : Phase::starting;
  const std::uint32_t endWith = started ? kReportLoss : kStartFailed;
  switch (event) {
    case Event::answerSwitch:
      return to({s.phase, s.failedOpens, false}, next, kOpenRecord);
    case Event::answerStay:  // nothing is recorded, so staying means waiting
    case Event::answerWait:
      return {s, kWaitToSettle};
    case Event::answerNone:
    case Event::serverLost:
      return to(s, Phase::ended, endWith);
    case Event::settled:
      return {{s.phase, s.failedOpens, true}, kQuery};
    case Event::outputAdded:
    case Event::defaultChanged:
      return {s, kQuery};
    case Event::stop:
      return to(s, Phase::ended, (started ? 0u : std::uint32_t{kStartFailed}) | kStopDone);
    default:
      return {s, 0};
  }
}

// Started, a record stream alive.
RecordStep whileRunning(const RecordState& s, Event event) {
  switch (event) {
    case Event::recordReady:
      return {{s.phase, 0, s.waited}, 0};
    case Event::recordFailed:
    case Event::recordTerminated:
      if (s.failedOpens + 1 > kMaxFailedOpens)
        return to(s, Phase::ended, kDropRecord | kReportLoss);
      return to({s.phase, s.failedOpens + 1, s.waited}, Phase::following, kDropRecord | kQuery);
    case Event::outputRemoved:  // not every server ends a stream whose output is gone
    case Event::moved:          // whatever it records now is not ours to forward
      return to(s, Phase::following, kDropRecord | kQuery);
    case Event::outputAdded:
    case Event::defaultChanged:
      return {s, kQuery};
    case Event::answerStay:
      return {{s.phase, s.failedOpens, false}, 0};
    case Event::answerSwitch:
      return {{s.phase, s.failedOpens, false}, kDropRecord | kOpenRecord};
    case Event::answerWait:
      return {s, kWaitToSettle};
    case Event::answerNone:
    case Event::serverLost:
      return to(s, Phase::ended, kDropRecord | kReportLoss);
    case Event::settled:
      return {{s.phase, s.failedOpens, true}, kQuery};
    case Event::stop:  // a stream that cannot be disconnected ends at once (recordTerminated)
      return to(s, Phase::stopping, kDisconnectRecord);
    default:
      return {s, 0};
  }
}

// Stop pending: only the stream's end, or the end of what it recorded, matters now.
RecordStep whileStopping(const RecordState& s, Event event) {
  switch (event) {
    case Event::recordTerminated:
    case Event::outputRemoved:  // a server may never end a stream whose output is gone
      return to(s, Phase::ended, kDropRecord | kStopDone);
    case Event::recordFailed:
    case Event::serverLost:
      return to(s, Phase::ended, kDropRecord | kStopFailed);
    case Event::stop:
      return {s, kRejectCall};
    default:
      return {s, 0};
  }
}

}  // namespace

RecordStep nextRecordStep(const RecordState& state, RecordEvent event) {
  if (event == Event::start && state.phase != Phase::idle) return {state, kRejectCall};
  switch (state.phase) {
    case Phase::idle:
      if (event == Event::start) return to(state, Phase::starting, kOpenRecord);
      if (event == Event::stop) return to(state, Phase::ended, kStopFailed);  // nothing to stop
      if (event == Event::serverLost) return to(state, Phase::ended);
      return {state, 0};
    case Phase::starting:
      return whileStarting(state, event);
    case Phase::startFollowing:
      return whileFollowing(state, event, false);
    case Phase::running:
      return whileRunning(state, event);
    case Phase::following:
      return whileFollowing(state, event, true);
    case Phase::stopping:
      return whileStopping(state, event);
    case Phase::ended:
      return {state, event == Event::stop ? kRejectCall : 0u};
  }
  return {state, 0};
}

RecordEvent answerEvent(FollowStep::Kind kind) {
  switch (kind) {
    case FollowStep::Kind::stay:
      return Event::answerStay;
    case FollowStep::Kind::switchTo:
      return Event::answerSwitch;
    case FollowStep::Kind::waitForDefault:
      return Event::answerWait;
    case FollowStep::Kind::noOutput:
      break;
  }
  return Event::answerNone;
}

}  // namespace zarn::platform::pulse
