// Test harness: runs an executable as a parent app runs zarn-audio, with pipes on its standard
// input and output, and reads its frames back with deadlines, so a stuck child fails a test.
#pragma once

#include <unistd.h>

#include <chrono>
#include <string_view>

// Frames are decoded by the parents' own frame-stream reader, so the tests read as parents do.
#include "frame_stream.h"

namespace zarn::test {

using std::chrono::milliseconds;
using Bytes = std::vector<std::uint8_t>;
inline constexpr milliseconds kWait{5000};  // how long a read, write or wait waits by default

struct SpawnOptions {
  // False: the child inherits our ignored SIGPIPE, so a closed pipe is EPIPE, not the signal.
  bool sigpipeDefault = true;
  bool nonBlocking = false;           // hands the child O_NONBLOCK pipe ends, as some parents do
  std::vector<std::string> env = {};  // NAME=VALUE, in place of our own NAME
};

using Frame = tools::Frame;
inline Frame errorFrame(const std::string& text) {
  return Frame{'E', Bytes(text.begin(), text.end())};
}
inline const Frame kPong{'O', {}}, kRunning{'R', {}};

// How the child ended: "exit status 0", "signal 9 (Killed)", "timed out and killed; ...".
struct ExitResult {
  std::string ending = "not ended";
  milliseconds cpuTime{0};                         // user + system time the child used
  std::string describe() const { return ending; }  // for failure messages
};

// Frames as a parent sees them: "E(unknown command byte: 10)", "O", "C[1032]".
std::string describe(const Frame& frame);
std::string describe(const std::vector<Frame>& frames);

// The reading end of a pipe of frames. Bytes read but not yet handed out in a frame count as
// buffered, so nothing a test has not looked at goes unnoticed.
class FrameInput {
 public:
  explicit FrameInput(int fd = -1) : fd_(fd) {}  // takes over a non-blocking descriptor
  FrameInput(const FrameInput&) = delete;
  ~FrameInput() { closeFd(fd_); }

  // The next whole frame, or nothing if the output ended or broke the frame format or the
  // deadline passed first. A partly read frame stays buffered for the next call.
  std::optional<Frame> readFrame(milliseconds timeout = kWait);
  // Up to count frames; fewer if the output ends or the deadline passes.
  std::vector<Frame> readFrames(std::size_t count, milliseconds timeout = kWait);
  // Frames until none completes within the quiet period.
  std::vector<Frame> readUntilQuiet(milliseconds quiet = milliseconds(150));
  // True if the output ends within the deadline with no further byte; false if bytes arrive
  // (they stay buffered) or the deadline passes.
  bool outputEndsWithin(milliseconds timeout);
  bool outputEnded() const { return ended_; }
  // Bytes written that are still in the pipe, not yet read by this side.
  std::size_t unreadOutput() const { return inPipe(fd_); }
  std::size_t bufferedBytes() const { return fed_ - taken_; }
  // Why the frames read so far do not end cleanly (a cut frame, a protocol error); "" if they do.
  std::string frameError() const { return reader_.finish(); }
  // The parent stops listening: closes its reading end.
  void closeInput() { closeFd(fd_); }

 protected:
  static std::size_t inPipe(int fd);  // bytes in a pipe that its reader has not taken
  static void closeFd(int& fd);
  int fd_ = -1;

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);  // false: end of output or deadline

  tools::FrameStreamReader reader_;
  std::size_t fed_ = 0, taken_ = 0;  // bytes given to reader_, and those handed out in frames
  bool ended_ = false;
};

class ChildProcess : public FrameInput {
 public:
  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               SpawnOptions options = {});
  // Kills the child if it is still running and reaps it.
  ~ChildProcess();

  // Writes all bytes to the child's standard input; false if the pipe is closed or the child has
  // not taken them within the deadline.
  bool write(std::string_view bytes, milliseconds timeout = kWait);
  void closeStdin() { closeFd(stdin_); }
  // Bytes written to standard input that the child has not read (so far, or ever, once it ended).
  std::size_t unreadInput() const { return inPipe(stdin_); }

  // Waits for the child to end; kills it with SIGKILL if it has not ended by the deadline.
  ExitResult wait(milliseconds timeout = kWait);

  pid_t pid() const { return pid_; }
  // Everything the child wrote to standard error so far.
  std::string stderrText() const;

 private:
  pid_t pid_ = -1;
  bool reaped_ = false, killed_ = false;  // killed_: by wait(), at its deadline
  ExitResult result_;
  int stdin_ = -1, stderr_ = -1;  // stderr_: a memory file, so the child never blocks on it
};

}  // namespace zarn::test
