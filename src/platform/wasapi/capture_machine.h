// The loopback capture's state handling with no Windows in it: what the service does next, given
// where it is and what just happened. The control thread turns what it sees into an Event and
// carries out the Step's actions in the order of the Action values.
#pragma once

#include <cstdint>

#include "platform/step_driver.h"

namespace zarn::platform::wasapi {

enum class Phase {
  idle,     // made, not started
  opening,  // started; the first endpoint is being opened; the start completion is pending
  running,  // capturing the default render endpoint
  moving,   // the captured endpoint changed or went away; the new default is being opened
  ended,    // stopped, failed or lost; nothing is captured or retried again
};

enum class Event {
  start,           // AudioService::start
  stop,            // AudioService::stop
  opened,          // an endpoint's loopback stream runs
  noEndpoint,      // there is no render endpoint to open
  openFailed,      // the default endpoint could not be opened
  defaultChanged,  // the default render endpoint (console role) is another one now
  endpointLost,    // the captured endpoint was removed, disabled or invalidated
  streamFailed,    // the running stream failed with another error
};

// Bits; carried out in this order.
enum Action : std::uint32_t {
  closeStream = 1u << 0,
  openDefault = 1u << 1,  // gives opened, noEndpoint or openFailed
  completeStart = 1u << 2,
  failStart = 1u << 3,   // the start completion with the reason
  reportLoss = 1u << 4,  // AudioSink::stopped, once
  completeStop = 1u << 5,
  refuseStart = 1u << 6,  // a second start: its completion with an error
};

// The next phase and the actions, as the step driver takes them.
using Step = Decision<Phase>;

Step nextStep(Phase phase, Event event);

}  // namespace zarn::platform::wasapi
