#include "platform/pipewire/pipewire_service.h"

#include <string>
#include <utility>

#include "platform/pipewire/connection.h"
#include "platform/pipewire/monitor_stream.h"

namespace zarn::platform::pipewire {

void PipeWireService::adopt(std::shared_ptr<Connection> connection) {
  std::lock_guard<std::mutex> hold(adoptedAccess_);
  adopted_ = std::move(connection);
}

linux_audio::Opened PipeWireService::open(AudioSink& sink) {
  std::shared_ptr<Connection> connection;
  {
    std::lock_guard<std::mutex> hold(adoptedAccess_);
    connection = std::move(adopted_);
  }
  std::string error;
  if (!connection) connection = Connection::open(kOpenBound, error);
  if (!connection) return error;
  {
    Connection::Lock lock(*connection);
    if (!connection->ready())
      error = connection->lossReason();
    else if (connection->sinks().empty())
      error = linux_audio::kNoOutputText;
  }
  if (!error.empty()) return error;  // the connection closes here, not under its own lock
  return makeMonitorStream(std::move(connection), sink);
}

}  // namespace zarn::platform::pipewire
