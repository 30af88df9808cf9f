#include "entry.h"

#include <chrono>
#include <memory>
#include <string>

#include "frames.h"
#include "platform/process.h"
#include "platform/std_handles.h"
#include "platform/task.h"

namespace zarn {
namespace {

// How long quit waits for a frame that the parent has stopped taking before it ends the process
// regardless.
constexpr std::chrono::milliseconds kLastFrameGrace{2000};
constexpr std::chrono::milliseconds kStallCheck{50};

void launchQuitTask() {
  platform::launchTask([] {
    // stop waits for the platform, and the platform may wait for a delivery that is stuck writing
    // to a parent that no longer reads; that parent must not be able to hang quit.
    auto stopped = std::make_shared<platform::Completion<bool>>();
    platform::launchTask([stopped] {
      capture->stop();
      stopped->complete(true);
    });
    bool stalled = false;
    while (!stopped->waitFor(kStallCheck)) {
      if (stdoutHandle->stalledFor() >= kLastFrameGrace) {
        stalled = true;
        break;
      }
    }
    holdStdoutForExit(stalled ? std::chrono::milliseconds(0) : kLastFrameGrace);
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
