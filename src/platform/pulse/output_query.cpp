#include "platform/pulse/output_query.h"

#include <utility>

namespace zarn::platform::pulse {
namespace {

void release(pa_operation*& operation) {
  if (operation == nullptr) return;
  pa_operation_cancel(operation);  // a no-op once it is done; the reply must not reach us later
  pa_operation_unref(std::exchange(operation, nullptr));
}

Output outputOf(const pa_sink_info& sink) {
  return {sink.name ? sink.name : "", sink.index,
          sink.monitor_source_name ? sink.monitor_source_name : "", sink.sample_spec.rate,
          sink.sample_spec.channels};
}

}  // namespace

bool OutputQuery::send(pa_context* context, Answer answer) {
  cancel();
  defaultName_.clear();
  sinks_.clear();
  // Replies come in the order of the requests, so the list's end finds both in.
  server_ = pa_context_get_server_info(context, onServerInfo, this);
  list_ = pa_context_get_sink_info_list(context, onSinkInfo, this);
  if (server_ == nullptr || list_ == nullptr) {
    cancel();
    return false;
  }
  answer_ = std::move(answer);
  return true;
}

void OutputQuery::cancel() {
  release(server_);
  release(list_);
  answer_ = nullptr;
}

void OutputQuery::onServerInfo(pa_context*, const pa_server_info* info, void* data) {
  auto* self = static_cast<OutputQuery*>(data);
  if (info != nullptr && info->default_sink_name != nullptr) {
    self->defaultName_ = info->default_sink_name;
  }
}

void OutputQuery::onSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* data) {
  auto* self = static_cast<OutputQuery*>(data);
  if (eol == 0) {
    if (info != nullptr) self->sinks_.push_back(outputOf(*info));
    return;
  }
  // The answer may send the next query, which reuses this object: take everything out first.
  Answer answer = std::exchange(self->answer_, nullptr);
  std::vector<Output> sinks = std::move(self->sinks_);
  const std::string defaultName = std::move(self->defaultName_);
  release(self->server_);
  release(self->list_);
  if (answer) answer(eol > 0, defaultName, sinks);
}

}  // namespace zarn::platform::pulse
