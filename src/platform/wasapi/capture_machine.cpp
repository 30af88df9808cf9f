#include "platform/wasapi/capture_machine.h"

namespace zarn::platform::wasapi {
namespace {

// An endpoint that changes or goes away is followed to the new default without a word; only
// when none can be opened does the parent hear of it, once.
Step whileStarted(Phase phase, Event event) {
  const bool opening = phase == Phase::opening;
  switch (event) {
    case Event::start:
      return {phase, refuseStart};
    case Event::stop:
      return {Phase::ended, closeStream | completeStop | (opening ? failStart : 0u)};
    case Event::opened:
      if (phase == Phase::running) return {phase, 0};
      return {Phase::running, opening ? completeStart : 0u};
    case Event::noEndpoint:
    case Event::openFailed:
      if (phase == Phase::running) return {phase, 0};
      return {Phase::ended, closeStream | (opening ? failStart : reportLoss)};
    case Event::defaultChanged:
    case Event::endpointLost:
      // While opening, the open under way already looks for the default as it is now.
      if (opening) return {phase, 0};
      return {Phase::moving, closeStream | openDefault};
    case Event::streamFailed:
      if (opening) return {phase, 0};
      return {Phase::ended, closeStream | reportLoss};
  }
  return {phase, 0};
}

}  // namespace

Step nextStep(Phase phase, Event event) {
  switch (phase) {
    case Phase::idle:
      if (event == Event::start) return {Phase::opening, openDefault};
      if (event == Event::stop) return {Phase::ended, completeStop};
      return {phase, 0};
    case Phase::ended:
      if (event == Event::start) return {phase, refuseStart};
      if (event == Event::stop) return {phase, completeStop};
      return {phase, 0};
    case Phase::opening:
    case Phase::running:
    case Phase::moving:
      return whileStarted(phase, event);
  }
  return {phase, 0};
}

}  // namespace zarn::platform::wasapi
