// What the scripted capture service does: the outcome of each platform operation, the displays it
// finds and the deliveries it makes once capture runs. Parsed from command-line tokens by
// parseScript (the syntax is described in script.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/screencapturekit/screen_capture_api.h"

namespace zarn::platform::simulated {

// The outcome of one platform operation. Not every operation can hang or come back empty.
struct Step {
  enum class Outcome { ok, fail, hang, none };
  Outcome outcome = Outcome::ok;
  std::string description;  // the error's text when it fails; may be empty
  int delayMs = 0;          // how long the service waits before it runs the completion
};

// One sample buffer the stream hands to its audio output.
struct Delivery {
  enum class Content { counter, sine, zero };
  // What is wrong with the buffer, if anything; each fault shows where the platform would show it.
  enum class Fault {
    none,
    notAudio,       // delivered with the screen output type
    invalid,        // the buffer reports itself invalid
    notReady,       // its data is not ready
    noFormat,       // it has no format description
    noDescription,  // its format has no stream description
    listFail,       // the buffer-list call fails (after retaining a block buffer)
    nullData,       // the list's first buffer has no data pointer
    zeroBytes,      // the list's first buffer has 0 bytes
    twoBuffers,     // the audio comes in two buffers, so the one-buffer list call fails
  };

  StreamDescription format{48000.0, kAudioFormatFlagIsFloat, 1, 32};
  std::uint32_t bytes = 1024;
  Content content = Content::counter;
  double sineHz = 440.0;
  Fault fault = Fault::none;
  int stallMs = 0;  // nothing is delivered for this long before this one (beyond the pace)
};

// The status the service returns for a list call that fails for any other reason.
inline constexpr std::int32_t kListFailed = -12731;

// The platform stopping a running stream with an error.
struct Halt {
  enum class When { afterMs, afterDeliveries };
  When when = When::afterMs;
  std::uint64_t count = 0;  // milliseconds after capture started, or deliveries made before it
  std::string description;
};

inline constexpr int kMaxDeliveryThreads = 64;

struct Script {
  int displays = 1;
  Step query;   // ok, fail, hang or none (neither content nor error)
  Step output;  // ok or fail
  Step start;   // ok, fail or hang
  Step stop;    // ok or fail (completes with an error)
  std::optional<Halt> halt;
  std::vector<Delivery> deliveries;  // played in order once capture runs
  int paceMs = 10;                   // between two deliveries; 0 = as fast as the threads go
  std::int64_t repeat = 1;           // times the sequence is played; kForever = until stopped
  int threads = 4;                   // delivery threads; at least 2, at most kMaxDeliveryThreads
  std::string recordPath;            // where the record is appended; empty = nowhere

  static constexpr std::int64_t kForever = -1;
};

// Parses the tokens (argv without the program name). On failure returns nothing and sets error.
std::optional<Script> parseScript(const std::vector<std::string>& tokens, std::string& error);

}  // namespace zarn::platform::simulated
