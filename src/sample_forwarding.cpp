// The sample handler: one delivered sample buffer becomes at most one C frame.
#include "sample_forwarding.h"

#include <cmath>
#include <cstring>
#include <memory>

#include "capture_object.h"
#include "frames.h"

namespace zarn {

bool encodeChunkHeader(const platform::StreamDescription& description,
                       std::uint8_t header[kChunkHeaderSize]) {
  const double rate = description.sampleRate;
  if (!std::isfinite(rate) || rate <= -1.0 || rate >= 4294967296.0) return false;
  if (description.channelsPerFrame > 255 || description.bitsPerChannel > 255) return false;
  const auto whole = static_cast<std::uint32_t>(rate);  // truncates toward zero; (-1, 0) gives 0
  putLe32(header, whole);
  header[4] = static_cast<std::uint8_t>(description.channelsPerFrame);
  header[5] = static_cast<std::uint8_t>(description.bitsPerChannel);
  header[6] = (description.formatFlags & platform::kAudioFormatFlagIsFloat) ? 1 : 0;
  header[7] = 0;
  return true;
}

void SysAudioCapture::streamDidOutputSampleBuffer(platform::Stream&,
                                                  platform::SampleBuffer& sampleBuffer,
                                                  platform::OutputType type) {
  if (type != platform::OutputType::audio) return;
  if (!readArmed()) return;  // the only read of the flag for this delivery
  if (!service_.sampleBufferIsValid(sampleBuffer)) return;
  if (!service_.sampleBufferDataIsReady(sampleBuffer)) return;
  // The format description follows the Get rule: dropping the pointer is all its release is.
  const platform::FormatDescription* format = service_.sampleBufferFormatDescription(sampleBuffer);
  if (format == nullptr) return;
  platform::StreamDescription description;
  if (!service_.streamBasicDescription(*format, description)) return;
  std::uint8_t header[kChunkHeaderSize];
  if (!encodeChunkHeader(description, header)) return;

  platform::OneBufferList list;
  platform::BlockBuffer* retained = nullptr;
  const std::int32_t status =
      service_.audioBufferListWithRetainedBlockBuffer(sampleBuffer, list, retained);
  // Released after the frame is written, on every path.
  auto release = [this](platform::BlockBuffer* block) { service_.releaseBlockBuffer(block); };
  std::unique_ptr<platform::BlockBuffer, decltype(release)> block(retained, release);
  const platform::AudioBuffer& samples = list.buffer;
  if (status != platform::kNoErr || samples.data == nullptr || samples.dataByteSize == 0) return;

  // Uninitialised on purpose: the samples are copied once, straight into place.
  const std::size_t size = kChunkHeaderSize + samples.dataByteSize;
  std::unique_ptr<std::uint8_t[]> payload(new std::uint8_t[size]);
  std::memcpy(payload.get(), header, kChunkHeaderSize);
  std::memcpy(payload.get() + kChunkHeaderSize, samples.data, samples.dataByteSize);
  writeFrame(kFrameChunk, {payload.get(), size});
}

}  // namespace zarn
