// The capture backend over the sound server's client library (PulseAudio, or PipeWire through its
// pulse server), chosen in linux_service.cpp.
//
// Where things run: the connection is opened on a thread of the service's own; everything after
// that runs on the connection's main loop thread, which takes each fragment as it comes, mixes it
// to mono into a lock-free ring and never waits for the parent; the stream's delivering thread
// hands the audio to the sink and may block there (see linux_audio::Delivery).
#pragma once

#include "platform/linux/stream_service.h"

namespace zarn::platform::pulse {

class PulseService {
 public:
  // Blocks, within the connection's bound: a stream on the default output's monitor, or why
  // there is none.
  linux_audio::Opened open(AudioSink& sink);
};

}  // namespace zarn::platform::pulse
