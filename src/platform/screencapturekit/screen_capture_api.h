// ScreenCaptureKit's API, cut to what the screen flow (screen_audio_service.h) asks of it: one
// virtual call per platform operation, in the order the flow uses them. Implemented by the macOS
// service (screencapturekit_service.mm) and by its scripted twin (simulated/), which plays the flow
// on any platform.
//
// Contract
// - Completion handlers (getShareableContent, startCapture, stopCapture) run exactly once, on a
//   thread of the service's own, never on the caller's thread. The flow's handlers only carry the
//   result on; they never block, wait for another completion or call back into a stop.
// - Sample buffers are delivered to StreamDelegate::streamDidOutputSampleBuffer on the service's
//   concurrent delivery threads, possibly several at once. The buffer, its format description and
//   everything reached through it are valid only until that call returns. The flow may block there
//   (the sink writes a frame) but must not stop the stream or wait for a completion from inside it.
// - streamDidStopWithError runs at most once per stream, on a service thread, after capture had
//   started; no completion is pending on that thread.
// - After stopCapture's completion has run, no more deliveries or stop callbacks for that stream
//   begin.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zarn::platform {

// Opaque platform objects. Each implementation derives its own types from these and casts back.
struct ShareableContent {
  virtual ~ShareableContent() = default;
};
struct Display {
  virtual ~Display() = default;
};
struct ContentFilter {
  virtual ~ContentFilter() = default;
};
struct Stream {
  virtual ~Stream() = default;
};
struct Error {
  virtual ~Error() = default;
};
struct SampleBuffer {};       // borrowed for one delivery; never owned by the flow
struct FormatDescription {};  // follows the Get rule: the flow never releases it
struct BlockBuffer {};        // returned retained; the flow releases it with releaseBlockBuffer

using ErrorPtr = std::shared_ptr<Error>;

// Raw values as the platform defines them.
enum class OutputType : std::int64_t { screen = 0, audio = 1, microphone = 2 };

// The only delivery queue the flow asks for: the shared concurrent queue of the user-initiated
// quality-of-service class.
enum class SampleHandlerQueue { globalUserInitiated };

struct Time {
  std::int64_t value;
  std::int32_t timescale;
};

// The stream configuration, initialised to the platform's defaults; the flow sets its values.
struct StreamConfiguration {
  bool capturesAudio = false;
  std::int64_t channelCount = 2;
  bool excludesCurrentProcessAudio = false;
  std::size_t width = 1920;
  std::size_t height = 1080;
  Time minimumFrameInterval{1, 60};
  bool showsCursor = true;
};

// The four values of a stream's basic description that a frame header carries.
struct StreamDescription {
  double sampleRate = 0;
  std::uint32_t formatFlags = 0;
  std::uint32_t channelsPerFrame = 0;
  std::uint32_t bitsPerChannel = 0;
};
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1;

struct AudioBuffer {
  std::uint32_t numberChannels = 0;
  std::uint32_t dataByteSize = 0;
  const void* data = nullptr;
};

// A one-buffer audio buffer list, prepared zeroed with numberBuffers 1 (24 bytes on the
// platform), so audio that comes in more than one buffer makes the list call fail.
struct OneBufferList {
  std::uint32_t numberBuffers = 1;
  AudioBuffer buffer;
};

inline constexpr std::int32_t kNoErr = 0;
// The buffer list cannot hold the audio: it comes in more buffers than the list has room for.
inline constexpr std::int32_t kBufferListTooSmall = -12737;

// The stream's delegate and audio output: the screen flow.
class StreamDelegate {
 public:
  virtual void streamDidOutputSampleBuffer(Stream& stream, SampleBuffer& sampleBuffer,
                                           OutputType type) = 0;
  virtual void streamDidStopWithError(Stream& stream, const Error& error) = 0;

 protected:
  ~StreamDelegate() = default;
};

class ScreenCaptureApi {
 public:
  using ContentCompletion =
      std::function<void(std::shared_ptr<ShareableContent> content, ErrorPtr error)>;
  using ErrorCompletion = std::function<void(ErrorPtr error)>;

  // 1. The shareable content; the completion gets either the content or an error.
  virtual void getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                                   ContentCompletion completion) = 0;
  // 2. The content's displays, in the platform's order; possibly empty.
  virtual std::vector<std::shared_ptr<Display>> displays(ShareableContent& content) = 0;
  // 3. A content filter over one display, excluding no windows.
  virtual std::shared_ptr<ContentFilter> makeContentFilter(Display& display) = 0;
  // 4 and 5. A stream over the filter with the configuration; not yet capturing. The delegate
  // is told of a stop with an error.
  virtual std::shared_ptr<Stream> makeStream(ContentFilter& filter,
                                             const StreamConfiguration& configuration,
                                             StreamDelegate& delegate) = 0;
  // 6. Register an output for one type; false with an error on failure.
  virtual bool addStreamOutput(Stream& stream, StreamDelegate& output, OutputType type,
                               SampleHandlerQueue queue, ErrorPtr& error) = 0;
  // 7. Start capture; the completion gets no error once capture has started.
  virtual void startCapture(Stream& stream, ErrorCompletion completion) = 0;
  // 8. Stop capture; the completion runs with or without an error.
  virtual void stopCapture(Stream& stream, ErrorCompletion completion) = 0;
  // 9. A human-readable text for an error.
  virtual std::string localizedDescription(const Error& error) = 0;

  // Sample buffer operations, in the order the sample handler uses them.
  virtual bool sampleBufferIsValid(SampleBuffer& buffer) = 0;
  virtual bool sampleBufferDataIsReady(SampleBuffer& buffer) = 0;
  virtual const FormatDescription* sampleBufferFormatDescription(SampleBuffer& buffer) = 0;
  // False when the description is not audio.
  virtual bool streamBasicDescription(const FormatDescription& format,
                                      StreamDescription& description) = 0;
  // kNoErr on success; list.buffer then points into *retainedBlock until it is released.
  // retainedBlock may be set even on failure.
  virtual std::int32_t audioBufferListWithRetainedBlockBuffer(SampleBuffer& buffer,
                                                              OneBufferList& list,
                                                              BlockBuffer*& retainedBlock) = 0;
  virtual void releaseBlockBuffer(BlockBuffer* block) = 0;

 protected:
  ~ScreenCaptureApi() = default;
};

}  // namespace zarn::platform
