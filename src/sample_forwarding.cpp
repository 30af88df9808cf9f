// The sample handler: one delivered block becomes at most one C frame.
#include "sample_forwarding.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "frames.h"
#include "sys_audio_capture.h"

namespace zarn {

bool encodeChunkHeader(const AudioFormat& format, std::uint8_t header[kChunkHeaderSize]) {
  const double rate = format.sampleRate;
  if (!std::isfinite(rate) || rate <= -1.0 || rate >= 4294967296.0) return false;
  if (format.channels > 255 || format.bitsPerChannel > 255) return false;
  const auto whole = static_cast<std::uint32_t>(rate);  // truncates toward zero; (-1, 0) gives 0
  putLe32(header, whole);
  header[4] = static_cast<std::uint8_t>(format.channels);
  header[5] = static_cast<std::uint8_t>(format.bitsPerChannel);
  header[6] = format.isFloat ? 1 : 0;
  header[7] = 0;
  return true;
}

void SysAudioCapture::deliver(const AudioBlock& block) {
  if (!readArmed()) return;  // the only read of the arm state for this block
  std::uint8_t header[kChunkHeaderSize];
  if (block.bytes.empty() || !encodeChunkHeader(block.format, header)) return;

  // Uninitialised on purpose: the samples are copied once, straight into place.
  const std::size_t size = kChunkHeaderSize + block.bytes.size();
  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[size]);
  std::memcpy(payload.get(), header, kChunkHeaderSize);
  std::memcpy(payload.get() + kChunkHeaderSize, block.bytes.data(), block.bytes.size());
  writeFrame(kFrameChunk, {payload.get(), size});
}

bool SysAudioCapture::deliverNow(const AudioBlock& block) noexcept {
  if (!forwarding()) return true;  // a disarmed parent hears nothing: handled
  std::uint8_t header[kChunkHeaderSize];
  if (block.bytes.empty() || !encodeChunkHeader(block.format, header)) return true;
  return tryWriteFrameNow(kFrameChunk, {header, kChunkHeaderSize}, block.bytes);
}

}  // namespace zarn
