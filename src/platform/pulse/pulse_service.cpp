// The process's capture service, and keeping the client library off standard error.
#include <fcntl.h>
#include <pulse/error.h>
#include <unistd.h>

#include <cstdint>

#include "platform/pulse/pulse_service.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#include <sanitizer/common_interface_defs.h>
#define ZARN_SANITIZED 1
#endif

namespace zarn::platform {
namespace pulse {
namespace {

// The client library logs errors to standard error from any of its threads (a client
// configuration it cannot parse, a runtime directory it cannot use), and has no public way to
// turn that off; the program must never write there. So standard error becomes /dev/null before
// the library is first used. Sanitizer builds keep their reports on the original stream.
void keepStandardErrorQuiet() {
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0) return;
  if (null < STDERR_FILENO) {
    ::close(null);  // standard input or output was closed; do not take its number
    return;
  }
#ifdef ZARN_SANITIZED
  const int reports = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (reports >= 0) __sanitizer_set_report_fd(reinterpret_cast<void*>(std::intptr_t{reports}));
#endif
  if (null != STDERR_FILENO) {
    ::dup2(null, STDERR_FILENO);
    ::close(null);
  }
}

}  // namespace
}  // namespace pulse

CaptureService& captureService() {
  static CaptureService* const service = [] {
    pulse::keepStandardErrorQuiet();
    return new pulse::PulseService;  // never destroyed
  }();
  return *service;
}

}  // namespace zarn::platform

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer builds only, here because this file is always linked. The client library is
// not built with the sanitizer: it hands its own objects between its threads through atomics the
// sanitizer cannot see, which then takes the library's own mutexes for raced memory. Only
// reports whose stack runs inside the library's mutex functions are dropped; our code never runs
// inside those, so a race in our code is still reported.
extern "C" const char* __tsan_default_suppressions() {
  return "race:pa_mutex_lock\n"
         "race:pa_mutex_unlock\n"
         "race:pa_mutex_free\n";
}
#endif
