// The decisions about the sound server's outputs that need no connection: which outputs count as
// displays, in which order, and which one a running capture should record next.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::platform::pulse {

// What the service keeps of one output (a sink) and its monitor.
struct Output {
  std::string name;
  std::uint32_t index = 0;
  std::string monitorName;     // empty when the output has no monitor
  std::uint32_t rate = 0;      // the output's own sample rate
  std::uint32_t channels = 0;  // and its own channel count
};

// The outputs whose monitor can be recorded, the default output first and the others in the
// server's order.
std::vector<Output> recordableOutputs(const std::vector<Output>& sinks,
                                      std::string_view defaultName);

// What a running capture does after the outputs or the default output changed.
struct FollowStep {
  enum class Kind {
    stay,            // keep recording the current output
    switchTo,        // record `output` instead
    waitForDefault,  // the default names no listed output yet; ask again shortly
    noOutput,        // nothing is left to record
  };
  Kind kind = Kind::stay;
  Output output;  // for switchTo
};

// `current` is the output being recorded while its record stream is alive, or nothing.
// `waited` says the default was already given its time to settle: a server that removed its
// default output may name it for a moment after it is gone, and then the first output is taken.
FollowStep nextFollowStep(const std::vector<Output>& sinks, std::string_view defaultName,
                          const std::optional<Output>& current, bool waited);

// The fragment size to ask for: whole frames of 32-bit samples, at least one frame, about
// `milliseconds` of audio.
std::uint32_t fragmentBytes(std::uint32_t rate, std::uint32_t channels, std::uint32_t milliseconds);

}  // namespace zarn::platform::pulse
