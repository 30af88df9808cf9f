// What the Linux services share: audio as 32-bit float samples in memory the service keeps for
// the length of one delivery, and errors that are plain text. Each service derives from
// FloatAudioService and delivers FloatSampleBuffers; the sample buffer operations are here, once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/screencapturekit/screen_capture_api.h"

namespace zarn::platform {

struct TextError final : Error {
  explicit TextError(std::string text) : text(std::move(text)) {}
  std::string text;
};

inline ErrorPtr makeTextError(std::string text) {
  return std::make_shared<TextError>(std::move(text));
}

struct FloatFormat final : FormatDescription {
  double rate = 0;
  std::uint32_t channels = 1;
};

// One delivery's samples, borrowed from the service until the delivery returns. A hole in the
// stream has no data, and the core drops it.
struct FloatSampleBuffer final : SampleBuffer {
  const void* data = nullptr;
  std::size_t size = 0;  // bytes
  FloatFormat format;
};

// The streams of such a service: started and stopped as the core asks, sending their audio to
// one output.
class FloatStream : public Stream {
 public:
  virtual void setAudioOutput(StreamDelegate* output) = 0;
  virtual void start(ScreenCaptureApi::ErrorCompletion completion) = 0;
  virtual void stop(ScreenCaptureApi::ErrorCompletion completion) = 0;
};

// Why there is nothing to record: no output, or none with a monitor.
inline constexpr const char* kNoOutputText = "no sound output to capture";

// Answers a content query once the service has connected (or failed to, with `error`) and listed
// the outputs: the content, or why there is nothing to record. Screens have nothing to do with it,
// so no output is a start failure.
template <class Content, class Connection, class Outputs>
void answerContentQuery(const ScreenCaptureApi::ContentCompletion& done,
                        std::shared_ptr<Connection> connection, Outputs outputs,
                        const std::string& error) {
  if (!connection) return done(nullptr, makeTextError(error));
  if (outputs.empty()) return done(nullptr, makeTextError(kNoOutputText));
  auto content = std::make_shared<Content>();
  content->connection = std::move(connection);
  content->outputs = std::move(outputs);
  done(std::move(content), nullptr);
}

// One display per output, in the content's order, each on the content's connection.
template <class DisplayType, class Connection, class OutputName>
std::vector<std::shared_ptr<Display>> displaysOf(const std::shared_ptr<Connection>& connection,
                                                 const std::vector<OutputName>& outputs) {
  std::vector<std::shared_ptr<Display>> result;
  for (const OutputName& output : outputs) {
    auto display = std::make_shared<DisplayType>();
    display->connection = connection;
    display->output = output;
    result.push_back(std::move(display));
  }
  return result;
}

class FloatAudioService : public ScreenCaptureApi {
 public:
  // Audio goes to the stream's output; video is accepted and never comes; a microphone is never
  // captured.
  bool addStreamOutput(Stream& stream, StreamDelegate& output, OutputType type, SampleHandlerQueue,
                       ErrorPtr& error) final;
  void startCapture(Stream& stream, ErrorCompletion completion) final;
  void stopCapture(Stream& stream, ErrorCompletion completion) final;
  std::string localizedDescription(const Error& error) final;
  bool sampleBufferIsValid(SampleBuffer&) final { return true; }
  bool sampleBufferDataIsReady(SampleBuffer&) final { return true; }
  const FormatDescription* sampleBufferFormatDescription(SampleBuffer& buffer) final;
  bool streamBasicDescription(const FormatDescription& format,
                              StreamDescription& description) final;
  // The "block" is the delivery's own memory, which stays until the delivery returns; releasing
  // it is nothing.
  std::int32_t audioBufferListWithRetainedBlockBuffer(SampleBuffer& buffer, OneBufferList& list,
                                                      BlockBuffer*& retainedBlock) final;
  void releaseBlockBuffer(BlockBuffer*) final {}

 protected:
  ~FloatAudioService() = default;
};

}  // namespace zarn::platform
