// One run of the recorder: starts the helper, waits for its stream, arms it, records its audio
// into the output and quits it, whatever ends the recording (the asked length, a signal, an
// error of the helper or of the output).
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "frame_stream.h"
#include "helper_process.h"
#include "options.h"
#include "output.h"
#include "recording.h"
#include "session_phases.h"

namespace zarn::record {

struct SessionSetup {
  Options options;
  std::vector<std::string> helperCommand;
  // Read end of a non-blocking pipe that carries one byte per signal: its number. SIGINT,
  // SIGTERM and SIGHUP end the recording; one more while the helper quits kills it.
  int signalFd = -1;
  std::FILE* messages = stderr;  // summary and errors
  // Width of the terminal that shows the live line, asked before each update; none: no live
  // line, only the summary.
  std::function<std::size_t()> terminalColumns;
};

class Session {
 public:
  using Clock = std::chrono::steady_clock;

  Session(SessionSetup setup, OutputTarget output);
  // The exit status: 0 when the recording ended as asked, 1 when it failed or got no audio.
  int run();

 private:
  void loop();
  int pollTimeoutMs(Clock::time_point now) const;
  // Decides with sessionStep and carries out its actions; `reason` is the event's text, `chunk`
  // the frame of a chunk event.
  void handle(SessionEvent event, const std::string& reason = {},
              const tools::Frame* chunk = nullptr);
  void onDeadline();
  bool readHelper();
  void onSignals();
  void onBytes(std::span<const std::uint8_t> bytes);
  void onFrame(const tools::Frame& frame);
  void onEndOfOutput();
  void arm();
  void record(const tools::Frame& chunk);
  void quit(SessionPhase was);
  void finishHelper();
  void noteAudio(Clock::time_point now);
  bool waitingForAudio(Clock::time_point now) const;
  void display(Clock::time_point now);
  void summary();
  void failWith(std::string message);
  void say(const std::string& message);

  SessionSetup setup_;
  OutputTarget output_;
  Recording recording_;
  std::optional<HelperProcess> helper_;
  tools::FrameStreamReader reader_;
  SessionPhase phase_ = SessionPhase::starting;
  Clock::time_point deadline_;
  Clock::time_point nextDisplay_;
  Clock::time_point lastAudio_;  // the latest chunk, or arming
  Clock::duration waited_{};     // in gaps without audio long enough to show
  unsigned gaps_ = 0;
  bool armed_ = false;
  bool interrupted_ = false;
  bool killed_ = false;  // nothing more to wait for
  std::string failure_;
};

}  // namespace zarn::record
