// Standard input and output through their handles: ReadFile and WriteFile in binary, never the
// C runtime's text mode (which stops at 0x1A and turns LF into CRLF).
#include <windows.h>

#include <atomic>

#include "platform/process.h"
#include "platform/std_handles.h"

namespace zarn::platform {
namespace {

// A parent that closes our output while we are not quitting ends us, as SIGPIPE does on POSIX;
// the exit status is the system's code for it.
constexpr int kBrokenPipeStatus = ERROR_BROKEN_PIPE;  // 109

// Set once the command reader has seen Q or the end of input: the quit task then decides how the
// process ends (status 0), and a closed output only stops the writes.
std::atomic<bool> quitting{false};

HANDLE handleOf(int fd) {
  return GetStdHandle(fd == 0 ? STD_INPUT_HANDLE : fd == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool usable(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

}  // namespace

OutputHandle::OutputHandle(int fd, void (*hungUp)()) : fd_(fd), hungUp_(hungUp) {}
OutputHandle::~OutputHandle() = default;

// WASAPI's capture thread hands its audio on through a ring and never writes itself.
bool OutputHandle::tryWriteWhole(const void*, std::size_t) noexcept {
  return false;
}

bool OutputHandle::writeAll(const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0 && !broken()) {
    DWORD written = 0;
    const DWORD piece = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
    if (WriteFile(handleOf(fd_), next, piece, &written, nullptr)) {
      next += written;
      size -= written;
      if (written == 0) Sleep(1);  // a non-blocking pipe that is full
      continue;
    }
    const DWORD error = GetLastError();
    broken_.store(true, std::memory_order_release);
    // Windows says ERROR_NO_DATA for a pipe whose reader has gone, Wine ERROR_PIPE_NOT_CONNECTED.
    const bool readerGone =
        error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED;
    if (readerGone && !quitting.load(std::memory_order_acquire)) exitProcess(kBrokenPipeStatus);
  }
  return !broken();
}

int InputHandle::readByte() {
  for (;;) {
    unsigned char byte = 0;
    DWORD got = 0;
    // Both ways a pipe can end: ReadFile failing with ERROR_BROKEN_PIPE, or succeeding with
    // nothing read.
    if (ReadFile(handleOf(fd_), &byte, 1, &got, nullptr)) {
      if (got == 1) {
        if (byte == 'Q') quitting.store(true, std::memory_order_release);
        return byte;
      }
    } else if (GetLastError() == ERROR_NO_DATA) {
      Sleep(10);  // a non-blocking pipe with nothing in it yet
      continue;
    }
    quitting.store(true, std::memory_order_release);
    return -1;
  }
}

void guardStandardHandles() {
  // A handle the parent did not give us reads as an empty file and swallows writes, as a closed
  // descriptor does on POSIX once opened on /dev/null. Standard error always goes there: the
  // program never writes to it, and libraries must not either.
  const DWORD which[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (const DWORD standard : which) {
    if (standard != STD_ERROR_HANDLE && usable(GetStdHandle(standard))) continue;
    HANDLE null =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (usable(null)) SetStdHandle(standard, null);
  }
}

// Only PipeWire's real-time thread asks; on Windows no thread writes frames that way.
bool standardOutputTakesNow(std::size_t) {
  return false;
}

int standardInputFd() {
  return 0;
}
int standardOutputFd() {
  return 1;
}

}  // namespace zarn::platform
