// The recorder session's state handling as one pure function: phase x event -> next phase and
// the actions to carry out. Session (session.cpp) turns what happens into events and carries the
// actions out; this file decides.
#pragma once

#include <cstdint>

namespace zarn::record {

enum class SessionPhase {
  starting,   // the helper runs; waiting for its R
  recording,  // armed; its audio goes into the file
  stopping,   // D and Q sent; waiting for it to end
  done,       // it ended, or was killed
};

enum class SessionEvent {
  running,          // an R frame
  chunk,            // a C frame
  lengthReached,    // the recording holds the asked length
  writeFailed,      // the output did not take the audio
  helperError,      // an E frame
  brokenFrames,     // the helper broke the frame protocol
  commandsRefused,  // the helper no longer reads its commands
  outputEnded,      // its output ended after a whole frame
  outputCut,        // its output ended inside a frame
  signal,           // SIGINT, SIGTERM or SIGHUP
  deadline,         // the phase's time limit passed
};

// The actions, as bits, in the order they are carried out.
enum SessionAction : std::uint32_t {
  kFail = 1u << 0,           // the event's reason becomes the outcome, if it is the first
  kShowHelper = 1u << 1,     // the helper's message is shown, not made the outcome
  kInterrupted = 1u << 2,    // the user asked to end
  kArm = 1u << 3,            // send A; audio counts from here
  kRecord = 1u << 4,         // add the chunk to the recording
  kQuit = 1u << 5,           // send D and Q, close its input, give it the quit limit
  kKill = 1u << 6,           // SIGKILL the helper; nothing more is waited for
  kKillOnRequest = 1u << 7,  // the same, because the user asked again
};

struct SessionStep {
  SessionPhase next;
  std::uint32_t actions;
};

SessionStep sessionStep(SessionPhase phase, SessionEvent event);

}  // namespace zarn::record
