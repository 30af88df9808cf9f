// The capture stream over the sound server: a record stream on the chosen output's monitor that
// follows the default output for as long as it runs.
#pragma once

#include <memory>

#include "platform/float_audio.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/outputs.h"

namespace zarn::platform::pulse {

class RecordStream final : public FloatStream {
 public:
  RecordStream(std::shared_ptr<Connection> connection, Output output, std::uint32_t channels,
               StreamDelegate& delegate);
  ~RecordStream() override;

  void setAudioOutput(StreamDelegate* output) override;
  void start(ScreenCaptureApi::ErrorCompletion completion) override;
  void stop(ScreenCaptureApi::ErrorCompletion completion) override;

  class State;

 private:
  // Everything the main loop's callbacks reach. It outlives this object when a delivery is
  // still blocked at its end (see the destructor).
  State* state_;
};

}  // namespace zarn::platform::pulse
