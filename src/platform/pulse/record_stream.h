// The capture stream over the sound server: a record stream on the chosen output's monitor that
// follows the default output for as long as it runs.
#pragma once

#include <memory>

#include "audio_service.h"
#include "platform/linux/stream_service.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/outputs.h"

namespace zarn::platform::pulse {

class RecordStream final : public linux_audio::CaptureStream {
 public:
  // Records the output's channels averaged to one, into the sink; not started.
  RecordStream(std::shared_ptr<Connection> connection, Output output, AudioSink& sink);
  ~RecordStream() override;

  void start(StartDone completion) override;
  void stop(StopDone completion) override;

  class State;

 private:
  // Everything the main loop's callbacks and the delivering thread reach. It outlives this
  // object when a delivery is still blocked at its end (see the destructor).
  State* state_;
};

}  // namespace zarn::platform::pulse
