#include "platform/pipewire/stream_phases.h"

namespace zarn::platform::pipewire {
namespace {

// Every way out of a started stream drops it and resolves what is pending, exactly once.
Step leave(Phase phase, std::uint32_t resolution) {
  const std::uint32_t drop = stopForwarding | dropStream | cancelTimers;
  if (phase == Phase::starting)
    return {Phase::ended, drop | failStart | (resolution & ~reportLoss)};
  return {Phase::ended, drop | resolution};
}

Step whileStarted(Phase phase, Event event) {
  const bool starting = phase == Phase::starting;
  switch (event) {
    case Event::start:
      return {phase, refuseStart};
    case Event::stop:
      return leave(phase, completeStop);
    case Event::linked:
      if (starting) return {Phase::running, cancelTimers | startForwarding | completeStart};
      if (phase == Phase::relinking) return {Phase::running, cancelTimers | startForwarding};
      return {phase, 0};
    case Event::unlinked:
      if (phase == Phase::running) return {Phase::relinking, stopForwarding | armTimers};
      return {phase, 0};
    case Event::formatChanged:
      if (starting) return {phase, dropStream | openStream};
      return {Phase::relinking, stopForwarding | dropStream | openStream |
                                    (phase == Phase::running ? armTimers : 0u)};
    case Event::streamFailed:
      // A new stream comes with the next retry, so a stream that fails at once cannot spin.
      if (starting) return {phase, dropStream};
      return {Phase::relinking,
              stopForwarding | dropStream | (phase == Phase::running ? armTimers : 0u)};
    case Event::retryDue:
      if (phase == Phase::running) return {phase, 0};
      return {phase, dropStream | openStream};
    case Event::deadlinePassed:
      if (phase == Phase::running) return {phase, 0};
      return leave(phase, reportLoss);
    case Event::connectionLost:
      return leave(phase, reportLoss);
  }
  return {phase, 0};
}

}  // namespace

Step nextStep(Phase phase, Event event) {
  switch (phase) {
    case Phase::idle:
      if (event == Event::start) return {Phase::starting, openStream | armTimers};
      if (event == Event::stop) return {Phase::ended, refuseStop};
      if (event == Event::connectionLost) return {Phase::ended, 0};
      return {phase, 0};
    case Phase::ended:
      if (event == Event::start) return {phase, refuseStart};
      if (event == Event::stop) return {phase, refuseStop};
      return {phase, 0};
    case Phase::starting:
    case Phase::running:
    case Phase::relinking:
      return whileStarted(phase, event);
  }
  return {phase, 0};
}

}  // namespace zarn::platform::pipewire
