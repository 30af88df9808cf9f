#include "platform/pipewire/pipewire_service.h"

#include <string>
#include <thread>
#include <utility>

#include "platform/pipewire/connection.h"
#include "platform/pipewire/monitor_stream.h"
#include "platform/pipewire/objects.h"

namespace zarn::platform::pipewire {

void PipeWireService::adopt(std::shared_ptr<Connection> connection) {
  std::lock_guard<std::mutex> hold(adoptedAccess_);
  adopted_ = std::move(connection);
}

void PipeWireService::getShareableContent(bool, bool, ContentCompletion completion) {
  std::shared_ptr<Connection> adopted;
  {
    std::lock_guard<std::mutex> hold(adoptedAccess_);
    adopted = std::move(adopted_);
  }
  std::thread([connection = std::move(adopted), done = std::move(completion)]() mutable {
    std::string error;
    if (!connection) connection = Connection::open(kQueryBound, error);
    std::vector<std::string> outputs;
    bool lost = false;
    if (connection) {
      Connection::Lock lock(*connection);
      lost = !connection->ready();
      if (lost) {
        error = connection->lossReason();
      } else {
        outputs = connection->outputNames();
      }
    }
    if (lost) connection.reset();  // not under its own lock
    answerContentQuery<PipeWireContent>(done, std::move(connection), std::move(outputs), error);
  }).detach();
}

std::vector<std::shared_ptr<Display>> PipeWireService::displays(ShareableContent& content) {
  auto& ours = static_cast<PipeWireContent&>(content);
  return displaysOf<PipeWireDisplay>(ours.connection, ours.outputs);
}

std::shared_ptr<ContentFilter> PipeWireService::makeContentFilter(Display& display) {
  auto filter = std::make_shared<PipeWireFilter>();
  filter->connection = static_cast<PipeWireDisplay&>(display).connection;
  return filter;
}

std::shared_ptr<Stream> PipeWireService::makeStream(ContentFilter& filter,
                                                    const StreamConfiguration&,
                                                    StreamDelegate& delegate) {
  return makeMonitorStream(static_cast<PipeWireFilter&>(filter).connection, delegate);
}

}  // namespace zarn::platform::pipewire
