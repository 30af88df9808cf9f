// What start-up and the quit task need of the process itself.
#pragma once

namespace zarn::platform {

// No Dock icon, menu bar or window. Linux has nothing of the kind, so this does nothing there.
void prohibitActivation();

// Gives the calling (main) thread to the platform for the rest of the process's life.
void runMainLoop();

// Ends the process with the status. Other threads may still be running: nothing they use is
// destroyed on the way out.
[[noreturn]] void exitProcess(int status);

}  // namespace zarn::platform
