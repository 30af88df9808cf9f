// zarn-audio-record: records what the computer plays into a file, by driving the zarn-audio
// helper the way any parent would: start it, wait for R, arm with A, take C frames, quit with Q.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "frame_stream.h"
#include "helper_process.h"
#include "options.h"
#include "recording.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using zarn::parent::FrameStreamReader;
namespace rec = zarn::record;

constexpr auto kStartLimit = 15s;  // a sound server answers in well under a second
constexpr auto kQuitLimit = 5s;    // the helper waits for its stream to stop, then exits
constexpr auto kDisplayPeriod = 200ms;
constexpr int kGatherMs = 20;  // the pipe is made to hold far more than this much audio

int signalPipe[2] = {-1, -1};
volatile sig_atomic_t lastSignal = 0;

void onSignal(int sig) {
  const int saved = errno;
  lastSignal = sig;
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

bool installSignals(std::string& error) {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return false;
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A helper that died must show as a failed write, not end the recorder before it closes the file.
  signal(SIGPIPE, SIG_IGN);
  return true;
}

std::string formatTime(double seconds) {
  if (seconds < 0) seconds = 0;
  const auto tenths = static_cast<long long>(seconds * 10);
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld.%lld", tenths / 600, tenths / 10 % 60,
                tenths % 10);
  return text;
}

std::string formatDb(float peak) {
  const double db = rec::toDbfs(peak);
  if (std::isinf(db)) return "-inf dBFS";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f dBFS", db);
  return text;
}

// A bar over -60..0 dBFS.
std::string meter(float peak) {
  constexpr int kWidth = 20;
  const double db = rec::toDbfs(peak);
  int filled = std::isinf(db) ? 0 : static_cast<int>(std::lround((db + 60.0) / 60.0 * kWidth));
  filled = std::clamp(filled, 0, kWidth);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(kWidth - filled), '-') + "]";
}

class Session {
 public:
  explicit Session(const rec::Options& options)
      : options_(options),
        recording_(options.output, options.container, options.rate, options.seconds),
        live_(::isatty(STDERR_FILENO) == 1) {}

  int run() {
    std::string error;
    if (!installSignals(error)) return report(error);
    auto helper = rec::HelperProcess::start(rec::helperCommand(), error);
    if (!helper) return report(error);
    helper_ = &*helper;
    deadline_ = Clock::now() + kStartLimit;
    loop();
    finishHelper();
    if (const std::string why = recording_.close(); !why.empty() && failure_.empty()) {
      failure_ = why;
    }
    if (live_ && armed_) std::fputs("\r\033[K", stderr);
    summary();
    if (!failure_.empty()) return report(failure_);
    return 0;
  }

 private:
  enum class Phase { Starting, Recording, Stopping };

  int report(const std::string& message) {
    std::fprintf(stderr, "zarn-audio-record: %s\n", message.c_str());
    return 1;
  }

  void failWith(std::string message) {
    if (failure_.empty()) failure_ = std::move(message);
  }

  void stop() {
    if (phase_ == Phase::Stopping) return;
    phase_ = Phase::Stopping;
    // D first so the pipe quiets down at once; Q quits once the stream has stopped.
    helper_->send("DQ");
    helper_->closeInput();
    deadline_ = Clock::now() + kQuitLimit;
  }

  void loop() {
    std::vector<std::uint8_t> buffer(64 * 1024);
    auto nextDisplay = Clock::now();
    for (;;) {
      const auto now = Clock::now();
      if (now >= deadline_) {
        if (phase_ == Phase::Starting) {
          failWith("the helper did not report a running stream within " +
                   std::to_string(kStartLimit.count()) + " s");
          stop();
          continue;
        }
        if (phase_ == Phase::Stopping) {
          failWith("the helper did not quit within " + std::to_string(kQuitLimit.count()) +
                   " s; it was killed");
          helper_->kill();
          return;
        }
      }
      auto wake = deadline_;
      if (live_ && phase_ == Phase::Recording) wake = std::min(wake, nextDisplay);
      const auto timeout =
          std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count() + 1;

      pollfd fds[2] = {{helper_->outputFd(), POLLIN, 0}, {signalPipe[0], POLLIN, 0}};
      // Wake at least once a second: no deadline while recording is time_point::max().
      const int ready = ::poll(fds, 2, static_cast<int>(std::clamp<long long>(timeout, 0, 1000)));
      if (ready < 0 && errno != EINTR) {
        failWith(std::string("poll failed: ") + std::strerror(errno));
        stop();
        return;
      }
      if (ready > 0 && (fds[1].revents & POLLIN)) onSignal();
      if (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
        const ssize_t n = ::read(helper_->outputFd(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
          onEndOfOutput();
          return;
        }
        onBytes(std::span(buffer.data(), static_cast<std::size_t>(n)));
        // Let a few blocks gather in the pipe before the next read: audio blocks are a few
        // milliseconds long, and a wake-up for each would cost more than the work on it. A signal
        // ends the pause at once.
        if (phase_ == Phase::Recording) ::poll(&fds[1], 1, kGatherMs);
      }
      if (live_ && phase_ == Phase::Recording && Clock::now() >= nextDisplay) {
        display();
        nextDisplay = Clock::now() + kDisplayPeriod;
      }
    }
  }

  void onSignal() {
    char drain[16];
    while (::read(signalPipe[0], drain, sizeof drain) > 0) {
    }
    if (phase_ == Phase::Starting) failWith("interrupted before the recording started");
    interrupted_ = true;
    stop();
  }

  void onBytes(std::span<const std::uint8_t> bytes) {
    const bool wasFailed = reader_.failed();
    reader_.feed(bytes);
    while (auto frame = reader_.next()) onFrame(*frame);
    if (reader_.failed() && !wasFailed) {
      failWith("the helper broke the frame protocol: " + reader_.error());
      stop();
    }
  }

  void onFrame(const zarn::parent::Frame& frame) {
    switch (frame.type) {
      case zarn::parent::kFrameRunning:
        if (phase_ == Phase::Starting) {
          phase_ = Phase::Recording;
          armed_ = true;
          deadline_ = Clock::time_point::max();
          if (!helper_->send("A")) {
            failWith("the helper stopped reading its commands");
            stop();
          }
        }
        break;
      case zarn::parent::kFrameError: {
        const std::string text(frame.payload.begin(), frame.payload.end());
        const std::string message = text.empty() ? "the helper reported an unnamed error" : text;
        // Once the recording has ended (done, interrupted or failed) a late error changes
        // nothing about the file; it is shown, not made the outcome.
        if (phase_ == Phase::Stopping) {
          std::fprintf(stderr, "zarn-audio-record: helper: %s\n", message.c_str());
        } else {
          failWith(message);
          stop();
        }
        break;
      }
      case zarn::parent::kFrameChunk:
        if (phase_ == Phase::Recording) onChunk(frame);
        break;
      default:
        break;
    }
  }

  void onChunk(const zarn::parent::Frame& frame) {
    if (recording_.chunksReceived() == 0) firstChunkAt_ = Clock::now();
    // The reader has checked that every C payload holds its header.
    const auto chunk = zarn::parent::decodeChunk(frame.payload);
    switch (recording_.addChunk(*chunk)) {
      case rec::Recording::Status::Continue:
        break;
      case rec::Recording::Status::Done:
        stop();
        break;
      case rec::Recording::Status::Failed:
        failWith(recording_.error());
        stop();
        break;
    }
  }

  void onEndOfOutput() {
    if (phase_ != Phase::Stopping) {
      // It went away on its own: say so, keep what was recorded.
      const auto status = helper_->waitFor(1s);
      std::string why = "the helper ended unexpectedly";
      if (status) why += " (it " + rec::describeWaitStatus(*status) + ")";
      if (const std::string cut = reader_.finish(); !cut.empty() && !reader_.failed()) {
        why += "; " + cut;
      }
      failWith(why);
      stop();  // should it have only closed its output, it still gets Q and a deadline
    } else if (const std::string cut = reader_.finish(); !cut.empty() && !reader_.failed()) {
      failWith("the helper's output ended mid-frame: " + cut);
    }
  }

  void finishHelper() {
    auto status = helper_->waitFor(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(deadline_ - Clock::now(), Clock::duration(500ms))));
    if (!status) {
      failWith("the helper did not quit within " + std::to_string(kQuitLimit.count()) +
               " s; it was killed");
      helper_->kill();
      return;
    }
    if (!(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)) {
      failWith("the helper " + rec::describeWaitStatus(*status));
    }
  }

  void display() {
    // Wall time since audio began to flow: next to the seconds written it shows that none was
    // lost (a sound server may take a moment to deliver the first block).
    const double elapsed =
        recording_.chunksReceived() == 0
            ? 0.0
            : std::chrono::duration<double>(Clock::now() - firstChunkAt_).count();
    std::string line = "\r" + formatTime(elapsed);
    if (options_.seconds) line += " / " + formatTime(*options_.seconds);
    const float recent = recording_.takeRecentPeak();
    line += "  " + meter(recent) + " " + formatDb(recent);
    char counters[96];
    std::snprintf(counters, sizeof counters, "  frames %llu  written %.2f s",
                  static_cast<unsigned long long>(recording_.chunksReceived()),
                  recording_.secondsWritten());
    line += counters;
    line += "\033[K";
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
  }

  void summary() {
    if (!recording_.fileOpened()) {
      if (failure_.empty()) {
        failWith(interrupted_ ? "interrupted before any audio arrived; nothing written"
                              : "no audio arrived; nothing written");
      } else if (armed_) {
        std::fprintf(stderr, "zarn-audio-record: no audio recorded; %s not written\n",
                     options_.output.c_str());
      }
      return;
    }
    const auto& in = *recording_.inputFormat();
    std::string rate = std::to_string(recording_.outputRate()) + " Hz";
    if (recording_.outputRate() != in.sampleRate) {
      rate += " (resampled from " + std::to_string(in.sampleRate) + " Hz)";
    }
    std::fprintf(stderr, "%s: %.*s, %s, %u ch, %.2f s, peak %s, %llu frames received%s\n",
                 options_.output.c_str(),
                 static_cast<int>(rec::containerName(options_.container).size()),
                 rec::containerName(options_.container).data(), rate.c_str(),
                 static_cast<unsigned>(in.channels), recording_.secondsWritten(),
                 formatDb(recording_.peak()).c_str(),
                 static_cast<unsigned long long>(recording_.chunksReceived()),
                 failure_.empty() ? "" : " (kept after the failure below)");
  }

  const rec::Options& options_;
  rec::Recording recording_;
  const bool live_;
  rec::HelperProcess* helper_ = nullptr;
  FrameStreamReader reader_;
  Phase phase_ = Phase::Starting;
  Clock::time_point deadline_;
  Clock::time_point firstChunkAt_;
  bool armed_ = false;
  bool interrupted_ = false;
  std::string failure_;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string_view> args(argv + 1, argv + argc);
  const rec::ParsedCommandLine parsed = rec::parseCommandLine(args);
  switch (parsed.action) {
    case rec::Action::Help:
      std::printf("%s\n\n%s", rec::kUsageLine, rec::kHelpText);
      return 0;
    case rec::Action::Version:
      std::printf("zarn-audio-record %s\n", ZARN_VERSION);
      return 0;
    case rec::Action::UsageError:
      std::fprintf(stderr, "zarn-audio-record: %s\n%s\nTry 'zarn-audio-record --help'.\n",
                   parsed.error.c_str(), rec::kUsageLine);
      return 2;
    case rec::Action::Record:
      break;
  }
  // Find out now, not after the helper has started, if the file cannot be made at all.
  const std::string& output = parsed.options.output;
  const auto slash = output.find_last_of('/');
  const std::string dir =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : output.substr(0, slash));
  if (::access(dir.c_str(), W_OK | X_OK) != 0) {
    std::fprintf(stderr, "zarn-audio-record: cannot create %s: %s\n", output.c_str(),
                 std::strerror(errno));
    return 1;
  }
  Session session(parsed.options);
  return session.run();
}
