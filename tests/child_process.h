// Test harness: runs an executable as a parent app runs zarn-audio, with pipes on its standard
// input and output, and reads its frames back with deadlines, so a stuck child fails a test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::test {

using std::chrono::milliseconds;

struct SpawnOptions {
  // False: the child inherits our ignored SIGPIPE, so a closed pipe is EPIPE, not the signal.
  bool sigpipeDefault = true;
  // Hands the child O_NONBLOCK pipe ends, as some parents do.
  bool nonBlockingStdin = false;
  bool nonBlockingStdout = false;
};

struct Frame {
  std::uint8_t type = 0;
  std::vector<std::uint8_t> payload;

  std::string text() const { return std::string(payload.begin(), payload.end()); }
  friend bool operator==(const Frame&, const Frame&) = default;
};

struct ExitResult {
  bool timedOut = false;  // did not end in time and was killed
  bool exited = false;    // ended by exit(); status is valid
  int status = -1;
  int signal = 0;                // the signal that ended it, if any
  milliseconds cpuTime{0};       // user + system time the child used
  std::string describe() const;  // for failure messages
};

// Frames as a parent sees them: "E(unknown command byte: 10)", "O", "C[1032]".
std::string describe(const Frame& frame);
std::string describe(const std::vector<Frame>& frames);

class ChildProcess {
 public:
  ChildProcess(const std::string& path, const std::vector<std::string>& args,
               SpawnOptions options = {});
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Kills the child if it is still running and reaps it.
  ~ChildProcess();

  // Writes all bytes to the child's standard input; false if the pipe is closed or the child has
  // not taken them within the deadline.
  bool write(std::string_view bytes, milliseconds timeout = milliseconds(5000));
  void closeStdin();
  // Bytes written to standard input that the child has not read (so far, or ever, once it ended).
  std::size_t unreadInput() const;
  // The parent stops listening: closes its reading end of the child's standard output.
  void closeStdout();

  // The next whole frame, or nothing if the output ended or the deadline passed first. A partly
  // read frame stays buffered for the next call.
  std::optional<Frame> readFrame(milliseconds timeout = milliseconds(5000));
  // Up to count frames; fewer if the output ends or the deadline passes.
  std::vector<Frame> readFrames(std::size_t count, milliseconds timeout = milliseconds(5000));
  // Exactly n raw bytes (fewer on end of output or deadline), for byte-exact checks.
  std::vector<std::uint8_t> readBytes(std::size_t n, milliseconds timeout = milliseconds(5000));
  // Everything until the child closes its standard output (normally: ends).
  std::vector<std::uint8_t> readToEnd(milliseconds timeout = milliseconds(5000));
  // True if the output ends within the deadline with no further byte; false if bytes arrive
  // (they stay buffered) or the deadline passes.
  bool outputEndsWithin(milliseconds timeout);
  bool outputEnded() const { return outputEnded_; }
  // Bytes the child has written that are still in the pipe, not yet read by this side.
  std::size_t unreadOutput() const;
  std::size_t bufferedBytes() const { return pending_.size() - consumed_; }

  // Waits for the child to end; kills it with SIGKILL if it has not ended by the deadline.
  ExitResult wait(milliseconds timeout = milliseconds(5000));
  bool running();

  // Everything the child wrote to standard error so far.
  std::string stderrText() const;

 private:
  bool fill(std::chrono::steady_clock::time_point deadline);  // false: end of output or deadline

  pid_t pid_ = -1;
  bool reaped_ = false;
  ExitResult result_;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;  // a memory file, so a child that writes much never blocks on it
  bool outputEnded_ = false;
  std::vector<std::uint8_t> pending_;
  std::size_t consumed_ = 0;
};

}  // namespace zarn::test
