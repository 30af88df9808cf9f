#include "platform/float_audio.h"

#include <limits>
#include <utility>

namespace zarn::platform {

bool FloatAudioService::addStreamOutput(Stream& stream, StreamDelegate& output, OutputType type,
                                        SampleHandlerQueue, ErrorPtr& error) {
  switch (type) {
    case OutputType::audio:
      static_cast<FloatStream&>(stream).setAudioOutput(&output);
      return true;
    case OutputType::screen:
      return true;
    case OutputType::microphone:
      break;
  }
  error = makeTextError("a microphone is never captured");
  return false;
}

void FloatAudioService::startCapture(Stream& stream, ErrorCompletion completion) {
  static_cast<FloatStream&>(stream).start(std::move(completion));
}

void FloatAudioService::stopCapture(Stream& stream, ErrorCompletion completion) {
  static_cast<FloatStream&>(stream).stop(std::move(completion));
}

std::string FloatAudioService::localizedDescription(const Error& error) {
  return static_cast<const TextError&>(error).text;
}

const FormatDescription* FloatAudioService::sampleBufferFormatDescription(SampleBuffer& buffer) {
  return &static_cast<FloatSampleBuffer&>(buffer).format;
}

bool FloatAudioService::streamBasicDescription(const FormatDescription& format,
                                               StreamDescription& description) {
  const auto& floatFormat = static_cast<const FloatFormat&>(format);
  description.sampleRate = floatFormat.rate;
  description.formatFlags = kAudioFormatFlagIsFloat;
  description.channelsPerFrame = floatFormat.channels;
  description.bitsPerChannel = 32;
  return true;
}

std::int32_t FloatAudioService::audioBufferListWithRetainedBlockBuffer(
    SampleBuffer& buffer, OneBufferList& list, BlockBuffer*& retainedBlock) {
  auto& samples = static_cast<FloatSampleBuffer&>(buffer);
  if (list.numberBuffers != 1) return kBufferListTooSmall;
  retainedBlock = reinterpret_cast<BlockBuffer*>(&samples);
  const bool fits = samples.size <= std::numeric_limits<std::uint32_t>::max();
  list.buffer.numberChannels = samples.format.channels;
  list.buffer.dataByteSize = fits ? static_cast<std::uint32_t>(samples.size) : 0;
  list.buffer.data = fits ? samples.data : nullptr;
  return kNoErr;
}

}  // namespace zarn::platform
