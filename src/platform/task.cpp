#include "platform/task.h"

#include <thread>

namespace zarn::platform {

// A detached thread per task: the program launches two (start and quit), so a pool would only
// add machinery.
void launchTask(std::function<void()> operation) {
  std::thread(std::move(operation)).detach();
}

}  // namespace zarn::platform
