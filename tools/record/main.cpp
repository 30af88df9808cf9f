// zarn-audio-record: records what the computer plays into a file, by driving the zarn-audio
// helper the way any parent would: start it, wait for R, arm with A, take C frames, quit with Q.
// This file holds the command line and the signals; session.cpp the recording itself.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "helper_process.h"
#include "options.h"
#include "output.h"
#include "session.h"

namespace {

namespace rec = zarn::record;

int signalPipe[2] = {-1, -1};

void onSignal(int sig) {
  const int saved = errno;
  const char byte = static_cast<char>(sig);
  [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

// Signals become bytes on a pipe that the session's poll watches.
bool installSignals() {
  if (::pipe(signalPipe) != 0) return false;
  for (int fd : signalPipe) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  // A closed terminal (SIGHUP) ends the recording as an interrupt does.
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &action, nullptr);
  // A helper that died, a reader that went away, a file over its size limit: each must show as
  // a failed write, not end the recorder before it closes the file.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  return true;
}

std::size_t terminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

int usageError(const std::string& error) {
  std::fprintf(stderr, "zarn-audio-record: %s\n%s\nTry 'zarn-audio-record --help'.\n",
               error.c_str(), rec::kUsageLine);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const rec::ParsedCommandLine parsed =
      rec::parseCommandLine(std::vector<std::string_view>(argv + 1, argv + argc));
  switch (parsed.action) {
    case rec::Action::Help:
      std::printf("%s\n\n%s", rec::kUsageLine, rec::kHelpText);
      return 0;
    case rec::Action::Version:
      std::printf("zarn-audio-record %s\n", ZARN_VERSION);
      return 0;
    case rec::Action::UsageError:
      return usageError(parsed.error);
    case rec::Action::Record:
      break;
  }
  if (!installSignals()) {
    std::fprintf(stderr, "zarn-audio-record: cannot create a pipe: %s\n", std::strerror(errno));
    return 1;
  }
  // Before the helper starts: a path that cannot take the recording fails at once.
  std::string error;
  auto output = rec::OutputTarget::open(parsed.options, error);
  if (!output) {
    std::fprintf(stderr, "zarn-audio-record: %s\n", error.c_str());
    return 1;
  }
  rec::SessionSetup setup{parsed.options, rec::helperCommand(argv[0]), signalPipe[0], stderr, {}};
  if (::isatty(STDERR_FILENO) == 1) setup.terminalColumns = terminalColumns;
  rec::Session session(std::move(setup), std::move(*output));
  return session.run();
}
