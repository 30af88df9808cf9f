#include "platform/pipewire/connection.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/keys.h>
#include <pipewire/node.h>
#include <pipewire/pipewire.h>
#include <spa/utils/json.h>

#include <malloc.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/linux/output_order.h"

namespace zarn::platform::pipewire {
namespace {

// The client configuration with the real-time module, so the stream's thread gets real-time
// scheduling where the system grants it, directly or through RTKit. D-Bus support, which nothing
// here uses (the module makes its own connection), stays unloaded.
constexpr const char* kClientConfig = "client-rt.conf";
constexpr const char* kDefaultMetadata = "default";
constexpr const char* kDefaultSinkKey = "default.audio.sink";

std::uint32_t numberOr0(const spa_dict* props, const char* key) {
  const char* text = props ? spa_dict_lookup(props, key) : nullptr;
  return text ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : 0;
}

// The name in a default's value: {"name":"..."}.
std::string nameIn(const char* json) {
  if (json == nullptr) return {};
  spa_json outer, object;
  spa_json_init(&outer, json, std::strlen(json));
  if (spa_json_enter_object(&outer, &object) <= 0) return {};
  char key[64];
  while (spa_json_get_string(&object, key, sizeof key) > 0) {
    if (std::strcmp(key, "name") == 0) {
      char name[512];
      return spa_json_get_string(&object, name, sizeof name) > 0 ? name : "";
    }
    const char* value;
    if (spa_json_next(&object, &value) <= 0) break;
  }
  return {};
}

}  // namespace

// An object bound from the registry (a sink's node, the default metadata) and its listener.
struct Bound {
  Connection::Registry* owner;
  std::uint32_t id;
  pw_proxy* proxy;
  spa_hook listener{};
};

struct Connection::Registry {
  Registry(Connection& connection, pw_registry* registry)
      : connection(connection), registry(registry) {}
  ~Registry() {
    silence();
    for (auto& [id, bound] : bound) pw_proxy_destroy(bound->proxy);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
  }

  // Under the loop's lock: no callback reaches `connection` from now on, even while the rest of
  // the registry waits to be destroyed on another thread.
  void silence() {
    if (!listening) return;
    listening = false;
    for (auto& [id, bound] : bound) spa_hook_remove(&bound->listener);
    spa_hook_remove(&registryListener);
    spa_hook_remove(&coreListener);
  }

  void bind(std::uint32_t id, const char* type, std::uint32_t version, const void* events) {
    auto* proxy = static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, version, 0));
    if (proxy == nullptr) return;
    auto entry = std::make_unique<Bound>(Bound{this, id, proxy});
    pw_proxy_add_object_listener(proxy, &entry->listener, events, entry.get());
    bound[id] = std::move(entry);
  }

  static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                       const spa_dict* props);
  static void onGlobalRemove(void* data, std::uint32_t id);
  static void onNodeInfo(void* data, const pw_node_info* info);
  static int onProperty(void* data, std::uint32_t subject, const char* key, const char* type,
                        const char* value);
  static void onDone(void* data, std::uint32_t id, int seq);
  static void onError(void* data, std::uint32_t id, int seq, int res, const char* message);

  Connection& connection;
  pw_registry* registry;
  spa_hook registryListener{}, coreListener{};
  bool listening = true;
  std::map<std::uint32_t, std::unique_ptr<Bound>> bound;
  std::uint32_t metadataId = SPA_ID_INVALID;
};

namespace {

const pw_registry_events kRegistryEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS,
    .global = Connection::Registry::onGlobal,
    .global_remove = Connection::Registry::onGlobalRemove,
};
const pw_node_events kNodeEvents = {
    .version = PW_VERSION_NODE_EVENTS,
    .info = Connection::Registry::onNodeInfo,
    .param = nullptr,
};
const pw_metadata_events kMetadataEvents = {
    .version = PW_VERSION_METADATA_EVENTS,
    .property = Connection::Registry::onProperty,
};
const pw_core_events kCoreEvents = {
    .version = PW_VERSION_CORE_EVENTS,
    .info = nullptr,
    .done = Connection::Registry::onDone,
    .ping = nullptr,
    .error = Connection::Registry::onError,
    .remove_id = nullptr,
    .bound_id = nullptr,
    .add_mem = nullptr,
    .remove_mem = nullptr,
};

}  // namespace

void Connection::Registry::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type,
                                    std::uint32_t, const spa_dict* props) {
  auto* self = static_cast<Registry*>(data);
  Connection& connection = self->connection;
  auto lookup = [props](const char* key) {
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return std::string(value ? value : "");
  };
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    if (lookup(PW_KEY_MEDIA_CLASS) != "Audio/Sink") return;
    connection.sinks_[id].name = lookup(PW_KEY_NODE_NAME);
    self->bind(id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, &kNodeEvents);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
    connection.links_[id] = {numberOr0(props, PW_KEY_LINK_OUTPUT_NODE),
                             numberOr0(props, PW_KEY_LINK_INPUT_NODE)};
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
    if (lookup(PW_KEY_METADATA_NAME) != kDefaultMetadata) return;
    self->metadataId = id;
    self->bind(id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, &kMetadataEvents);
  } else {
    return;
  }
  connection.changed();
}

void Connection::Registry::onGlobalRemove(void* data, std::uint32_t id) {
  auto* self = static_cast<Registry*>(data);
  Connection& connection = self->connection;
  if (auto found = self->bound.find(id); found != self->bound.end()) {
    spa_hook_remove(&found->second->listener);
    pw_proxy_destroy(found->second->proxy);
    self->bound.erase(found);
  }
  if (id == self->metadataId) {
    self->metadataId = SPA_ID_INVALID;
    connection.defaultName_.clear();  // the session manager went; a new one names it again
  }
  if (connection.sinks_.erase(id) + connection.links_.erase(id) > 0) connection.changed();
}

void Connection::Registry::onNodeInfo(void* data, const pw_node_info* info) {
  auto* bound = static_cast<Bound*>(data);
  Connection& connection = bound->owner->connection;
  auto sink = connection.sinks_.find(bound->id);
  if (sink == connection.sinks_.end() || !(info->change_mask & PW_NODE_CHANGE_MASK_PROPS)) return;
  sink->second.rate = numberOr0(info->props, "audio.rate");
  sink->second.channels = numberOr0(info->props, "audio.channels");
  connection.changed();
}

int Connection::Registry::onProperty(void* data, std::uint32_t subject, const char* key,
                                     const char*, const char* value) {
  auto* bound = static_cast<Bound*>(data);
  Connection& connection = bound->owner->connection;
  if (subject != PW_ID_CORE) return 0;
  if (key == nullptr || std::strcmp(key, kDefaultSinkKey) == 0) {
    connection.defaultName_ = key ? nameIn(value) : "";
    connection.changed();
  }
  return 0;
}

void Connection::Registry::onDone(void* data, std::uint32_t id, int seq) {
  Connection& connection = static_cast<Registry*>(data)->connection;
  if (id == PW_ID_CORE && seq == connection.watchSeq_) connection.watch_.answered();
  if (id != PW_ID_CORE || seq != connection.syncSeq_ || connection.syncsLeft_ == 0) return;
  if (--connection.syncsLeft_ > 0) {
    connection.syncSeq_ = pw_core_sync(connection.core_, PW_ID_CORE, 0);
  }
  pw_thread_loop_signal(connection.threadLoop_, false);
}

void Connection::Registry::onError(void* data, std::uint32_t id, int, int res,
                                   const char* message) {
  Connection& connection = static_cast<Registry*>(data)->connection;
  // Only the connection itself breaking ends it; other errors belong to one object.
  if (id != PW_ID_CORE || res != -EPIPE) return;
  connection.lose(message && *message ? message : std::strerror(-res));
}

std::shared_ptr<Connection> Connection::open(std::chrono::milliseconds bound, std::string& error) {
  // Large blocks always come straight from mmap, as they do at start. glibc otherwise raises its
  // threshold once such a block is freed, so the next stream's converter gets its ~8 MiB of
  // working memory from the heap, zeroed by hand and resident in full: +8 MiB for as long as the
  // process lives, after the first time a stream is remade.
  [[maybe_unused]] static const int largeBlocksMapped = mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  pw_init(nullptr, nullptr);
  std::shared_ptr<Connection> connection(new Connection);
  if (!connection->connect(bound, error)) return nullptr;
  return connection;
}

bool Connection::connect(std::chrono::milliseconds bound, std::string& error) {
  threadLoop_ = pw_thread_loop_new("zarn-pipewire", nullptr);
  pw_properties* props =
      pw_properties_new(PW_KEY_CONFIG_NAME, kClientConfig, "support.dbus", "false", nullptr);
  context_ = threadLoop_ ? pw_context_new(pw_thread_loop_get_loop(threadLoop_), props, 0) : nullptr;
  if (context_ == nullptr || pw_thread_loop_start(threadLoop_) < 0) {
    error = std::strerror(errno ? errno : ENOMEM);
    return false;
  }
  running_ = true;
  Lock lock(*this);
  core_ = pw_context_connect(context_, nullptr, 0);
  if (core_ == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  registry_ =
      std::make_unique<Registry>(*this, pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0));
  pw_core_add_listener(core_, &registry_->coreListener, &kCoreEvents, registry_.get());
  pw_registry_add_listener(registry_->registry, &registry_->registryListener, &kRegistryEvents,
                           registry_.get());
  syncSeq_ = pw_core_sync(core_, PW_ID_CORE, 0);
  timespec deadline;
  pw_thread_loop_get_time(threadLoop_, &deadline, std::chrono::nanoseconds(bound).count());
  while (syncsLeft_ > 0 && ready()) {
    if (pw_thread_loop_timed_wait_full(threadLoop_, &deadline) != 0) {
      error = "the PipeWire daemon did not answer";
      return false;
    }
  }
  if (!ready()) error = lost_;
  if (ready()) startWatch();
  return ready();
}

// Under the lock. A round trip per tick: a daemon stopped or hung never completes it.
void Connection::startWatch() {
  pw_loop* loop = pw_thread_loop_get_loop(threadLoop_);
  watchTimer_ = pw_loop_add_timer(loop, onWatchTick, this);
  const auto tick = std::chrono::nanoseconds(linux_audio::AnswerWatch::kTick).count();
  timespec every{static_cast<time_t>(tick / 1000000000), static_cast<long>(tick % 1000000000)};
  if (watchTimer_ != nullptr) pw_loop_update_timer(loop, watchTimer_, &every, &every, false);
}

void Connection::onWatchTick(void* data, std::uint64_t) {
  auto* self = static_cast<Connection*>(data);
  if (!self->ready()) return;
  switch (self->watch_.tick(linux_audio::AnswerWatch::Clock::now())) {
    case linux_audio::AnswerWatch::Verdict::ask:
      self->watchSeq_ = pw_core_sync(self->core_, PW_ID_CORE, 0);
      break;
    case linux_audio::AnswerWatch::Verdict::silent:
      self->lose(linux_audio::AnswerWatch::kStoppedText);
      break;
    case linux_audio::AnswerWatch::Verdict::wait:
      break;
  }
}

Connection::~Connection() {
  // The timer and the registry's listeners reach this object: they go now, not with the loop,
  // which may go on dispatching until the thread below has stopped it.
  if (running_) {
    const bool inLoop = pw_thread_loop_in_thread(threadLoop_);
    if (!inLoop) pw_thread_loop_lock(threadLoop_);
    if (watchTimer_ != nullptr)
      pw_loop_destroy_source(pw_thread_loop_get_loop(threadLoop_), watchTimer_);
    if (registry_) registry_->silence();
    if (!inLoop) pw_thread_loop_unlock(threadLoop_);
  }
  auto close = [threadLoop = threadLoop_, context = context_, core = core_,
                registry = registry_.release(), running = running_] {
    if (running) pw_thread_loop_lock(threadLoop);
    delete registry;
    if (core != nullptr) pw_core_disconnect(core);
    if (running) {
      pw_thread_loop_unlock(threadLoop);
      pw_thread_loop_stop(threadLoop);
    }
    if (context != nullptr) pw_context_destroy(context);
    if (threadLoop != nullptr) pw_thread_loop_destroy(threadLoop);
  };
  // The loop cannot stop itself from inside; let a thread of its own close it.
  if (running_ && pw_thread_loop_in_thread(threadLoop_)) {
    std::thread(close).detach();
  } else {
    close();
  }
}

std::vector<std::string> Connection::outputNames() const {
  std::vector<std::string> names;
  for (const auto& [id, sink] : sinks_) {
    linux_audio::addInOfferOrder(names, sink.name, sink.name == defaultName_);
  }
  return names;
}

std::optional<Sink> Connection::defaultSink() const {
  for (const auto& [id, sink] : sinks_) {
    if (!defaultName_.empty() && sink.name == defaultName_) return sink;
  }
  return std::nullopt;
}

bool Connection::linkedOnlyToOutputs(std::uint32_t node) const {
  bool linked = false;
  for (const auto& [id, ends] : links_) {
    if (ends.second != node) continue;
    if (!sinks_.contains(ends.first)) return false;  // a microphone, or any other source
    linked = true;
  }
  return linked;
}

void Connection::changed() {
  if (listener_ != nullptr) listener_->graphChanged();
}

void Connection::lose(const std::string& reason) {
  if (!lost_.empty()) return;
  lost_ = reason;
  pw_thread_loop_signal(threadLoop_, false);
  if (listener_ != nullptr) listener_->connectionLost(reason);
}

}  // namespace zarn::platform::pipewire
