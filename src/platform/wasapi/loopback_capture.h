// One open loopback stream at work: the capture thread takes its packets, keeps them continuous
// on the endpoint's clock and mixes them to mono into a ring; the delivering thread hands the
// ring's audio to the sink in pieces of at most 20 ms. Made and closed by the control thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "audio_service.h"
#include "platform/wasapi/endpoints.h"
#include "platform/wasapi/packet_audio.h"
#include "platform/wasapi/sample_ring.h"
#include "platform/wasapi/timeline.h"
#include "platform/wasapi/wakeup.h"

namespace zarn::platform::wasapi {

class LoopbackCapture {
 public:
  using FailureHandler = std::function<void(Hresult)>;

  // `continueFrom`: where the last stream's audio ended, when this one continues it.
  LoopbackCapture(Endpoints& endpoints, std::unique_ptr<LoopbackStream> stream, AudioSink& sink,
                  FailureHandler onFailure, std::optional<std::uint64_t> continueFrom);
  LoopbackCapture(const LoopbackCapture&) = delete;
  LoopbackCapture& operator=(const LoopbackCapture&) = delete;
  ~LoopbackCapture();

  // Ends both threads; with `drain` the delivering thread first hands on what waits. Returns
  // where the audio sent ended, on the endpoint's clock.
  std::uint64_t close(bool drain);
  std::uint32_t rate() const { return format_.rate; }

 private:
  void captureLoop();
  Hresult takePackets(bool& took);
  void deliverLoop();
  void deliverWaiting();

  Endpoints& endpoints_;
  std::unique_ptr<LoopbackStream> stream_;
  MixFormat format_;
  AudioSink& sink_;
  FailureHandler onFailure_;
  Timeline timeline_;
  MonoMixer mixer_;
  SampleRing ring_;
  Wakeup audioWaits_;
  std::vector<float> piece_;  // the delivering thread's, one frame's worth
  std::atomic<bool> closing_{false};
  std::atomic<bool> draining_{false};
  std::atomic<Hresult> failure_{kOk};
  std::thread capture_;
  std::thread deliver_;
};

}  // namespace zarn::platform::wasapi
