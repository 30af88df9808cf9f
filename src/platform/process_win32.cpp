#include <windows.h>

#include "platform/process.h"

namespace zarn::platform {

// The program runs in the GUI subsystem, so no console window ever appears, whatever the parent
// asks; what is left is to keep the system from showing its own error boxes for us.
void prohibitActivation() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

void runMainLoop() {
  // Nothing is asked of the main thread here; it only has to stay alive until exit.
  for (;;) Sleep(INFINITE);
}

void exitProcess(int status) {
  // Not ExitProcess: that detaches every DLL after killing our threads wherever they were, and a
  // lock they held could hang it. Nothing is buffered in the process, so nothing is lost.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  for (;;) Sleep(INFINITE);
}

}  // namespace zarn::platform
