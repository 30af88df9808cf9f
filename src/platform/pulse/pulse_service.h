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

#include "platform/float_audio.h"

namespace zarn::platform::pulse {

class PulseService final : public FloatAudioService {
 public:
  void getShareableContent(bool, bool, ContentCompletion completion) override;
  std::vector<std::shared_ptr<Display>> displays(ShareableContent& content) override;
  std::shared_ptr<ContentFilter> makeContentFilter(Display& display) override;
  std::shared_ptr<Stream> makeStream(ContentFilter& filter,
                                     const StreamConfiguration& configuration,
                                     StreamDelegate& delegate) override;
};

}  // namespace zarn::platform::pulse
