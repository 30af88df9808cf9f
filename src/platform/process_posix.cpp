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
  std::exit(status);
}

}  // namespace zarn::platform
