// The one way the service asks the server about its outputs: the default output's name and every
// output, in one asynchronous round, both at start and while following the default.
#pragma once

#include "platform/pulse/library.h"

#include <functional>
#include <string>
#include <vector>

#include "platform/pulse/outputs.h"

namespace zarn::platform::pulse {

class OutputQuery {
 public:
  // On the main loop thread: ok false when the server could not answer.
  using Answer = std::function<void(bool ok, const std::string& defaultName,
                                    const std::vector<Output>& sinks)>;

  OutputQuery() = default;
  OutputQuery(const OutputQuery&) = delete;
  OutputQuery& operator=(const OutputQuery&) = delete;
  ~OutputQuery() { cancel(); }

  // Under the main loop's lock. Sends both requests, replacing any under way; false when they
  // could not be sent, and then the answer never runs.
  bool send(pa_context* context, Answer answer);
  // Under the lock: the requests under way are dropped and their answer never runs.
  void cancel();
  bool busy() const { return list_ != nullptr; }

 private:
  static void onServerInfo(pa_context*, const pa_server_info* info, void* self);
  static void onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self);

  Answer answer_;
  std::string defaultName_;
  std::vector<Output> sinks_;
  pa_operation* server_ = nullptr;
  pa_operation* list_ = nullptr;
};

}  // namespace zarn::platform::pulse
