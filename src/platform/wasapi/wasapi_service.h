// The Windows capture service: loopback capture of the default render endpoint, following it as
// it changes. One control thread of its own (a one-worker queue) runs the state machine
// (capture_machine.h) and is the only one to open and close streams; the system's notifications
// and the capture's failures reach it as events.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "audio_service.h"
#include "platform/step_driver.h"
#include "platform/wasapi/capture_machine.h"
#include "platform/wasapi/endpoints.h"
#include "platform/wasapi/loopback_capture.h"
#include "platform/work_queue.h"

namespace zarn::platform::wasapi {

class WasapiService final : public AudioService, private EndpointWatcher {
 public:
  explicit WasapiService(std::unique_ptr<Endpoints> endpoints);
  WasapiService(const WasapiService&) = delete;
  WasapiService& operator=(const WasapiService&) = delete;
  // Only tests end a service; the program's lives as long as the process.
  ~WasapiService();

  void start(AudioSink& sink, StartDone done) override;
  void stop(StopDone done) override;

 private:
  struct Input {
    Event event;
    Hresult result = kOk;
    std::string id{};
    std::uint64_t generation = 0;  // of the capture a failure came from
    AudioSink* sink = nullptr;
    StartDone startDone{};
    StopDone stopDone{};
  };

  void defaultChanged(const std::string& id) override;
  void endpointGone(const std::string& id) override;

  void post(Input input);
  bool concernsUs(const Input& input) const;
  friend StepDriver<WasapiService, Phase, Input>;
  Decision<Phase> decide(Phase phase, Input& input);
  void carryOut(std::uint32_t actions, Input& why);
  Input openCapture();
  void closeCapture();
  std::string reason(const Input& why);

  std::unique_ptr<Endpoints> endpoints_;

  // The control thread's alone.
  StepDriver<WasapiService, Phase, Input> driver_{*this, Phase::idle};
  AudioSink* sink_ = nullptr;
  StartDone startDone_;
  std::unique_ptr<LoopbackCapture> capture_;
  std::string capturedId_;
  std::uint64_t generation_ = 0;
  std::optional<std::uint64_t> lastEnd_;  // where the last closed stream's audio ended
  std::uint32_t lastRate_ = 0;

  WorkQueue control_;  // last, so it ends first
};

}  // namespace zarn::platform::wasapi
