// The Windows service on a recording fake of the WASAPI calls: what Wine cannot show. Endpoints
// that fail, go away or change; packets flagged silent; no packets at all while nothing plays.
// The fake's clock is virtual: every wait of the capture thread is 10 ms of the endpoint's time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/wasapi/wasapi_service.h"

namespace zarn::platform::wasapi {
namespace {

using namespace std::chrono_literals;

constexpr Hresult kSomeFailure = static_cast<Hresult>(0x88890011);
const std::string kSomeFailureText = "text of " + std::to_string(kSomeFailure);

// What an endpoint's source does on each 10 ms tick.
enum class Source { play, quiet, flaggedSilent, invalidated, fail };

struct Endpoint {
  Hresult opens = kOk;
  Source source = Source::play;
  bool active = true;
};

// The system as the fake shows it, the opens and closes made on it, and what the parent got:
// under one lock, so a test waits for any of it the same way.
struct World final : AudioSink {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, Endpoint> endpoints{{"speakers", {}}, {"headset", {}}};
  std::string defaultId = "speakers";
  EndpointWatcher* watcher = nullptr;
  std::vector<std::string> log;
  int realTimeThreads = 0;
  std::vector<std::uint64_t> soundStarts;  // when each stretch of played packets began
  std::vector<float> samples;
  std::vector<std::string> losses;

  template <class Change>
  auto locked(Change change) {
    std::lock_guard<std::mutex> hold(mutex);
    changed.notify_all();
    return change();
  }
  template <class Condition>
  bool waitUntil(Condition condition) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, 10s, condition);
  }
  void note(const std::string& entry) {
    locked([&] { log.push_back(entry); });
  }

  void deliver(const AudioBlock& block) override {
    EXPECT_EQ(block.format.channels, 1u);
    EXPECT_LE(block.bytes.size(), 960 * sizeof(float));  // 20 ms at most
    const auto* values = reinterpret_cast<const float*>(block.bytes.data());
    locked([&] { samples.insert(samples.end(), values, values + block.bytes.size() / 4); });
  }
  void stopped(const std::string& text) override {
    locked([&] { losses.push_back(text); });
  }
  bool forwarding() const noexcept override { return true; }

  // Where the first sample of `value` at or after `from` is; the end if none.
  std::size_t find(std::size_t from, float value) const {
    from = std::min(from, samples.size());
    return std::find(samples.begin() + from, samples.end(), value) - samples.begin();
  }
};

class FakeStream final : public LoopbackStream {
 public:
  FakeStream(World& world, std::string id) : world_(world), id_(std::move(id)) {}
  ~FakeStream() override { world_.note("close " + id_); }
  const MixFormat& format() const override { return format_; }
  std::uint32_t bufferFrames() const override { return 4800; }
  void waitForPacket(std::chrono::milliseconds) override {
    std::this_thread::sleep_for(1ms);
    const Source source = world_.locked([&] { return world_.endpoints[id_].source; });
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data_.data());
    if (source == Source::play && last_ != Source::play)
      world_.locked([&] { world_.soundStarts.push_back(clock_); });
    last_ = source;
    if (source == Source::play || source == Source::flaggedSilent)
      pending_ = Packet{bytes, 480, source == Source::flaggedSilent, false, position_, clock_};
    if (source == Source::invalidated) failure_ = kDeviceInvalidated;
    if (source == Source::fail) failure_ = kSomeFailure;
    position_ += 480;  // the device counts on while nothing is sent
    clock_ += 100'000;
  }
  Hresult nextPacket(Packet& packet) override {
    if (failure_ != kOk) return failure_;
    if (!pending_) return kBufferEmpty;
    packet = *std::exchange(pending_, std::nullopt);
    return kOk;
  }
  Hresult releasePacket(std::uint32_t) override { return kOk; }
  std::uint64_t now() const override { return clock_; }

 private:
  World& world_;
  std::string id_;
  MixFormat format_{48000, 2, SampleKind::float32, 8};
  std::vector<float> data_ = std::vector<float>(960, 0.25f);  // what a flagged packet holds too
  std::optional<Packet> pending_;                             // one packet per 10 ms at most
  std::uint64_t clock_ = 5'000'000'000;
  std::uint64_t position_ = 0;
  Hresult failure_ = kOk;
  Source last_ = Source::quiet;
};

class FakeEndpoints final : public Endpoints {
 public:
  explicit FakeEndpoints(World& world) : world_(world) {}
  void enterThread(bool realTime) override {
    world_.locked([&] { world_.realTimeThreads += realTime; });
  }
  void leaveThread() override {}
  Hresult watch(EndpointWatcher& watcher) override {
    world_.locked([&] { world_.watcher = &watcher; });
    return kOk;
  }
  Hresult openDefault(std::unique_ptr<LoopbackStream>& stream, std::string& id) override {
    id = world_.locked([&] { return world_.defaultId; });
    if (id.empty()) return kNotFound;
    world_.note("open " + id);
    const Hresult result = world_.locked([&] { return world_.endpoints[id].opens; });
    if (!failed(result)) stream = std::make_unique<FakeStream>(world_, id);
    return result;
  }
  bool active(const std::string& id) override {
    return world_.locked([&] { return world_.endpoints[id].active; });
  }
  std::string describe(Hresult result) override { return "text of " + std::to_string(result); }

 private:
  World& world_;
};

class WasapiService : public ::testing::Test {
 protected:
  std::optional<StartFailure> start() {
    service = std::make_unique<wasapi::WasapiService>(std::make_unique<FakeEndpoints>(world));
    std::promise<std::optional<StartFailure>> answer;
    service->start(world, [&](std::optional<StartFailure> failure) { answer.set_value(failure); });
    return answer.get_future().get();  // the service watches the endpoints by now
  }
  void stop() {
    std::promise<void> done;
    service->stop([&] { done.set_value(); });
    done.get_future().get();
  }
  void set(const std::string& id, Source source) {
    world.locked([&] { world.endpoints[id].source = source; });
  }
  // The default becomes `defaultId`, and the endpoint `id` behaves as `endpoint` says.
  void change(const std::string& defaultId, const std::string& id, Endpoint endpoint) {
    world.locked([&] {
      world.defaultId = defaultId;
      world.endpoints[id] = endpoint;
    });
  }
  std::size_t received() {
    return world.locked([&] { return world.samples.size(); });
  }
  // Waits for `more` samples than have come so far; returns where they start.
  std::size_t awaitMore(std::size_t more) {
    const std::size_t from = received();
    EXPECT_TRUE(world.waitUntil([&] { return world.samples.size() >= from + more; }));
    return from;
  }
  bool logged(const std::string& entry, long times) {
    return world.waitUntil(
        [&] { return std::count(world.log.begin(), world.log.end(), entry) == times; });
  }

  World world;
  std::unique_ptr<wasapi::WasapiService> service;
};

// The start fails, or a capture that runs ends, with the reason when nothing can be opened.
TEST_F(WasapiService, StartFailsOrCaptureEndsWithTheReasonWhenNothingCanBeOpened) {
  world.defaultId = "";
  EXPECT_EQ(start()->text, "no sound output to capture");
  stop();
  world.defaultId = "speakers";
  world.endpoints["speakers"].opens = kSomeFailure;
  EXPECT_EQ(start()->text, kSomeFailureText);
  world.endpoints["speakers"].opens = kOk;
  ASSERT_FALSE(start());
  change("", "speakers", {kOk, Source::play, false});
  world.watcher->endpointGone("speakers");
  ASSERT_TRUE(world.waitUntil([&] { return !world.losses.empty(); }));
  EXPECT_EQ(world.losses, std::vector<std::string>{"no sound output to capture"});
}

// Sound, then nothing from the source for a while, then packets flagged silent whose buffers hold
// sound, then sound: the parent gets zeros for both stretches, exactly as long as they lasted on
// the endpoint's clock, in blocks of at most 20 ms, from a thread that registered as real-time.
TEST_F(WasapiService, SilenceWithoutPacketsAndFlaggedPacketsAreZerosWithoutAGap) {
  set("speakers", Source::quiet);
  ASSERT_FALSE(start());
  set("speakers", Source::play);
  ASSERT_TRUE(
      world.waitUntil([&] { return world.find(0, 0.25f) + 5 * 480 <= world.samples.size(); }));
  set("speakers", Source::quiet);
  awaitMore(40 * 480);
  set("speakers", Source::flaggedSilent);
  const std::size_t flagged = awaitMore(10 * 480);
  set("speakers", Source::play);
  ASSERT_TRUE(world.waitUntil([&] {
    return world.find(world.find(world.find(0, 0.25f), 0.0f), 0.25f) < world.samples.size();
  }));
  stop();
  std::lock_guard<std::mutex> hold(world.mutex);
  const std::size_t firstSound = world.find(0, 0.25f), silence = world.find(firstSound, 0.0f),
                    secondSound = world.find(silence, 0.25f);
  ASSERT_EQ(world.soundStarts.size(), 2u);
  EXPECT_EQ(secondSound - firstSound, (world.soundStarts[1] - world.soundStarts[0]) / 100'000 * 480)
      << "a gap or an overlap";
  EXPECT_GE(secondSound - silence, 40u * 480);
  EXPECT_GE(secondSound, flagged + 10 * 480) << "a flagged packet's buffer was heard";
  EXPECT_EQ(world.realTimeThreads, 1);
  EXPECT_TRUE(world.losses.empty());
}

// A new default, the captured endpoint invalidated, removed, or failing after it went away:
// capture moves on without a word. A failure of an endpoint still there ends it, reported once
// with the system's text; a stop after it completes, and nothing is delivered after that.
TEST_F(WasapiService, FollowsTheDefaultAndReportsOnlyAFailureItCannotMoveOnFrom) {
  ASSERT_FALSE(start());
  awaitMore(480);
  world.watcher->defaultChanged("speakers");  // the default captured already: nothing to do
  std::this_thread::sleep_for(50ms);          // time to do something all the same
  change("headset", "headset", {});
  world.watcher->defaultChanged("headset");
  ASSERT_TRUE(logged("open headset", 1));
  change("speakers", "headset", {kOk, Source::invalidated});
  ASSERT_TRUE(logged("open speakers", 2));
  change("headset", "headset", {});
  world.watcher->endpointGone("speakers");
  ASSERT_TRUE(logged("open headset", 2));
  change("speakers", "headset", {kOk, Source::fail, false});  // gone, and failing for it
  ASSERT_TRUE(logged("open speakers", 3));
  set("speakers", Source::fail);
  ASSERT_TRUE(world.waitUntil([&] { return !world.losses.empty(); }));
  stop();
  const std::size_t atStop = received();
  std::this_thread::sleep_for(50ms);
  std::lock_guard<std::mutex> hold(world.mutex);
  EXPECT_EQ(world.samples.size(), atStop);
  EXPECT_EQ(world.losses, std::vector<std::string>{kSomeFailureText});
  const std::vector<std::string> moves = {
      "open speakers",  "close speakers", "open headset",  "close headset", "open speakers",
      "close speakers", "open headset",   "close headset", "open speakers", "close speakers"};
  EXPECT_EQ(world.log, moves);
}

}  // namespace
}  // namespace zarn::platform::wasapi
