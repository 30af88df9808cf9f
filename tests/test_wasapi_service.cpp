// The Windows service on a recording fake of the WASAPI calls: what Wine cannot show. Endpoints
// that fail, go away or change; packets flagged silent; no packets at all while nothing plays.
// The fake's clock is virtual: every wait of the capture thread is 10 ms of the endpoint's time.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
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

// What an endpoint's source does on each 10 ms tick.
enum class Source { play, quiet, flaggedSilent, invalidated, fail };

constexpr Hresult kSomeFailure = static_cast<Hresult>(0x88890011);

// The system as the fake shows it: endpoints, the default, and a log of the calls made.
struct World {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, Hresult> endpoints;  // id: what opening it gives
  std::string defaultId;
  std::map<std::string, Source> sources;
  std::vector<std::string> log;

  void note(std::string entry) {
    std::lock_guard<std::mutex> hold(mutex);
    log.push_back(std::move(entry));
    changed.notify_all();
  }
  Source source(const std::string& id) {
    std::lock_guard<std::mutex> hold(mutex);
    return sources[id];
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
    clock_ += 100'000;
    const Source source = world_.source(id_);
    if (source == Source::play || source == Source::flaggedSilent)
      pending_ =
          Packet{bytes(), 480, source == Source::flaggedSilent, false, position_, clock_ - 100'000};
    if (source == Source::invalidated) failure_ = kDeviceInvalidated;
    if (source == Source::fail) failure_ = kSomeFailure;
    position_ += 480;  // the device counts on while nothing is sent
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
  const std::uint8_t* bytes() const { return reinterpret_cast<const std::uint8_t*>(data_.data()); }

  World& world_;
  std::string id_;
  MixFormat format_{48000, 2, SampleKind::float32, 8};
  std::vector<float> data_ = std::vector<float>(960, 0.25f);  // what a flagged packet holds too
  std::optional<Packet> pending_;                             // one packet per 10 ms at most
  std::uint64_t clock_ = 5'000'000'000;
  std::uint64_t position_ = 0;
  Hresult failure_ = kOk;
};

class FakeEndpoints final : public Endpoints {
 public:
  explicit FakeEndpoints(World& world) : world_(world) {}
  void enterThread(bool realTime) override {
    if (realTime) world_.note("real-time thread");
  }
  void leaveThread() override {}
  Hresult watch(EndpointWatcher& watcher) override {
    std::lock_guard<std::mutex> hold(world_.mutex);
    watcher_ = &watcher;
    world_.changed.notify_all();
    return kOk;
  }
  Hresult openDefault(std::unique_ptr<LoopbackStream>& stream, std::string& id) override {
    std::unique_lock<std::mutex> hold(world_.mutex);
    id = world_.defaultId;
    if (id.empty()) return kNotFound;
    const Hresult result = world_.endpoints[id];
    hold.unlock();
    world_.note("open " + id);
    if (!failed(result)) stream = std::make_unique<FakeStream>(world_, id);
    return result;
  }
  bool active(const std::string& id) override {
    std::lock_guard<std::mutex> hold(world_.mutex);
    return world_.endpoints.contains(id);
  }
  std::string describe(Hresult result) override { return "text of " + std::to_string(result); }

  EndpointWatcher* watcher_ = nullptr;

 private:
  World& world_;
};

// Records what the service hands the core.
struct RecordingSink final : AudioSink {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<float> samples;
  std::vector<std::size_t> blocks;
  std::vector<std::string> losses;

  void deliver(const AudioBlock& block) override {
    EXPECT_EQ(block.format.channels, 1u);
    std::lock_guard<std::mutex> hold(mutex);
    const auto* values = reinterpret_cast<const float*>(block.bytes.data());
    samples.insert(samples.end(), values, values + block.bytes.size() / sizeof(float));
    blocks.push_back(block.bytes.size() / sizeof(float));
    changed.notify_all();
  }
  void stopped(const std::string& text) override {
    std::lock_guard<std::mutex> hold(mutex);
    losses.push_back(text);
    changed.notify_all();
  }
  bool forwarding() const noexcept override { return true; }

  // Where the first sample of sound, or of silence, at or after `from` is; the end if none.
  std::size_t soundAfter(std::size_t from) const { return find(from, 0.25f); }
  std::size_t silenceAfter(std::size_t from) const { return find(from, 0.0f); }
  std::size_t find(std::size_t from, float value) const {
    from = std::min(from, samples.size());
    return std::find(samples.begin() + from, samples.end(), value) - samples.begin();
  }
  bool waitForSamples(std::size_t count) {
    return waitUntil([&] { return samples.size() >= count; });
  }
  bool waitForLoss() {
    return waitUntil([&] { return !losses.empty(); });
  }
  template <class Condition>
  bool waitUntil(Condition condition) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_for(hold, 10s, condition);
  }
};

class WasapiService : public ::testing::Test {
 protected:
  void SetUp() override {
    world.endpoints = {{"speakers", kOk}, {"headset", kOk}};
    world.defaultId = "speakers";
    world.sources = {{"speakers", Source::play}, {"headset", Source::play}};
  }

  std::optional<StartFailure> start() {
    auto endpoints = std::make_unique<FakeEndpoints>(world);
    fake = endpoints.get();
    service = std::make_unique<wasapi::WasapiService>(std::move(endpoints));
    std::promise<std::optional<StartFailure>> answer;
    service->start(sink, [&](std::optional<StartFailure> failure) { answer.set_value(failure); });
    return answer.get_future().get();
  }
  void stop() {
    std::promise<void> done;
    service->stop([&] { done.set_value(); });
    done.get_future().get();
  }
  void set(const std::string& id, Source source) {
    std::lock_guard<std::mutex> hold(world.mutex);
    world.sources[id] = source;
  }
  // The system makes `id` the default and says so.
  void makeDefault(const std::string& id) {
    {
      std::unique_lock<std::mutex> hold(world.mutex);
      world.changed.wait(hold, [&] { return fake->watcher_ != nullptr; });
      world.defaultId = id;
    }
    fake->watcher_->defaultChanged(id);
  }
  bool logged(const std::string& entry) {
    std::unique_lock<std::mutex> hold(world.mutex);
    return world.changed.wait_for(hold, 10s, [&] {
      return std::find(world.log.begin(), world.log.end(), entry) != world.log.end();
    });
  }
  std::size_t received() {
    std::lock_guard<std::mutex> hold(sink.mutex);
    return sink.samples.size();
  }

  World world;
  RecordingSink sink;
  FakeEndpoints* fake = nullptr;
  std::unique_ptr<wasapi::WasapiService> service;
};

TEST_F(WasapiService, StartFailsWithTheReasonWhenNothingCanBeOpened) {
  world.defaultId = "";
  EXPECT_EQ(start()->text, "no sound output to capture");
  stop();
  service.reset();
  world.defaultId = "speakers";
  world.endpoints["speakers"] = kSomeFailure;
  EXPECT_EQ(start()->text, "text of " + std::to_string(kSomeFailure));
}

// Sound, then nothing from the source for a while, then packets flagged silent whose buffers hold
// sound, then sound: the parent gets zeros for both stretches, a whole number of packets' worth
// (no gap, no overlap), in blocks of 10 ms, from a thread that registered as real-time.
TEST_F(WasapiService, SilenceWithoutPacketsAndFlaggedPacketsAreZerosWithoutAGap) {
  set("speakers", Source::quiet);
  ASSERT_FALSE(start());
  set("speakers", Source::play);
  ASSERT_TRUE(sink.waitUntil([&] { return sink.soundAfter(0) + 5 * 480 <= sink.samples.size(); }));
  set("speakers", Source::quiet);
  ASSERT_TRUE(sink.waitForSamples(received() + 40 * 480));
  set("speakers", Source::flaggedSilent);
  const std::size_t flagged = received();
  ASSERT_TRUE(sink.waitForSamples(flagged + 10 * 480));
  set("speakers", Source::play);
  ASSERT_TRUE(sink.waitUntil([&] {
    const std::size_t silence = sink.silenceAfter(sink.soundAfter(0));
    return sink.soundAfter(silence) < sink.samples.size();
  }));
  stop();
  EXPECT_TRUE(logged("real-time thread"));
  std::lock_guard<std::mutex> hold(sink.mutex);
  const std::size_t firstSound = sink.soundAfter(0), silence = sink.silenceAfter(firstSound),
                    secondSound = sink.soundAfter(silence);
  EXPECT_EQ((silence - firstSound) % 480, 0u);
  EXPECT_EQ((secondSound - silence) % 480, 0u) << "a gap or an overlap";
  EXPECT_GE(secondSound - silence, 40u * 480);
  EXPECT_GE(secondSound, flagged + 10 * 480) << "a flagged packet's buffer was heard";
  EXPECT_TRUE(std::all_of(sink.blocks.begin(), sink.blocks.end(), [](auto n) { return n <= 960; }));
  EXPECT_TRUE(sink.losses.empty());
}

// A new default, and the captured endpoint invalidated: capture moves on without a word; with no
// endpoint left, the parent hears it once.
TEST_F(WasapiService, FollowsTheDefaultAndReportsOnlyWhenNoneIsLeft) {
  ASSERT_FALSE(start());
  ASSERT_TRUE(sink.waitForSamples(480));
  makeDefault("headset");
  EXPECT_TRUE(logged("close speakers"));
  EXPECT_TRUE(logged("open headset"));
  makeDefault("headset");  // the same default again: nothing to do
  {
    std::lock_guard<std::mutex> hold(world.mutex);
    world.defaultId = "speakers";
  }
  set("headset", Source::invalidated);
  EXPECT_TRUE(logged("close headset"));
  ASSERT_TRUE(sink.waitForSamples(received() + 480));
  {
    std::lock_guard<std::mutex> hold(world.mutex);
    EXPECT_EQ(std::count(world.log.begin(), world.log.end(), "open headset"), 1);
    EXPECT_EQ(std::count(world.log.begin(), world.log.end(), "open speakers"), 2);
    world.defaultId = "";
  }
  fake->watcher_->endpointGone("speakers");
  ASSERT_TRUE(sink.waitForLoss());
  stop();
  std::lock_guard<std::mutex> hold(sink.mutex);
  EXPECT_EQ(sink.losses, std::vector<std::string>{"no sound output to capture"});
}

// A stream that fails after its endpoint went away moves on; another failure of a running stream
// ends capture with the system's text, once; a stop after it completes, and nothing is delivered
// after the stop's completion.
TEST_F(WasapiService, AStreamFailureIsReportedOnceAndStopStillCompletes) {
  ASSERT_FALSE(start());
  ASSERT_TRUE(sink.waitForSamples(480));
  {
    std::lock_guard<std::mutex> hold(world.mutex);
    world.endpoints.erase("speakers");
    world.defaultId = "headset";
  }
  set("speakers", Source::fail);
  EXPECT_TRUE(logged("open headset"));
  set("headset", Source::fail);
  ASSERT_TRUE(sink.waitForLoss());
  stop();
  const std::size_t atStop = received();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(received(), atStop);
  std::lock_guard<std::mutex> hold(sink.mutex);
  EXPECT_EQ(sink.losses, std::vector<std::string>{"text of " + std::to_string(kSomeFailure)});
}

}  // namespace
}  // namespace zarn::platform::wasapi
