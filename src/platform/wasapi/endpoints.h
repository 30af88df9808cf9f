// The few WASAPI calls the service makes, behind an interface of this program's own terms: the
// real one (com_endpoints.cpp) wraps the COM objects, and tests put a recording fake in its place.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/wasapi/packet_audio.h"

namespace zarn::platform::wasapi {

using Hresult = std::int32_t;  // HRESULT, with Windows' values

inline constexpr Hresult kOk = 0;
inline constexpr Hresult kNotFound = static_cast<Hresult>(0x80070490);  // no such endpoint
inline constexpr Hresult kDeviceInvalidated = static_cast<Hresult>(0x88890004);
inline constexpr Hresult kBufferEmpty = 0x08890001;  // success: no packet waiting
inline constexpr Hresult kUnsupportedFormat = static_cast<Hresult>(0x88890008);

inline bool failed(Hresult result) {
  return result < 0;
}

// One packet as IAudioCaptureClient::GetBuffer gives it.
struct Packet {
  const std::uint8_t* data = nullptr;
  std::uint32_t frames = 0;
  bool silent = false;           // AUDCLNT_BUFFERFLAGS_SILENT: zeros, whatever the buffer holds
  bool discontinuous = false;    // AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY
  std::uint64_t position = 0;    // the device's frame count at the packet's start
  std::uint64_t capturedAt = 0;  // performance-counter time of its first frame, 100-ns units
};

// A started shared-mode loopback stream on one render endpoint. Used on the capture thread only,
// after the control thread opened it.
class LoopbackStream {
 public:
  virtual ~LoopbackStream() = default;
  virtual const MixFormat& format() const = 0;
  virtual std::uint32_t bufferFrames() const = 0;  // the largest packet there can be
  // Waits for the stream's event or the limit.
  virtual void waitForPacket(std::chrono::milliseconds limit) = 0;
  // kOk with a packet, kBufferEmpty with none, or the failure.
  virtual Hresult nextPacket(Packet& packet) = 0;
  virtual Hresult releasePacket(std::uint32_t frames) = 0;
  // Now, on the clock of Packet::capturedAt.
  virtual std::uint64_t now() const = 0;
};

// What the system says about render endpoints; called on a system thread, so implementations
// only hand it on.
class EndpointWatcher {
 public:
  virtual void defaultChanged(const std::string& id) = 0;  // render, console role; "" for none
  virtual void endpointGone(const std::string& id) = 0;    // removed, disabled or unplugged

 protected:
  ~EndpointWatcher() = default;
};

class Endpoints {
 public:
  virtual ~Endpoints() = default;
  // Each thread that makes these calls, and the capture thread (`realTime`), enters first and
  // leaves at its end.
  virtual void enterThread(bool realTime) = 0;
  virtual void leaveThread() = 0;
  virtual Hresult watch(EndpointWatcher& watcher) = 0;
  // Opens and starts loopback capture of the default render endpoint; kNotFound when there is
  // none. `id` is the endpoint's.
  virtual Hresult openDefault(std::unique_ptr<LoopbackStream>& stream, std::string& id) = 0;
  // Whether the endpoint is still there and enabled.
  virtual bool active(const std::string& id) = 0;
  // The system's text for a failure, one line.
  virtual std::string describe(Hresult result) = 0;
};

}  // namespace zarn::platform::wasapi
