#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace zarn::test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : left > 1'000'000 ? 1'000'000 : static_cast<int>(left);
}

void setNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::size_t pending(int fd) {
  int count = 0;
  return fd >= 0 && ::ioctl(fd, FIONREAD, &count) == 0 ? static_cast<std::size_t>(count) : 0;
}

}  // namespace

std::string ExitResult::describe() const {
  const std::string text = timedOut ? "timed out and killed; " : "";
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
  // A parent that closes a pipe must see EPIPE, not die of it.
  [[maybe_unused]] static const bool ignored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  int in[2], out[2];
  stderr_ = ::memfd_create("child-stderr", MFD_CLOEXEC);
  if (stderr_ < 0 || ::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("cannot make the child's pipes");
  if (options.nonBlockingStdin) setNonBlocking(in[0]);
  if (options.nonBlockingStdout) setNonBlocking(out[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, stderr_, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, pipeOnly;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &pipeOnly);
  posix_spawnattr_setflags(
      &attributes, POSIX_SPAWN_SETSIGMASK | (options.sigpipeDefault ? POSIX_SPAWN_SETSIGDEF : 0));

  std::vector<char*> argv{const_cast<char*>(path.c_str())};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const int failed =
      ::posix_spawn(&pid_, path.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  ::close(out[1]);
  stdin_ = in[1];
  stdout_ = out[0];
  if (failed != 0) {
    closeStdin();
    closeStdout();
    closeFd(stderr_);
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(failed));
  }
  // Our own ends are non-blocking so every wait below has a deadline.
  setNonBlocking(stdin_);
  setNonBlocking(stdout_);
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    wait(milliseconds(10000));
  }
  closeStdin();
  closeStdout();
  closeFd(stderr_);
}

bool ChildProcess::write(std::string_view bytes, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (stdin_ >= 0 && !bytes.empty()) {
    const ssize_t written = ::write(stdin_, bytes.data(), bytes.size());
    if (written > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(written));
    } else if (errno != EINTR) {
      pollfd entry{stdin_, POLLOUT, 0};
      if (errno != EAGAIN || remainingMs(deadline) == 0) return false;
      ::poll(&entry, 1, remainingMs(deadline));
    }
  }
  return stdin_ >= 0;
}

void ChildProcess::closeStdin() {
  closeFd(stdin_);
}

void ChildProcess::closeStdout() {
  closeFd(stdout_);
}

std::size_t ChildProcess::unreadInput() const {
  return pending(stdin_);
}

std::size_t ChildProcess::unreadOutput() const {
  return pending(stdout_);
}

bool ChildProcess::fill(Clock::time_point deadline) {
  if (stdout_ < 0 || outputEnded_) return false;
  if (consumed_ > 0 && consumed_ * 2 >= pending_.size()) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  for (;;) {
    std::uint8_t chunk[65536];
    const ssize_t got = ::read(stdout_, chunk, sizeof chunk);
    if (got > 0) {
      pending_.insert(pending_.end(), chunk, chunk + got);
      return true;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got == 0 || errno != EAGAIN) {
      outputEnded_ = true;
      return false;
    }
    if (remainingMs(deadline) == 0) return false;
    pollfd entry{stdout_, POLLIN, 0};
    ::poll(&entry, 1, remainingMs(deadline));
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
  const auto start = pending_.begin() + static_cast<std::ptrdiff_t>(consumed_);
  Frame frame{*start, {start + 5, start + 5 + static_cast<std::ptrdiff_t>(length)}};
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
  const auto start = pending_.begin() + static_cast<std::ptrdiff_t>(consumed_);
  consumed_ += n;
  return {start, start + static_cast<std::ptrdiff_t>(n)};
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
  return !reaped_ && !wait(milliseconds(0)).exited && !reaped_;
}

ExitResult ChildProcess::wait(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  bool killed = false;
  while (!reaped_) {
    int status = 0;
    rusage usage{};
    const pid_t done = ::wait4(pid_, &status, killed ? 0 : WNOHANG, &usage);
    if (done < 0 && errno == EINTR) continue;
    if (done == pid_) {
      auto toMs = [](const timeval& t) { return t.tv_sec * 1000 + t.tv_usec / 1000; };
      result_ = {killed, WIFEXITED(status) != 0, WIFEXITED(status) ? WEXITSTATUS(status) : -1,
                 WIFSIGNALED(status) ? WTERMSIG(status) : 0,
                 milliseconds(toMs(usage.ru_utime) + toMs(usage.ru_stime))};
    }
    reaped_ = done != 0;  // done < 0: not our child any more, nothing to wait for
    if (reaped_) break;
    if (Clock::now() >= deadline) {
      if (timeout.count() == 0) return ExitResult{};  // a poll, not a wait
      ::kill(pid_, SIGKILL);
      killed = true;
    } else {
      std::this_thread::sleep_for(milliseconds(2));
    }
  }
  return result_;
}

std::string ChildProcess::stderrText() const {
  struct stat info {};
  std::string text(::fstat(stderr_, &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0, '\0');
  const ssize_t got = ::pread(stderr_, text.data(), text.size(), 0);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return text;
}

}  // namespace zarn::test
