#include "command_reader.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "frames.h"
#include "platform/process.h"
#include "platform/std_handles.h"
#include "platform/task.h"

namespace zarn {
namespace {

// Quit ends the process within kQuitBound of Q or the end of input, whatever the platform or the
// parent does: a stop the platform never completes, or a frame the parent never takes, must not
// keep a quitting helper alive. Most of the bound goes to the platform's stop; the rest lets a
// frame in progress finish, so the parent's last frame is whole.
constexpr std::chrono::milliseconds kQuitBound{3000};
constexpr std::chrono::milliseconds kStopWait{2000};
constexpr std::chrono::milliseconds kExitMargin{100};

// Until quit, a parent that closes our output ends us by SIGPIPE, as it ends any filter. But a
// parent may send Q and hang up at once (Node's stdout.destroy(), Python's close()), and a frame
// being written then must not kill a helper that is about to quit with status 0. So every thread
// blocks SIGPIPE; a writer that finds the reader gone gives the command reader a moment to see a
// Q or the end of input, and only then lets the signal end the process. From quit on it is
// ignored.
constexpr std::chrono::milliseconds kHangUpGrace{250};
std::atomic<bool> quitting{false};

#ifdef SIGPIPE
void changeHangUpMask(int how) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGPIPE);
  pthread_sigmask(how, &signals, nullptr);
}

void outputHungUp() {
  static std::once_flag once;
  std::call_once(once, [] {
    platform::launchTask([] {
      std::this_thread::sleep_for(kHangUpGrace);
      if (quitting.load()) return;
      changeHangUpMask(SIG_UNBLOCK);
      ::kill(::getpid(), SIGPIPE);  // ends us here, unless the parent had us ignore it
    });
  });
}

void blockHangUpUntilQuit() {
  changeHangUpMask(SIG_BLOCK);  // before any thread starts: they all inherit it
}

void ignoreHangUpFromNowOn() {
  quitting.store(true);
  std::signal(SIGPIPE, SIG_IGN);  // also drops one pending
}
#else
void (*const outputHungUp)() = nullptr;
void blockHangUpUntilQuit() {}
void ignoreHangUpFromNowOn() {}
#endif

void launchQuitTask() {
  const auto asked = std::chrono::steady_clock::now();
  ignoreHangUpFromNowOn();
  platform::launchTask([asked] {
    auto stopped = std::make_shared<platform::Completion<bool>>();
    platform::launchTask([stopped] {
      capture->stop();
      stopped->complete(true);
    });
    (void)stopped->waitFor(kStopWait);
    const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - asked);
    holdStdoutForExit(std::max(kQuitBound - kExitMargin - spent, std::chrono::milliseconds(0)));
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

int startUp(AudioService& service) {
  // Before anything can open a file: a closed standard descriptor must not be reused by one.
  platform::guardStandardHandles();
  platform::prohibitActivation();
  blockHangUpUntilQuit();
  stdoutLock = new StdoutLock;
  stdoutHandle = new platform::OutputHandle(platform::standardOutputFd(), outputHungUp);
  capture = new SysAudioCapture(service);
  platform::launchTask([] { capture->start(); });
  cmdQueue = new platform::SerialQueue("zarn.audio.cmd");
  cmdQueue->async(commandReader);
  platform::runMainLoop();
  return 0;
}

}  // namespace zarn
