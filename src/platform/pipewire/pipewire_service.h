// The capture service over PipeWire's own protocol. The program reaches it through
// captureService() when a PipeWire daemon answers (see linux_service.cpp); tests may make their
// own.
//
// Where things run: the content query connects on a thread of its own; the stream's state is
// kept on the connection's loop thread; PipeWire's real-time thread mixes each buffer to mono into
// a backlog and never waits; a delivering thread of the stream's own hands the backlog to the core,
// one frame per piece of at most 20 ms. A delivery writes a frame and can block there when the
// parent stops reading; the backlog then holds what comes meanwhile (see Backlog). A stop that
// finds a delivery blocked waits for it only briefly (see MonitorStream).
#pragma once

#include <chrono>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/capture_service.h"
#include "platform/pipewire/connection.h"
#include "platform/pipewire/monitor_stream.h"
#include "platform/pipewire/objects.h"

namespace zarn::platform::pipewire {

class PipeWireService final : public CaptureService {
 public:
  // How long the content query waits for the daemon.
  static constexpr std::chrono::milliseconds kQueryBound{5000};

  void getShareableContent(bool, bool, ContentCompletion completion) override {
    std::thread([done = std::move(completion)] {
      std::string error;
      std::shared_ptr<Connection> connection = Connection::open(kQueryBound, error);
      std::vector<std::string> outputs;
      if (connection) {
        Connection::Lock lock(*connection);
        outputs = connection->outputNames();
      }
      if (!connection) return done(nullptr, makeError(error));
      if (outputs.empty()) return done(nullptr, makeError("no sound output to capture"));
      auto content = std::make_shared<PipeWireContent>();
      content->connection = std::move(connection);
      content->outputs = std::move(outputs);
      done(std::move(content), nullptr);
    }).detach();
  }

  std::vector<std::shared_ptr<Display>> displays(ShareableContent& content) override {
    auto& ours = static_cast<PipeWireContent&>(content);
    std::vector<std::shared_ptr<Display>> result;
    for (const std::string& output : ours.outputs) {
      auto display = std::make_shared<PipeWireDisplay>();
      display->connection = ours.connection;
      display->output = output;
      result.push_back(std::move(display));
    }
    return result;
  }

  std::shared_ptr<ContentFilter> makeContentFilter(Display& display) override {
    auto filter = std::make_shared<PipeWireFilter>();
    filter->connection = static_cast<PipeWireDisplay&>(display).connection;
    return filter;
  }

  // Always mono, mixed here; the video values have no counterpart.
  std::shared_ptr<Stream> makeStream(ContentFilter& filter, const StreamConfiguration&,
                                     StreamDelegate& delegate) override {
    return std::make_shared<MonitorStream>(static_cast<PipeWireFilter&>(filter).connection,
                                           delegate);
  }

  bool addStreamOutput(Stream& stream, StreamDelegate& output, OutputType type, SampleHandlerQueue,
                       ErrorPtr& error) override {
    switch (type) {
      case OutputType::audio:
        static_cast<MonitorStream&>(stream).setAudioOutput(&output);
        return true;
      case OutputType::screen:
        return true;  // accepted; no video is ever delivered
      case OutputType::microphone:
        break;
    }
    error = makeError("a microphone is never captured");
    return false;
  }

  void startCapture(Stream& stream, ErrorCompletion completion) override {
    static_cast<MonitorStream&>(stream).start(std::move(completion));
  }

  void stopCapture(Stream& stream, ErrorCompletion completion) override {
    static_cast<MonitorStream&>(stream).stop(std::move(completion));
  }

  std::string localizedDescription(const Error& error) override {
    return static_cast<const PipeWireError&>(error).text;
  }

  bool sampleBufferIsValid(SampleBuffer&) override { return true; }
  bool sampleBufferDataIsReady(SampleBuffer&) override { return true; }

  const FormatDescription* sampleBufferFormatDescription(SampleBuffer& buffer) override {
    return &static_cast<PipeWireSampleBuffer&>(buffer).format;
  }

  bool streamBasicDescription(const FormatDescription& format,
                              StreamDescription& description) override {
    description.sampleRate = static_cast<const PipeWireFormat&>(format).rate;
    description.formatFlags = kAudioFormatFlagIsFloat;
    description.channelsPerFrame = 1;
    description.bitsPerChannel = 32;
    return true;
  }

  std::int32_t audioBufferListWithRetainedBlockBuffer(SampleBuffer& buffer, OneBufferList& list,
                                                      BlockBuffer*& retainedBlock) override {
    auto& piece = static_cast<PipeWireSampleBuffer&>(buffer);
    if (list.numberBuffers != 1) return kBufferListTooSmall;
    // The piece stays the stream's until the delivery returns; releasing it is nothing.
    retainedBlock = reinterpret_cast<BlockBuffer*>(&piece);
    list.buffer.numberChannels = 1;
    list.buffer.dataByteSize = static_cast<std::uint32_t>(piece.size);  // at most 20 ms
    list.buffer.data = piece.data;
    return kNoErr;
  }

  void releaseBlockBuffer(BlockBuffer*) override {}

 private:
  static constexpr std::int32_t kBufferListTooSmall = -12737;
};

}  // namespace zarn::platform::pipewire
