#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "spawn_on_pipes.h"

namespace zarn::test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 1'000'000));
}

}  // namespace

std::string describe(const Frame& frame) {
  const std::size_t size = frame.payload.size();
  if (frame.type == 'E')
    return "E(" + std::string(frame.payload.begin(), frame.payload.end()) + ")";
  return char(frame.type) + (size == 0 ? "" : "[" + std::to_string(size) + "]");
}

std::string describe(const std::vector<Frame>& frames) {
  std::string text;
  for (const auto& frame : frames) text += (text.empty() ? "" : " ") + describe(frame);
  return text;
}

std::size_t FrameInput::inPipe(int fd) {
  int count = 0;
  return fd >= 0 && ::ioctl(fd, FIONREAD, &count) == 0 ? static_cast<std::size_t>(count) : 0;
}

void FrameInput::closeFd(int& fd) {
  if (fd >= 0) ::close(std::exchange(fd, -1));
}

bool FrameInput::fill(Clock::time_point deadline) {
  for (pollfd entry{fd_, POLLIN, 0}; fd_ >= 0 && !ended_;) {
    std::uint8_t chunk[65536];
    const ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got > 0) return reader_.feed({chunk, std::size_t(got)}), fed_ += std::size_t(got), true;
    ended_ = got == 0 || (errno != EAGAIN && errno != EINTR);
    if (!ended_ && errno == EAGAIN && ::poll(&entry, 1, remainingMs(deadline)) == 0) return false;
  }
  return false;
}

std::optional<Frame> FrameInput::readFrame(milliseconds timeout) {
  for (const auto deadline = Clock::now() + timeout;;) {
    if (auto frame = reader_.next()) {
      taken_ += kFrameHeaderSize + frame->payload.size();
      return frame;
    }
    if (reader_.failed() || !fill(deadline)) return std::nullopt;
  }
}

std::vector<Frame> FrameInput::readFrames(std::size_t count, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::vector<Frame> frames;
  for (std::optional<Frame> frame;
       frames.size() < count && (frame = readFrame(milliseconds(remainingMs(deadline))));)
    frames.push_back(std::move(*frame));
  return frames;
}

std::vector<Frame> FrameInput::readUntilQuiet(milliseconds quiet) {
  std::vector<Frame> frames;
  while (auto frame = readFrame(quiet)) frames.push_back(std::move(*frame));
  return frames;
}

bool FrameInput::outputEndsWithin(milliseconds timeout) {
  const std::size_t before = bufferedBytes();
  fill(Clock::now() + timeout);
  return ended_ && bufferedBytes() == before;
}

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args,
                           SpawnOptions options) {
  // A parent that closes a pipe must see EPIPE, not die of it.
  [[maybe_unused]] static const bool ignored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
  // A file of the child's own for its standard error: it never blocks the child, and it goes away
  // with the last descriptor.
  std::FILE* file = std::tmpfile();
  stderr_ = file ? ::fcntl(::fileno(file), F_DUPFD_CLOEXEC, 0) : -1;
  if (file) std::fclose(file);
  if (stderr_ < 0) throw std::runtime_error("cannot make the child's standard error");
  tools::SpawnOptions spawn;
  if (options.sigpipeDefault) spawn.defaultSignals = {SIGPIPE};
  spawn.childEndsNonBlocking = options.nonBlocking;
  spawn.stderrFd = stderr_;
  spawn.env = std::move(options.env);
  std::vector<std::string> argv{path};
  argv.insert(argv.end(), args.begin(), args.end());
  int failed = 0;
  const auto child = tools::spawnOnPipes(argv, spawn, failed);
  if (!child) {
    closeFd(stderr_);  // this destructor will not run
    throw std::runtime_error("cannot start " + path + ": " + std::strerror(failed));
  }
  pid_ = child->pid;
  // Our own ends are non-blocking, so every wait has a deadline.
  for (int fd : {stdin_ = child->input, fd_ = child->output})
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (!reaped_) ::kill(pid_, SIGKILL), wait(milliseconds(10000));
  closeFd(stdin_), closeFd(stderr_);
}

bool ChildProcess::write(std::string_view bytes, milliseconds timeout) {
  for (const auto deadline = Clock::now() + timeout; stdin_ >= 0 && !bytes.empty();) {
    const ssize_t written = ::write(stdin_, bytes.data(), bytes.size());
    pollfd entry{stdin_, POLLOUT, 0};
    if (written > 0) bytes.remove_prefix(static_cast<std::size_t>(written));
    if (written > 0 || errno == EINTR) continue;
    if (errno != EAGAIN || ::poll(&entry, 1, remainingMs(deadline)) == 0) return false;
  }
  return stdin_ >= 0;
}

ExitResult ChildProcess::wait(milliseconds timeout) {
  for (const auto deadline = Clock::now() + timeout; !reaped_;) {
    int status = 0;
    rusage usage{};
    const pid_t done = ::wait4(pid_, &status, killed_ ? 0 : WNOHANG, &usage);
    if (done == 0 && timeout.count() == 0) return ExitResult{};  // a poll, not a wait
    if (done == 0 && Clock::now() >= deadline) killed_ = ::kill(pid_, SIGKILL) == 0;
    if (done == 0) ::usleep(2000);
    reaped_ = done > 0 || (done < 0 && errno != EINTR);  // done < 0: not our child any more
    if (done <= 0) continue;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    const std::string how = WIFEXITED(status)
                                ? "exit status " + std::to_string(code)
                                : "signal " + std::to_string(code) + " (" + strsignal(code) + ")";
    auto ms = [](const timeval& t) { return milliseconds(t.tv_sec * 1000 + t.tv_usec / 1000); };
    result_ = {(killed_ ? "timed out and killed; " : "") + how,
               ms(usage.ru_utime) + ms(usage.ru_stime)};
  }
  return result_;
}

std::string ChildProcess::stderrText() const {
  // Read from the start whatever the child has written, without moving its offset.
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = ::pread(stderr_, chunk, sizeof chunk, off_t(text.size()))) > 0;)
    text.append(chunk, static_cast<std::size_t>(n));
  return text;
}

}  // namespace zarn::test
