#include "platform/wasapi/loopback_capture.h"

#include <algorithm>
#include <chrono>

namespace zarn::platform::wasapi {
namespace {

// The capture thread looks at the clock at least this often, so silence is filled in and a
// close is seen within this time even when no packet comes.
constexpr std::chrono::milliseconds kWaitLimit{10};
// Audio that waits for a slow parent: as much as the Linux services keep.
constexpr std::uint32_t kRingSeconds = 10;

}  // namespace

LoopbackCapture::LoopbackCapture(Endpoints& endpoints, std::unique_ptr<LoopbackStream> stream,
                                 AudioSink& sink, FailureHandler onFailure,
                                 std::optional<std::uint64_t> continueFrom)
    : endpoints_(endpoints),
      stream_(std::move(stream)),
      format_(stream_->format()),
      sink_(sink),
      onFailure_(std::move(onFailure)),
      timeline_(format_.rate),
      mixer_(format_, stream_->bufferFrames()),
      ring_(std::size_t{format_.rate} * kRingSeconds),
      piece_(std::max<std::size_t>(format_.rate / 50, 1)) {  // 20 ms
  if (continueFrom) timeline_.continueFrom(*continueFrom);
  capture_ = std::thread([this] { captureLoop(); });
  deliver_ = std::thread([this] { deliverLoop(); });
}

LoopbackCapture::~LoopbackCapture() {
  if (capture_.joinable()) close(false);
}

std::uint64_t LoopbackCapture::close(bool drain) {
  draining_.store(drain, std::memory_order_relaxed);
  closing_.store(true, std::memory_order_release);
  capture_.join();  // sees closing_ within kWaitLimit
  audioWaits_.signal();
  deliver_.join();
  return timeline_.end();
}

// The real-time thread: no lock, no allocation, no system call but the stream's own and one
// wake-up per round.
void LoopbackCapture::captureLoop() {
  endpoints_.enterThread(true);
  while (!closing_.load(std::memory_order_acquire)) {
    stream_->waitForPacket(kWaitLimit);
    bool took = false;
    const Hresult result = takePackets(took);
    if (failed(result)) {
      failure_.store(result, std::memory_order_release);
      audioWaits_.signal();
      break;
    }
    if (!took) took = ring_.write(nullptr, timeline_.fillQuiet(stream_->now())) > 0;
    if (took) audioWaits_.signal();
  }
  endpoints_.leaveThread();
}

Hresult LoopbackCapture::takePackets(bool& took) {
  for (;;) {
    Packet packet;
    const Hresult got = stream_->nextPacket(packet);
    if (failed(got) || got == kBufferEmpty || packet.frames == 0) return got;
    const Placement placement = timeline_.place(packet.position, packet.capturedAt, packet.frames,
                                                packet.discontinuous, stream_->now());
    ring_.write(nullptr, placement.zerosBefore);
    const std::uint32_t frames = packet.frames - placement.skipFrames;
    if (packet.silent || packet.data == nullptr) {
      ring_.write(nullptr, frames);
    } else {
      ring_.write(mixer_.mix(packet.data, packet.frames) + placement.skipFrames, frames);
    }
    took = true;
    if (const Hresult released = stream_->releasePacket(packet.frames); failed(released))
      return released;
  }
}

void LoopbackCapture::deliverLoop() {
  bool reported = false;
  for (;;) {
    audioWaits_.wait();
    const bool closing = closing_.load(std::memory_order_acquire);
    if (closing && !draining_.load(std::memory_order_relaxed)) return;
    deliverWaiting();
    if (closing) return;
    const Hresult failure = failure_.load(std::memory_order_acquire);
    if (failed(failure) && !reported) {
      reported = true;
      onFailure_(failure);
    }
  }
}

void LoopbackCapture::deliverWaiting() {
  const AudioFormat format{static_cast<double>(format_.rate), 1, 32, true};
  const std::size_t tenMs = std::max<std::size_t>(format_.rate / 100, 1);
  for (;;) {
    // What waits goes out in pieces as near to 10 ms as it divides into, none over 20 ms.
    const std::size_t waiting = ring_.waiting();
    if (waiting == 0) return;
    const std::size_t pieces = std::max<std::size_t>((waiting + tenMs / 2) / tenMs, 1);
    const std::size_t got =
        ring_.read(piece_.data(), std::min((waiting + pieces - 1) / pieces, piece_.size()));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(piece_.data());
    sink_.deliver(AudioBlock{format, {bytes, got * sizeof(float)}});
    if (closing_.load(std::memory_order_acquire) && !draining_.load(std::memory_order_relaxed))
      return;
  }
}

}  // namespace zarn::platform::wasapi
