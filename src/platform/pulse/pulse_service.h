// The capture service over the sound server's client library (PulseAudio, or PipeWire through
// its pulse server). The program uses it through captureService(); tests may make their own.
//
// Where things run: the content query connects on a thread of its own; everything after that
// runs on the connection's main loop thread, including every delivery. A delivery writes a frame
// and can block there when the parent stops reading; the connection then stalls and the server
// drops what the stream cannot take (an overrun), which is what a parent that does not read
// should get. A stop that finds a delivery blocked does not wait for it (see RecordStream).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture_service.h"

namespace zarn::platform::pulse {

class PulseService final : public CaptureService {
 public:
  void getShareableContent(bool, bool, ContentCompletion completion) override;
  std::vector<std::shared_ptr<Display>> displays(ShareableContent& content) override;
  std::shared_ptr<ContentFilter> makeContentFilter(Display& display) override;
  std::shared_ptr<Stream> makeStream(ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override;
  bool addStreamOutput(Stream& stream, StreamDelegate& output, OutputType type, SampleHandlerQueue,
                       ErrorPtr& error) override;
  void startCapture(Stream& stream, ErrorCompletion completion) override;
  void stopCapture(Stream& stream, ErrorCompletion completion) override;
  std::string localizedDescription(const Error& error) override;
  bool sampleBufferIsValid(SampleBuffer&) override { return true; }
  bool sampleBufferDataIsReady(SampleBuffer&) override { return true; }
  const FormatDescription* sampleBufferFormatDescription(SampleBuffer& buffer) override;
  bool streamBasicDescription(const FormatDescription& format,
                              StreamDescription& description) override;
  std::int32_t audioBufferListWithRetainedBlockBuffer(SampleBuffer& buffer, OneBufferList& list,
                                                      BlockBuffer*& retainedBlock) override;
  void releaseBlockBuffer(BlockBuffer*) override {}
};

}  // namespace zarn::platform::pulse
