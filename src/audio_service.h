// The audio seam: everything the core needs from a platform's capture service, in the core's own
// terms. A service captures what the system plays and delivers it as blocks of audio; it is
// started once and stopped once. One implementation per capture service (one folder each under
// src/platform/); the core includes only this header and never a service's.
//
// Contract
// - start() and stop() each complete exactly once, on a thread of the service's own, never on the
//   caller's thread and never from inside the call. A completion only hands its result on; it
//   never blocks or calls back into the service.
// - start's completion carries nullopt once capture runs, or why it could not start. Before that
//   completion the service may already deliver audio (a parent that armed early hears it first).
// - Audio goes to AudioSink::deliver on the service's delivering thread(s), never on a real-time
//   thread: deliver may block (it writes a frame to a parent that may be slow). A block's bytes are
//   valid only until deliver returns.
// - AudioSink::stopped runs at most once per start, on a service thread, after start's completion
//   said the capture runs, and never after stop's completion. No deliver begins after it.
// - stop() may come at any moment, also while start has not completed (its completion may then
//   never come; the caller does not wait for it) or after a stopped(). After stop's completion no
//   deliver and no stopped begins.
// - AudioSink::forwarding() is lock-free and may be read anywhere, a real-time thread included: a
//   service may skip the work of a block nobody will forward. It is a hint; deliver decides.
// - AudioSink::deliverNow() may be called instead of deliver, on any thread, a real-time one
//   included: it never waits, and hands the block on at once or refuses it (false; the service
//   then delivers it the ordinary way). Blocks must still reach the sink in order, so a service
//   calls it only while no earlier block waits or is being delivered, and never after stopped()
//   or once stop() was called. It decides by forwarding(), not by the arm state's own read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

namespace zarn {

// The format of one block, as the C frame's header describes it.
struct AudioFormat {
  double sampleRate = 0;  // Hz; the header carries it truncated
  std::uint32_t channels = 0;
  std::uint32_t bitsPerChannel = 0;
  bool isFloat = false;
};

struct AudioBlock {
  AudioFormat format;
  std::span<const std::uint8_t> bytes;  // interleaved samples, native byte order
};

// Why a start failed. `text` is the system's description ("start failed: " goes in front), unless
// `complete` says it is the whole message of its own (the screen path's "no displays available").
struct StartFailure {
  std::string text;
  bool complete = false;
};

// The core's side: where a capture's audio and its end go.
class AudioSink {
 public:
  virtual void deliver(const AudioBlock& block) = 0;
  // The capture stopped with an error after it ran; `text` is the system's description.
  virtual void stopped(const std::string& text) = 0;
  virtual bool forwarding() const noexcept = 0;
  virtual bool deliverNow(const AudioBlock&) noexcept { return false; }

 protected:
  ~AudioSink() = default;
};

class AudioService {
 public:
  using StartDone = std::function<void(std::optional<StartFailure> failure)>;
  using StopDone = std::function<void()>;

  // Starts capturing the system's output into the sink, which outlives the service's use of it.
  virtual void start(AudioSink& sink, StartDone done) = 0;
  // Stops the capture (if any); errors from stopping are the service's own.
  virtual void stop(StopDone done) = 0;

 protected:
  ~AudioService() = default;
};

}  // namespace zarn
