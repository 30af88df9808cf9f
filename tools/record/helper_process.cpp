#include "helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>

#include "spawn_on_pipes.h"

namespace zarn::record {

std::vector<std::string> helperCommand(const char* argv0) {
  if (const char* hook = std::getenv("ZARN_AUDIO_HELPER"); hook && *hook) {
    std::vector<std::string> words{hook};
    if (const char* args = std::getenv("ZARN_AUDIO_HELPER_ARGS"); args && *args) {
      std::istringstream in(args);
      for (std::string line; std::getline(in, line);) words.push_back(line);
    }
    return words;
  }
  // Linux names the executable in /proc; elsewhere the path it was started by will do.
  std::string path = argv0;
#ifdef __linux__
  char self[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) path.assign(self, static_cast<std::size_t>(n));
#endif
  const auto slash = path.find_last_of('/');
  return {(slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/zarn-audio"};
}

std::optional<HelperProcess> HelperProcess::start(const std::vector<std::string>& argv,
                                                  std::string& error) {
  // Default signal actions (we ignore SIGPIPE, the helper must not), in a group of its own.
  tools::SpawnOptions options;
  options.defaultSignals = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGXFSZ};
  options.ownProcessGroup = true;
  int errorNumber = 0;
  const std::optional<tools::SpawnedChild> child = tools::spawnOnPipes(argv, options, errorNumber);
  if (!child) {
    error = "cannot start the helper " + argv[0] + ": " + std::strerror(errorNumber);
    return std::nullopt;
  }
#ifdef F_SETPIPE_SZ
  // Room for a good second of audio, so the helper never waits on us while we gather blocks.
  ::fcntl(child->output, F_SETPIPE_SZ, 1 << 20);
#endif
  return HelperProcess(child->pid, child->input, child->output);
}

HelperProcess::HelperProcess(HelperProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      in_(std::exchange(other.in_, -1)),
      out_(std::exchange(other.out_, -1)),
      status_(other.status_) {}

HelperProcess::~HelperProcess() {
  closeInput();
  if (out_ >= 0) ::close(out_);
  // Never leave a helper behind: it would hold the sound server's stream open.
  if (pid_ > 0 && !status_) kill();
}

bool HelperProcess::send(std::string_view bytes) {
  while (!bytes.empty() && in_ >= 0) {
    const ssize_t n = ::write(in_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return bytes.empty();
}

void HelperProcess::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

std::optional<int> HelperProcess::waitFor(std::chrono::milliseconds limit) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = status;
      return status_;
    }
    if (r < 0 && errno != EINTR) {
      status_ = -1;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int HelperProcess::kill() {
  if (status_) return *status_;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  status_ = status;
  return status;
}

std::string describeWaitStatus(int status) {
  if (status == -1) return "vanished";
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    return "was killed by signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
  }
  return "ended with wait status " + std::to_string(status);
}

}  // namespace zarn::record
