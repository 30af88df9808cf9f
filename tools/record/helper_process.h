// The helper child: started with pipes on its standard input and output, in a process group of
// its own so that a terminal's Ctrl-C reaches only the recorder, which then quits it in order.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::record {

// The helper's command line: `zarn-audio` beside this executable (started as argv0). A test hook:
// ZARN_AUDIO_HELPER names another program and ZARN_AUDIO_HELPER_ARGS its arguments, one per line.
// Only the recorder reads them; the helper itself reads no environment.
std::vector<std::string> helperCommand(const char* argv0);

class HelperProcess {
 public:
  // Starts the program; on failure returns none and sets error.
  static std::optional<HelperProcess> start(const std::vector<std::string>& argv,
                                            std::string& error);

  HelperProcess(HelperProcess&& other) noexcept;
  HelperProcess& operator=(HelperProcess&&) = delete;
  ~HelperProcess();

  int outputFd() const { return out_; }

  // Writes command bytes; false when the helper no longer reads them.
  bool send(std::string_view bytes);
  void closeInput();

  // Waits up to the limit for the helper to end; its wait status, or none if it still runs.
  std::optional<int> waitFor(std::chrono::milliseconds limit);
  // Ends it for good (SIGKILL) and reaps it.
  int kill();

 private:
  HelperProcess(pid_t pid, int in, int out) : pid_(pid), in_(in), out_(out) {}

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::optional<int> status_;
};

// "exited with status 3", "was killed by signal 9 (Killed)"
std::string describeWaitStatus(int status);

}  // namespace zarn::record
