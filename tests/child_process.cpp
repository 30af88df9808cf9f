#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace zarn::test {
namespace {

using Clock = std::chrono::steady_clock;

// A parent that closes a pipe must see EPIPE, not die of it.
void ignoreSigpipeOnce() {
  static const bool done = [] {
    ::signal(SIGPIPE, SIG_IGN);
    return true;
  }();
  (void)done;
}

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > 1'000'000 ? 1'000'000 : static_cast<int>(left);
}

void makePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
}

void setNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::string ExitResult::describe() const {
  std::string text;
  if (timedOut) text = "timed out and killed; ";
  if (exited) return text + "exit status " + std::to_string(status);
  if (signal != 0)
    return text + "signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  return text + "not ended";
}

std::string describe(const Frame& frame) {
  std::string text(1, static_cast<char>(frame.type));
  if (frame.type == 'E') return text + "(" + frame.text() + ")";
  if (!frame.payload.empty()) text += "[" + std::to_string(frame.payload.size()) + "]";
  return text;
}

std::string describe(const std::vector<Frame>& frames) {
  std::string text;
  for (const auto& frame : frames) text += (text.empty() ? "" : " ") + describe(frame);
  return text;
}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           SpawnOptions options) {
  ignoreSigpipeOnce();
  int in[2], out[2], err[2];
  makePipe(in);
  makePipe(out);
  makePipe(err);
  if (options.nonBlockingStdin) setNonBlocking(in[0]);
  if (options.nonBlockingStdout) setNonBlocking(out[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  short flags = POSIX_SPAWN_SETSIGMASK;
  if (options.sigpipeDefault) {
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &pipeOnly);
    flags |= POSIX_SPAWN_SETSIGDEF;
  }
  posix_spawnattr_setflags(&attributes, flags);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  const int failed =
      ::posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  if (failed != 0) {
    ::close(in[1]);
    ::close(out[0]);
    ::close(err[0]);
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(failed));
  }
  stdin_ = in[1];
  stdout_ = out[0];
  stderr_ = err[0];
  // Our own ends are non-blocking so every wait below has a deadline.
  setNonBlocking(stdin_);
  setNonBlocking(stdout_);

  stderrReader_ = std::thread([this, fd = stderr_] {
    char chunk[4096];
    for (;;) {
      ssize_t got = ::read(fd, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return;
      std::lock_guard<std::mutex> hold(stderrMutex_);
      stderrText_.append(chunk, static_cast<std::size_t>(got));
    }
  });
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    wait(milliseconds(10000));
  }
  closeStdin();
  closeStdout();
  // The stderr pipe ends when the child (and anything it started) has gone.
  if (stderrReader_.joinable()) stderrReader_.join();
  closeFd(stderr_);
}

bool ChildProcess::write(std::string_view bytes, milliseconds timeout) {
  if (stdin_ < 0) return false;
  const auto deadline = Clock::now() + timeout;
  while (!bytes.empty()) {
    ssize_t written = ::write(stdin_, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
      continue;
    }
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno != EAGAIN) return false;
    pollfd entry{stdin_, POLLOUT, 0};
    if (remainingMs(deadline) == 0) return false;
    ::poll(&entry, 1, remainingMs(deadline));
  }
  return true;
}

void ChildProcess::closeStdin() {
  closeFd(stdin_);
}

std::size_t ChildProcess::unreadInput() const {
  int count = 0;
  if (stdin_ < 0 || ::ioctl(stdin_, FIONREAD, &count) != 0) return 0;
  return static_cast<std::size_t>(count);
}

std::size_t ChildProcess::unreadOutput() const {
  int count = 0;
  if (stdout_ < 0 || ::ioctl(stdout_, FIONREAD, &count) != 0) return 0;
  return static_cast<std::size_t>(count);
}

void ChildProcess::closeStdout() {
  closeFd(stdout_);
}

bool ChildProcess::fill(Clock::time_point deadline) {
  if (stdout_ < 0 || outputEnded_) return false;
  if (consumed_ > 0 && consumed_ * 2 >= pending_.size()) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  for (;;) {
    std::uint8_t chunk[65536];
    ssize_t got = ::read(stdout_, chunk, sizeof chunk);
    if (got > 0) {
      pending_.insert(pending_.end(), chunk, chunk + got);
      return true;
    }
    if (got == 0) {
      outputEnded_ = true;
      return false;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      outputEnded_ = true;
      return false;
    }
    const int left = remainingMs(deadline);
    if (left == 0) return false;
    pollfd entry{stdout_, POLLIN, 0};
    ::poll(&entry, 1, left);
  }
}

std::optional<Frame> ChildProcess::readFrame(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (bufferedBytes() < 5) {
    if (!fill(deadline)) return std::nullopt;
  }
  const std::uint8_t* header = pending_.data() + consumed_;
  const std::size_t length = std::size_t{header[1]} | std::size_t{header[2]} << 8 |
                             std::size_t{header[3]} << 16 | std::size_t{header[4]} << 24;
  while (bufferedBytes() < 5 + length) {
    if (!fill(deadline)) return std::nullopt;
  }
  Frame frame;
  frame.type = pending_[consumed_];
  auto start = pending_.begin() + static_cast<std::ptrdiff_t>(consumed_ + 5);
  frame.payload.assign(start, start + static_cast<std::ptrdiff_t>(length));
  consumed_ += 5 + length;
  return frame;
}

std::vector<Frame> ChildProcess::readFrames(std::size_t count, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<Frame> frames;
  while (frames.size() < count) {
    auto frame = readFrame(milliseconds(remainingMs(deadline)));
    if (!frame) break;
    frames.push_back(std::move(*frame));
  }
  return frames;
}

std::vector<std::uint8_t> ChildProcess::readBytes(std::size_t n, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (bufferedBytes() < n && fill(deadline)) {
  }
  n = std::min(n, bufferedBytes());
  auto start = pending_.begin() + static_cast<std::ptrdiff_t>(consumed_);
  std::vector<std::uint8_t> bytes(start, start + static_cast<std::ptrdiff_t>(n));
  consumed_ += n;
  return bytes;
}

std::vector<std::uint8_t> ChildProcess::readToEnd(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (fill(deadline)) {
  }
  return readBytes(bufferedBytes(), milliseconds(0));
}

bool ChildProcess::outputEndsWithin(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const std::size_t before = bufferedBytes();
  while (!outputEnded_ && bufferedBytes() == before) {
    if (!fill(deadline) && !outputEnded_) return false;
  }
  return outputEnded_ && bufferedBytes() == before;
}

bool ChildProcess::running() {
  if (reaped_) return false;
  return !wait(milliseconds(0)).exited && !reaped_;
}

ExitResult ChildProcess::wait(milliseconds timeout) {
  if (reaped_) return result_;
  const auto deadline = Clock::now() + timeout;
  bool killed = false;
  for (;;) {
    int status = 0;
    rusage usage{};
    pid_t done = ::wait4(pid_, &status, killed ? 0 : WNOHANG, &usage);
    if (done == pid_) {
      reaped_ = true;
      result_.timedOut = killed;
      result_.exited = WIFEXITED(status);
      result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      result_.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
      auto toMs = [](const timeval& t) { return t.tv_sec * 1000 + t.tv_usec / 1000; };
      result_.cpuTime = milliseconds(toMs(usage.ru_utime) + toMs(usage.ru_stime));
      return result_;
    }
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) {  // not our child any more; nothing to wait for
      reaped_ = true;
      return result_;
    }
    if (Clock::now() >= deadline) {
      if (timeout.count() == 0) return ExitResult{};  // a poll, not a wait
      ::kill(pid_, SIGKILL);
      killed = true;
      continue;
    }
    std::this_thread::sleep_for(milliseconds(2));
  }
}

std::string ChildProcess::stderrText() {
  // Once the child has ended its error pipe reaches its end, so everything is in.
  if (reaped_ && stderrReader_.joinable()) stderrReader_.join();
  std::lock_guard<std::mutex> hold(stderrMutex_);
  return stderrText_;
}

}  // namespace zarn::test
