// The capture service over the sound server's client library (PulseAudio, or PipeWire through
// its pulse server). The program uses it through captureService(); tests may make their own.
//
// Where things run: the content query connects on a thread of its own; everything after that
// runs on the connection's main loop thread, including every delivery. A delivery writes a frame
// and can block there when the parent stops reading; the connection then stalls and the server
// drops what the stream cannot take (an overrun), which is what a parent that does not read
// should get. A stop that finds a delivery blocked does not wait for it (see RecordStream).
#pragma once

#include <pulse/error.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/capture_service.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/objects.h"
#include "platform/pulse/record_stream.h"

namespace zarn::platform::pulse {

class PulseService final : public CaptureService {
 public:
  void getShareableContent(bool, bool, ContentCompletion completion) override {
    std::thread([done = std::move(completion)] {
      std::string error;
      std::shared_ptr<Connection> connection = Connection::open(error);
      std::vector<Output> sinks;
      std::string defaultName;
      if (!connection || !connection->listOutputs(sinks, defaultName, error)) {
        connection.reset();  // closed before the answer, on this thread
        return done(nullptr, makeError(error));
      }
      auto content = std::make_shared<PulseContent>();
      content->outputs = recordableOutputs(sinks, defaultName);
      // Screens have nothing to do with it: with nothing to record, say so as a start failure.
      if (content->outputs.empty()) return done(nullptr, makeError(kNoOutputText));
      content->connection = std::move(connection);
      done(std::move(content), nullptr);
    }).detach();
  }

  std::vector<std::shared_ptr<Display>> displays(ShareableContent& content) override {
    auto& pulseContent = static_cast<PulseContent&>(content);
    std::vector<std::shared_ptr<Display>> result;
    for (const Output& output : pulseContent.outputs) {
      auto display = std::make_shared<PulseDisplay>();
      display->connection = pulseContent.connection;
      display->output = output;
      result.push_back(std::move(display));
    }
    return result;
  }

  std::shared_ptr<ContentFilter> makeContentFilter(Display& display) override {
    auto& pulseDisplay = static_cast<PulseDisplay&>(display);
    auto filter = std::make_shared<PulseFilter>();
    filter->connection = pulseDisplay.connection;
    filter->output = pulseDisplay.output;
    return filter;
  }

  std::shared_ptr<Stream> makeStream(ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override {
    auto& pulseFilter = static_cast<PulseFilter&>(filter);
    // The server mixes down to the channels asked for; the video values have no counterpart.
    const auto channels = static_cast<std::uint32_t>(
        configuration.channelCount < 1
            ? 1
            : (configuration.channelCount > 32 ? 32 : configuration.channelCount));
    return std::make_shared<RecordStream>(pulseFilter.connection, pulseFilter.output, channels,
                                          delegate);
  }

  bool addStreamOutput(Stream& stream, StreamDelegate& output, OutputType type, SampleHandlerQueue,
                       ErrorPtr& error) override {
    switch (type) {
      case OutputType::audio:
        static_cast<RecordStream&>(stream).setAudioOutput(&output);
        return true;
      case OutputType::screen:
        return true;  // accepted; no video is ever delivered
      case OutputType::microphone:
        break;
    }
    error = makeError(pa_strerror(PA_ERR_NOTSUPPORTED));
    return false;
  }

  void startCapture(Stream& stream, ErrorCompletion completion) override {
    static_cast<RecordStream&>(stream).start(std::move(completion));
  }

  void stopCapture(Stream& stream, ErrorCompletion completion) override {
    static_cast<RecordStream&>(stream).stop(std::move(completion));
  }

  std::string localizedDescription(const Error& error) override {
    return static_cast<const PulseError&>(error).text;
  }

  bool sampleBufferIsValid(SampleBuffer&) override { return true; }
  bool sampleBufferDataIsReady(SampleBuffer&) override { return true; }

  const FormatDescription* sampleBufferFormatDescription(SampleBuffer& buffer) override {
    return &static_cast<PulseSampleBuffer&>(buffer).format;
  }

  bool streamBasicDescription(const FormatDescription& format,
                              StreamDescription& description) override {
    const auto& pulseFormat = static_cast<const PulseFormat&>(format);
    description.sampleRate = pulseFormat.rate;
    description.formatFlags = kAudioFormatFlagIsFloat;
    description.channelsPerFrame = pulseFormat.channels;
    description.bitsPerChannel = 32;
    return true;
  }

  std::int32_t audioBufferListWithRetainedBlockBuffer(SampleBuffer& buffer, OneBufferList& list,
                                                      BlockBuffer*& retainedBlock) override {
    auto& fragment = static_cast<PulseSampleBuffer&>(buffer);
    if (list.numberBuffers != 1) return kBufferListTooSmall;
    // The fragment stays the stream's until the delivery returns; the "block" is the fragment
    // itself and releasing it is nothing.
    retainedBlock = reinterpret_cast<BlockBuffer*>(&fragment);
    const bool fits = fragment.size <= std::numeric_limits<std::uint32_t>::max();
    list.buffer.numberChannels = fragment.format.channels;
    list.buffer.dataByteSize = fits ? static_cast<std::uint32_t>(fragment.size) : 0;
    list.buffer.data = fits ? fragment.data : nullptr;
    return kNoErr;
  }

  void releaseBlockBuffer(BlockBuffer*) override {}

 private:
  static constexpr std::int32_t kBufferListTooSmall = -12737;
};

}  // namespace zarn::platform::pulse
