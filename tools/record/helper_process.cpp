#include "helper_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>

extern char** environ;

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

namespace {

// A pipe whose ends the helper does not inherit but through the descriptors it is handed.
bool makePipe(int fds[2], std::string& error) {
  if (::pipe(fds) != 0) {
    error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return false;
  }
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

// Starts argv with the descriptors as its standard input and output, in a process group of its
// own, with default signal actions (we ignore SIGPIPE, the helper must not) and an empty mask.
// The pid, or -1 with the reason in errorNumber.
pid_t spawn(const std::vector<std::string>& argv, int input, int output, int& errorNumber) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGXFSZ}) sigaddset(&defaults, sig);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  errorNumber = ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return errorNumber == 0 ? pid : -1;
}

}  // namespace

std::optional<HelperProcess> HelperProcess::start(const std::vector<std::string>& argv,
                                                  std::string& error) {
  int toChild[2];
  int fromChild[2];
  if (!makePipe(toChild, error)) return std::nullopt;
  if (!makePipe(fromChild, error)) {
    ::close(toChild[0]);
    ::close(toChild[1]);
    return std::nullopt;
  }
#ifdef F_SETPIPE_SZ
  // Room for a good second of audio, so the helper never waits on us while we gather blocks.
  ::fcntl(fromChild[0], F_SETPIPE_SZ, 1 << 20);
#endif
  int errorNumber = 0;
  const pid_t pid = spawn(argv, toChild[0], fromChild[1], errorNumber);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (pid < 0) {
    error = "cannot start the helper " + argv[0] + ": " + std::strerror(errorNumber);
    ::close(toChild[1]);
    ::close(fromChild[0]);
    return std::nullopt;
  }
  return HelperProcess(pid, toChild[1], fromChild[0]);
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
