#include "platform/pulse/pulse_service.h"

#include <memory>
#include <string>
#include <vector>

#include "platform/pulse/connection.h"
#include "platform/pulse/record_stream.h"

namespace zarn::platform::pulse {

linux_audio::Opened PulseService::open(AudioSink& sink) {
  std::string error;
  std::shared_ptr<Connection> connection = Connection::open(error);
  std::vector<Output> sinks;
  std::string defaultName;
  if (!connection || !connection->listOutputs(sinks, defaultName, error)) return error;
  const std::vector<Output> outputs = recordableOutputs(sinks, defaultName);  // the default first
  if (outputs.empty()) return linux_audio::kNoOutputText;
  return std::make_shared<RecordStream>(std::move(connection), outputs.front(), sink);
}

}  // namespace zarn::platform::pulse

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
