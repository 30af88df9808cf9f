#include <unistd.h>

#include <cstdlib>

#include "platform/process.h"

namespace zarn::platform {

void prohibitActivation() {}

void runMainLoop() {
  // Nothing is asked of the main thread here; it only has to stay alive until exit.
  for (;;) ::pause();
}

void exitProcess(int status) {
  // _Exit, not exit: the capture service's threads may still run, and exit would run library
  // destructors under them. Nothing is buffered in the process, so nothing is lost.
  std::_Exit(status);
}

}  // namespace zarn::platform
