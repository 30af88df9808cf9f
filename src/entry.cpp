#include "entry.h"

#include <chrono>
#include <string>

#include "frames.h"
#include "platform/process.h"
#include "platform/std_handles.h"
#include "platform/task.h"

namespace zarn {
namespace {

// How long quit waits for a frame in progress before it ends the process regardless.
constexpr std::chrono::milliseconds kLastFrameGrace{2000};

void launchQuitTask() {
  platform::launchTask([] {
    capture->stop();
    holdStdoutForExit(kLastFrameGrace);
    platform::exitProcess(0);
  });
}

// Carries out each command before it reads the next byte; ends at Q or at the end of input,
// leaving whatever follows unread.
void commandReader() {
  platform::InputHandle input(platform::standardInputFd());
  for (;;) {
    const int byte = input.readByte();
    if (byte < 0 || byte == 'Q') return launchQuitTask();
    switch (byte) {
      case 'A':
        capture->arm();
        break;
      case 'D':
        capture->disarm();
        break;
      case 'P':
        writeFrame(kFramePong);
        break;
      default:
        sendError("unknown command byte: " + std::to_string(byte));
    }
  }
}

}  // namespace

int startUp() {
  platform::prohibitActivation();
  stdoutLock = new StdoutLock;
  stdoutHandle = new platform::OutputHandle(platform::standardOutputFd());
  capture = new SysAudioCapture;
  platform::launchTask([] { capture->start(); });
  cmdQueue = new platform::SerialQueue("zarn.audio.cmd");
  cmdQueue->async(commandReader);
  platform::runMainLoop();
  return 0;
}

}  // namespace zarn
