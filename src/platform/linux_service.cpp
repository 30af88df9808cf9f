// The process's audio service on Linux, chosen in this one place: PipeWire's own protocol when a
// PipeWire daemon answers and has an audio output to capture, the libpulse service otherwise. A
// daemon without outputs is often one that only serves screen sharing beside PulseAudio (as on
// Ubuntu 22.04), and libpulse then records the desktop's sound. The choice needs the server, so
// it is made when capture starts, on the service's own thread, and holds for the process.
#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/linux/stream_service.h"
#include "platform/pipewire/connection.h"
#include "platform/pipewire/pipewire_service.h"
#include "platform/pulse/pulse_service.h"
#include "platform/system_audio_service.h"

namespace zarn::platform {
namespace {

// A daemon that accepts the connection but does not answer one round trip in this time is not
// one to record from.
constexpr std::chrono::milliseconds kProbeBound{1000};

bool hasOutputs(const pipewire::Connection& connection) {
  pipewire::Connection::Lock lock(connection);
  return connection.ready() && !connection.sinks().empty();
}

class LinuxService final : public linux_audio::StreamService {
 private:
  linux_audio::Opened open(AudioSink& sink) override {
    std::call_once(decided_, [this] {
      std::string ignored;
      std::shared_ptr<pipewire::Connection> found =
          pipewire::Connection::open(kProbeBound, ignored);
      if (found && !hasOutputs(*found)) found.reset();
      native_ = found != nullptr;
      if (found) pipewire_.adopt(std::move(found));  // the stream below uses it
    });
    return native_ ? pipewire_.open(sink) : pulse_.open(sink);
  }

  std::once_flag decided_;
  bool native_ = false;  // written once, inside decided_
  pulse::PulseService pulse_;
  pipewire::PipeWireService pipewire_;
};

}  // namespace

AudioService& systemAudioService() {
  static AudioService* const service = new LinuxService;  // never destroyed
  return *service;
}

}  // namespace zarn::platform
