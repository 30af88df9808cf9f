// What the record stream does when something happens, as one pure function: the phase it is in
// and the event give the next phase and the actions to carry out. The libpulse callbacks only
// translate what the library says into events and carry the actions out (record_stream.cpp), so
// every answer that comes late, after a stop or during a start, meets a decision made here.
#pragma once

#include <cstdint>
#include <string>

#include "platform/pulse/outputs.h"

namespace zarn::platform::pulse {

enum class RecordPhase {
  idle,            // made, not started
  starting,        // start pending; the first record stream is being set up
  startFollowing,  // start pending; that stream's output went away, asking where to go
  running,         // started; a record stream is alive (set up or being set up)
  following,       // started; no record stream, asking the server where to go
  stopping,        // stop pending; the record stream is being disconnected
  ended,           // stopped, failed or lost: nothing more is recorded or reported
};

enum class RecordEvent {
  start,
  stop,
  recordReady,       // the live record stream runs
  recordFailed,      // ... failed
  recordTerminated,  // ... ended as asked
  outputAdded,
  outputRemoved,   // the output being recorded
  defaultChanged,  // the server's default output may differ
  moved,           // the live record stream was moved to another source
  answerStay,      // the server's answer about its outputs, as nextFollowStep read it
  answerSwitch,
  answerWait,
  answerNone,
  settled,  // the default output had its time to settle
  serverLost,
};

// Actions, carried out in this order.
enum RecordAction : std::uint32_t {
  kDropRecord = 1u << 0,        // forget the live record stream, callbacks first
  kDisconnectRecord = 1u << 1,  // ask the server to end it; its end finishes the stop
  kOpenRecord = 1u << 2,        // a record stream on the output chosen last
  kQuery = 1u << 3,             // ask the server for its outputs and default output
  kWaitToSettle = 1u << 4,      // ask again after a short while
  kStartSucceeded = 1u << 5,    // the pending start's completion, without an error
  kStartFailed = 1u << 6,       // ... with the reason at hand
  kStopDone = 1u << 7,          // the pending stop's completion, without an error
  kStopFailed = 1u << 8,        // ... with the reason at hand
  kRejectCall = 1u << 9,        // the start or stop just called completes with a state error
  kReportLoss = 1u << 10,       // the stream stopped with an error: tell the delegate, once
};

struct RecordState {
  RecordPhase phase = RecordPhase::idle;
  int failedOpens = 0;  // record streams that failed one after the other while running
  bool waited = false;  // the default was given its time to settle
};

struct RecordStep {
  RecordState state;
  std::uint32_t actions = 0;
};

// Record streams that may fail one after the other while running before capture gives up.
inline constexpr int kMaxFailedOpens = 3;

RecordStep nextRecordStep(const RecordState& state, RecordEvent event);

// The answer to a query as an event.
RecordEvent answerEvent(FollowStep::Kind kind);

}  // namespace zarn::platform::pulse
