// Starting a program as a parent starts zarn-audio: pipes on its standard input and output, our
// ends closing on exec. Written once for the recorder and the tests.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace zarn::tools {

struct SpawnOptions {
  // Signals the child gets at their default action, whatever we do with them (we may ignore
  // SIGPIPE, say); the others keep ours. The child's signal mask is always empty.
  std::vector<int> defaultSignals;
  bool ownProcessGroup = false;  // so a terminal's Ctrl-C reaches only us
  bool childEndsNonBlocking = false;
  int stderrFd = -1;             // the child's standard error; -1: ours
  std::vector<std::string> env;  // NAME=VALUE, each in place of our own NAME
};

struct SpawnedChild {
  pid_t pid = -1;
  int input = -1;   // our end of its standard input
  int output = -1;  // our end of its standard output
};

// Starts argv[0] (a path) with argv. On failure (no pipe, or no program) no child is left and no
// descriptor open, and errorNumber says why.
std::optional<SpawnedChild> spawnOnPipes(const std::vector<std::string>& argv,
                                         const SpawnOptions& options, int& errorNumber);

}  // namespace zarn::tools
