// The process's capture service.
#include "platform/pulse/pulse_service.h"

namespace zarn::platform {

CaptureService& captureService() {
  static CaptureService* const service = new pulse::PulseService;  // never destroyed
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
