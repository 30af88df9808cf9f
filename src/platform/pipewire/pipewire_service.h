// The capture service over PipeWire's own protocol. The program reaches it through
// captureService() when a PipeWire daemon answers (see linux_service.cpp); tests may make their
// own.
//
// Where things run: the content query connects on a thread of its own; the stream's state is
// kept on the connection's loop thread; PipeWire's real-time thread mixes each buffer to mono and
// never waits: it writes the frame itself when that cannot block (the parent's pipe is empty),
// and otherwise leaves the audio in a backlog that a delivering thread of the stream's own hands
// to the core, one frame per piece of at most 20 ms. That thread can block when the parent stops
// reading; the backlog then holds what comes meanwhile (see Backlog). A stop that finds a
// delivery blocked waits for it only briefly (see MonitorStream).
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/float_audio.h"

namespace zarn::platform::pipewire {

class Connection;

class PipeWireService final : public FloatAudioService {
 public:
  // How long the content query waits for the daemon.
  static constexpr std::chrono::milliseconds kQueryBound{5000};

  // A connection already open (the one that found the daemon) for the next content query to use
  // rather than opening its own.
  void adopt(std::shared_ptr<Connection> connection);

  void getShareableContent(bool, bool, ContentCompletion completion) override;
  std::vector<std::shared_ptr<Display>> displays(ShareableContent& content) override;
  std::shared_ptr<ContentFilter> makeContentFilter(Display& display) override;
  // Always mono, mixed here; the video values have no counterpart.
  std::shared_ptr<Stream> makeStream(ContentFilter& filter, const StreamConfiguration&,
                                     StreamDelegate& delegate) override;

 private:
  std::mutex adoptedAccess_;
  std::shared_ptr<Connection> adopted_;
};

}  // namespace zarn::platform::pipewire
