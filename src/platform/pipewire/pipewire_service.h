// The capture backend over PipeWire's own protocol, chosen in linux_service.cpp when a PipeWire
// daemon answers and has an output.
//
// Where things run: the connection is opened on a thread of the service's own; the stream's state
// is kept on the connection's loop thread; PipeWire's real-time thread only mixes each buffer to
// mono into a lock-free ring and wakes the stream's delivering thread, which hands the audio to
// the sink one piece of at most 20 ms at a time. That thread can block when the parent stops
// reading; the ring then holds what comes meanwhile (see linux_audio::Delivery). A stop that
// finds a delivery blocked waits for it only briefly (see MonitorStream).
#pragma once

#include <chrono>
#include <memory>
#include <mutex>

#include "platform/linux/stream_service.h"

namespace zarn::platform::pipewire {

class Connection;

class PipeWireService {
 public:
  // How long opening waits for the daemon.
  static constexpr std::chrono::milliseconds kOpenBound{5000};

  // A connection already open (the one that found the daemon) for the next open() to use rather
  // than opening its own.
  void adopt(std::shared_ptr<Connection> connection);
  // Blocks, within kOpenBound: a stream on the default output's monitor, or why there is none.
  linux_audio::Opened open(AudioSink& sink);

 private:
  std::mutex adoptedAccess_;
  std::shared_ptr<Connection> adopted_;
};

}  // namespace zarn::platform::pipewire
