// The capture service over libpulse. The process's capture service is chosen in
// platform/linux_service.cpp.
#include "platform/pulse/pulse_service.h"

#include <thread>
#include <utility>

#include "platform/pulse/connection.h"
#include "platform/pulse/objects.h"
#include "platform/pulse/record_stream.h"

namespace zarn::platform::pulse {
void PulseService::getShareableContent(bool, bool, ContentCompletion completion) {
  std::thread([done = std::move(completion)] {
    std::string error;
    std::shared_ptr<Connection> connection = Connection::open(error);
    std::vector<Output> sinks;
    std::string defaultName;
    if (connection && !connection->listOutputs(sinks, defaultName, error)) {
      connection.reset();  // closed before the answer, on this thread
    }
    answerContentQuery<PulseContent>(done, std::move(connection),
                                     recordableOutputs(sinks, defaultName), error);
  }).detach();
}

std::vector<std::shared_ptr<Display>> PulseService::displays(ShareableContent& content) {
  auto& pulseContent = static_cast<PulseContent&>(content);
  return displaysOf<PulseDisplay>(pulseContent.connection, pulseContent.outputs);
}

std::shared_ptr<ContentFilter> PulseService::makeContentFilter(Display& display) {
  auto& pulseDisplay = static_cast<PulseDisplay&>(display);
  auto filter = std::make_shared<PulseFilter>();
  filter->connection = pulseDisplay.connection;
  filter->output = pulseDisplay.output;
  return filter;
}

// Always mono, mixed here; the video values have no counterpart.
std::shared_ptr<Stream> PulseService::makeStream(ContentFilter& filter, const StreamConfiguration&,
                                                 StreamDelegate& delegate) {
  auto& pulseFilter = static_cast<PulseFilter&>(filter);
  return std::make_shared<RecordStream>(pulseFilter.connection, pulseFilter.output, delegate);
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
