#include "session.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "live_line.h"

namespace zarn::record {

namespace {

using namespace std::chrono_literals;
using Clock = Session::Clock;

constexpr auto kStartLimit = 15s;  // a sound server answers in well under a second
constexpr auto kQuitLimit = 5s;    // the helper waits for its stream to stop, then exits
constexpr auto kDisplayPeriod = 200ms;
constexpr auto kSilentHelper = 2s;  // a server delivers every few ms; this long is a stall
constexpr int kGatherMs = 20;       // the pipe is made to hold far more than this much audio

std::string seconds(Clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(d).count());
  return text;
}

}  // namespace

Session::Session(SessionSetup setup, OutputTarget output)
    : setup_(std::move(setup)), output_(std::move(output)), recording_(setup_.options, output_) {}

int Session::run() {
  std::string error;
  auto started = HelperProcess::start(setup_.helperCommand, error);
  if (!started) {
    recording_.close();
    say(error);
    return 1;
  }
  helper_.emplace(std::move(*started));
  deadline_ = Clock::now() + kStartLimit;
  loop();
  finishHelper();
  if (const std::string why = recording_.close(); !why.empty()) failWith(why);
  if (setup_.terminalColumns && armed_) std::fputs("\r\033[K", setup_.messages);
  summary();
  if (!failure_.empty()) say(failure_);
  std::fflush(setup_.messages);
  return failure_.empty() ? 0 : 1;
}

void Session::say(const std::string& message) {
  std::fprintf(setup_.messages, "zarn-audio-record: %s\n", message.c_str());
}

void Session::failWith(std::string message) {
  if (failure_.empty()) failure_ = std::move(message);
}

void Session::handle(SessionEvent event, const std::string& reason, const tools::Frame* chunk) {
  const SessionPhase was = phase_;
  const auto [next, actions] = sessionStep(was, event);
  phase_ = next;  // before the actions, which may bring events of their own
  if (actions & kFail) failWith(reason);
  if (actions & kShowHelper) say("helper: " + reason);
  if (actions & kInterrupted) interrupted_ = true;
  if (actions & kArm) arm();
  if (actions & kRecord) record(*chunk);
  if (actions & kQuit) quit(was);
  if (actions & (kKill | kKillOnRequest)) {
    // The file is closed all the same, as after any other end.
    helper_->kill();
    killed_ = true;
  }
  if (actions & kKillOnRequest) say("interrupted again: the helper was killed");
}

void Session::loop() {
  while (phase_ != SessionPhase::done) {
    const auto now = Clock::now();
    if (now >= deadline_) onDeadline();
    if (phase_ == SessionPhase::done) return;
    pollfd fds[2] = {{helper_->outputFd(), POLLIN, 0}, {setup_.signalFd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, pollTimeoutMs(now));
    if (ready < 0 && errno != EINTR) {
      failWith(std::string("poll failed: ") + std::strerror(errno));
      helper_->kill();
      return;
    }
    if (ready > 0 && (fds[1].revents & POLLIN)) onSignals();
    if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !readHelper()) return;
    if (setup_.terminalColumns && phase_ == SessionPhase::recording &&
        Clock::now() >= nextDisplay_) {
      display(Clock::now());
    }
  }
}

int Session::pollTimeoutMs(Clock::time_point now) const {
  auto wake = deadline_;
  if (setup_.terminalColumns && phase_ == SessionPhase::recording) {
    wake = std::min(wake, nextDisplay_);
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;
  // At least once a second: no deadline while recording is time_point::max().
  return static_cast<int>(std::clamp<long long>(ms, 0, 1000));
}

void Session::onDeadline() {
  const std::string reason = phase_ == SessionPhase::starting
                                 ? "the helper did not report a running stream within " +
                                       std::to_string(kStartLimit.count()) + " s"
                                 : "the helper did not quit within " +
                                       std::to_string(kQuitLimit.count()) + " s; it was killed";
  handle(SessionEvent::deadline, reason);
}

// False once the helper's output has ended.
bool Session::readHelper() {
  std::uint8_t buffer[64 * 1024];
  const ssize_t n = ::read(helper_->outputFd(), buffer, sizeof buffer);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) {
    onEndOfOutput();
    return false;
  }
  onBytes(std::span(buffer, static_cast<std::size_t>(n)));
  // Let a few blocks gather in the pipe before the next read: audio blocks are a few
  // milliseconds long, and a wake-up for each would cost more than the work on it. A signal
  // ends the pause at once.
  pollfd signals{setup_.signalFd, POLLIN, 0};
  if (phase_ == SessionPhase::recording) ::poll(&signals, 1, kGatherMs);
  return true;
}

void Session::onSignals() {
  char drain[16];
  while (::read(setup_.signalFd, drain, sizeof drain) > 0) {
  }
  handle(SessionEvent::signal);
}

void Session::onBytes(std::span<const std::uint8_t> bytes) {
  const bool wasFailed = reader_.failed();
  reader_.feed(bytes);
  while (auto frame = reader_.next()) onFrame(*frame);
  if (reader_.failed() && !wasFailed) {
    handle(SessionEvent::brokenFrames, "the helper broke the frame protocol: " + reader_.error());
  }
}

void Session::onFrame(const tools::Frame& frame) {
  switch (frame.type) {
    case kFrameRunning:
      return handle(SessionEvent::running);
    case kFrameError: {
      const std::string text(frame.payload.begin(), frame.payload.end());
      return handle(SessionEvent::helperError,
                    text.empty() ? "the helper reported an unnamed error" : text);
    }
    case kFrameChunk:
      return handle(SessionEvent::chunk, {}, &frame);
    default:
      return;
  }
}

void Session::arm() {
  armed_ = true;
  deadline_ = Clock::time_point::max();
  lastAudio_ = nextDisplay_ = Clock::now();
  if (!helper_->send("A")) {
    handle(SessionEvent::commandsRefused, "the helper stopped reading its commands");
  }
}

void Session::record(const tools::Frame& chunk) {
  noteAudio(Clock::now());
  // The reader has checked that every C payload holds its header.
  switch (recording_.addChunk(*tools::decodeChunk(chunk.payload))) {
    case Recording::Status::Continue:
      return;
    case Recording::Status::Done:
      return handle(SessionEvent::lengthReached);
    case Recording::Status::Failed:
      return handle(SessionEvent::writeFailed, recording_.error());
  }
}

void Session::quit(SessionPhase was) {
  if (was == SessionPhase::recording) noteAudio(Clock::now());  // a gap up to here counts too
  // D first so the pipe quiets down at once; Q quits once the stream has stopped.
  helper_->send("DQ");
  helper_->closeInput();
  deadline_ = Clock::now() + kQuitLimit;
}

void Session::onEndOfOutput() {
  const std::string cut = reader_.failed() ? std::string() : reader_.finish();
  const SessionEvent event = cut.empty() ? SessionEvent::outputEnded : SessionEvent::outputCut;
  if (phase_ == SessionPhase::stopping) {
    return handle(event, "the helper's output ended mid-frame: " + cut);
  }
  // It went away on its own: say so, keep what was recorded.
  const auto status = helper_->waitFor(1s);
  std::string why = "the helper ended unexpectedly";
  if (status) why += " (it " + describeWaitStatus(*status) + ")";
  if (!cut.empty()) why += "; " + cut;
  handle(event, why);  // should it have only closed its output, it still gets Q
}

void Session::finishHelper() {
  if (killed_) return;
  const auto left = std::max(deadline_ - Clock::now(), Clock::duration(500ms));
  const auto status = helper_->waitFor(std::chrono::duration_cast<std::chrono::milliseconds>(left));
  if (!status) {
    failWith("the helper did not quit within " + std::to_string(kQuitLimit.count()) +
             " s; it was killed");
    helper_->kill();
  } else if (!(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)) {
    failWith("the helper " + describeWaitStatus(*status));
  }
}

// Audio came (or the recording ends): a gap before it long enough to show is counted.
void Session::noteAudio(Clock::time_point now) {
  if (now - lastAudio_ >= kSilentHelper) {
    ++gaps_;
    waited_ += now - lastAudio_;
  }
  lastAudio_ = now;
}

bool Session::waitingForAudio(Clock::time_point now) const {
  return phase_ == SessionPhase::recording && now - lastAudio_ >= kSilentHelper;
}

void Session::display(Clock::time_point now) {
  const Progress progress{recording_.secondsWritten(),       setup_.options.seconds,
                          recording_.takeRecentPeak(),       waitingForAudio(now),
                          recording_.samplesOverFullScale(), recording_.chunksReceived()};
  const std::string line = liveLine(progress, setup_.terminalColumns());
  std::fprintf(setup_.messages, "\r%s\033[K", line.c_str());
  std::fflush(setup_.messages);
  nextDisplay_ = now + kDisplayPeriod;
}

void Session::summary() {
  if (!recording_.hasAudio()) {
    if (failure_.empty()) {
      failWith(interrupted_ ? "interrupted before any audio arrived; nothing written"
                            : "no audio arrived; nothing written");
    } else if (armed_ && recording_.error().empty()) {
      say("no audio recorded; " + output_.name() + " not written");
    }
    return;
  }
  const auto& in = *recording_.inputFormat();
  const Options& options = setup_.options;
  std::string rate = std::to_string(recording_.outputRate()) + " Hz";
  if (recording_.outputRate() != in.sampleRate) {
    rate += " (resampled from " + std::to_string(in.sampleRate) + " Hz)";
  }
  char length[64];
  std::snprintf(length, sizeof length, "%.3f s (%llu samples)", recording_.secondsWritten(),
                static_cast<unsigned long long>(recording_.framesWritten()));
  const bool keepsOvers = options.bits == 32 && options.container != Container::Ogg;
  std::string line = output_.name() + ": " + formatName(options.container, options.bits) + ", " +
                     rate + ", " + std::to_string(in.channels) + " ch, " + length + ", peak " +
                     formatDb(recording_.peak()) + ", " +
                     std::to_string(recording_.samplesOverFullScale()) +
                     (keepsOvers ? " samples over full scale (kept)" : " clipped") + ", " +
                     std::to_string(recording_.chunksReceived()) + " blocks from the helper";
  if (gaps_ > 0)
    line += ", waiting for audio " + seconds(waited_) + " in " + std::to_string(gaps_) +
            (gaps_ == 1 ? " gap" : " gaps");
  if (!failure_.empty()) line += " (kept after the failure below)";
  std::fprintf(setup_.messages, "%s\n", line.c_str());
}

}  // namespace zarn::record
