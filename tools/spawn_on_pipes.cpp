#include "spawn_on_pipes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

extern char** environ;

namespace zarn::tools {
namespace {

bool openPipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
}

void closeAll(std::initializer_list<int> fds) {
  for (int fd : fds) {
    if (fd >= 0) ::close(fd);
  }
}

// Ours with each of `overrides` in place of the entry of the same name.
std::vector<char*> environmentWith(const std::vector<std::string>& overrides) {
  std::vector<char*> env;
  for (const std::string& entry : overrides) env.push_back(const_cast<char*>(entry.c_str()));
  for (char** entry = environ; *entry; ++entry) {
    const std::string_view name(*entry, std::strcspn(*entry, "=") + 1);  // with its '='
    if (std::ranges::none_of(overrides, [&](auto& given) { return given.starts_with(name); }))
      env.push_back(*entry);
  }
  env.push_back(nullptr);
  return env;
}

// The child's signals and process group; posix_spawn's attributes say it all.
void setAttributes(posix_spawnattr_t& attrs, const SpawnOptions& options) {
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigemptyset(&none);
  for (int signal : options.defaultSignals) sigaddset(&defaults, signal);
  posix_spawnattr_setsigdefault(&attrs, &defaults);
  posix_spawnattr_setsigmask(&attrs, &none);
  short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
  if (options.ownProcessGroup) {
    posix_spawnattr_setpgroup(&attrs, 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setflags(&attrs, flags);
}

}  // namespace

std::optional<SpawnedChild> spawnOnPipes(const std::vector<std::string>& argv,
                                         const SpawnOptions& options, int& errorNumber) {
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if (!openPipe(in) || !openPipe(out)) {
    errorNumber = errno;
    closeAll({in[0], in[1]});
    return std::nullopt;
  }
  if (options.childEndsNonBlocking) {
    for (int fd : {in[0], out[1]}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  if (options.stderrFd >= 0) posix_spawn_file_actions_adddup2(&actions, options.stderrFd, 2);
  posix_spawnattr_t attrs;
  posix_spawnattr_init(&attrs);
  setAttributes(attrs, options);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<char*> env = environmentWith(options.env);
  SpawnedChild child{-1, in[1], out[0]};
  errorNumber = ::posix_spawn(&child.pid, args[0], &actions, &attrs, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attrs);
  closeAll({in[0], out[1]});
  if (errorNumber == 0) return child;
  closeAll({in[1], out[0]});
  return std::nullopt;
}

}  // namespace zarn::tools
