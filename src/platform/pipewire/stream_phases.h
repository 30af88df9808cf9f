// The capture stream's state handling with no server in it: what the stream does next, given
// where it is and what just happened. The callbacks only turn what they see into an Event and
// carry out the Step's actions, in the order of the Action values.
#pragma once

#include <cstdint>

#include "platform/step_driver.h"

namespace zarn::platform::pipewire {

enum class Phase {
  idle,       // made, not started
  starting,   // started; no output's monitor linked yet; the start completion is pending
  running,    // linked to an output's monitor and delivering
  relinking,  // started, but unlinked for now: the session manager is given time to relink
  ended,      // stopped, failed or lost; nothing is delivered or retried again
};

enum class Event {
  start,           // startCapture
  stop,            // stopCapture
  linked,          // the stream flows, linked only to an output's monitor
  unlinked,        // the stream is paused, has no links, or is linked to something else
  formatChanged,   // the default output's rate or channels are not the stream's any more
  streamFailed,    // the stream could not be made or reported an error
  retryDue,        // unlinked for a while: a new stream may get linked where the old was not
  deadlinePassed,  // nothing could be linked for the whole grace period
  connectionLost,  // the daemon is gone
};

// Bits; carried out in this order.
enum Action : std::uint32_t {
  stopForwarding = 1u << 0,
  dropStream = 1u << 1,
  openStream = 1u << 2,
  armTimers = 1u << 3,  // the retry timer and the deadline
  cancelTimers = 1u << 4,
  startForwarding = 1u << 5,
  completeStart = 1u << 6,  // without an error
  failStart = 1u << 7,      // the start completion, with the reason
  reportLoss = 1u << 8,     // streamDidStopWithError, once
  completeStop = 1u << 9,   // without an error
  refuseStop = 1u << 10,    // the stop completion, with "nothing is capturing"
  refuseStart = 1u << 11,   // the start completion of a second start, with an error
};

// The next phase and the actions, as the step driver takes them.
using Step = Decision<Phase>;

Step nextStep(Phase phase, Event event);

}  // namespace zarn::platform::pipewire
