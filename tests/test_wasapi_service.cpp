// The Windows service without Windows: its state handling, every phase with every event; where the
// timeline places a packet; the mix formats it reads; the ring between its threads; the whole on a
// recording fake of the WASAPI calls, for what Wine cannot show: endpoints that fail or go away;
// packets flagged silent; no packets while nothing plays. The fake's clock is virtual: every wait
// of the capture thread is 10 ms of the endpoint's time.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <ranges>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/wasapi/capture_machine.h"
#include "platform/wasapi/packet_audio.h"
#include "platform/wasapi/sample_ring.h"
#include "platform/wasapi/timeline.h"
#include "platform/wasapi/wasapi_service.h"
#include "state_table.h"

namespace zarn::platform::wasapi {
namespace {

using enum Phase;
using enum Event;

// One letter per action, in bit order: Close, Open the default, start Succeeded/Failed, Loss
// reported, sTop done, start refused. A change or loss of the endpoint while the first open is
// under way needs nothing: that open looks for the default as it is.
constexpr const char* kTable = R"(
  idle     start                                > opening  O
  idle     stop                                 > ended    T
  opening  stop                                 > ended    CFT
  opening  opened                               > running  S
  opening  noEndpoint openFailed                > ended    CF
  running  stop                                 > ended    CT
  running  defaultChanged endpointLost          > moving   CO
  running  streamFailed                         > ended    CL
  moving   stop                                 > ended    CT
  moving   opened                               > running
  moving   noEndpoint openFailed streamFailed   > ended    CL
  moving   defaultChanged endpointLost          > moving   CO
  ended    stop                                 > ended    T
)";

// What the table must keep: the start is answered exactly once, a stop always completes, a loss
// is reported only after the start was answered, and nothing is opened on the way to the end.
TEST(WasapiMachine, EveryPhaseWithEveryEvent) {
  test::expectEveryPair<Phase, Event>(
      kTable, "idle opening running moving ended",
      "start stop opened noEndpoint openFailed defaultChanged endpointLost streamFailed", "COSFLTr",
      [](Phase phase, Event event) {
        const Step step = nextStep(phase, event);
        const auto count = [&](std::uint32_t mask) { return std::popcount(step.actions & mask); };
        EXPECT_EQ(count(completeStart | failStart), int(phase == opening && step.next != opening));
        EXPECT_EQ(count(completeStop), int(event == stop));
        EXPECT_TRUE(!(step.actions & reportLoss) || phase == running || phase == moving);
        EXPECT_TRUE(step.next != ended || !(step.actions & openDefault));
        EXPECT_TRUE(step.next != ended || phase == idle || phase == ended ||
                    (step.actions & closeStream));
        return std::pair(step.next, step.actions);
      });
}

// After a first packet of 480 frames at position 0, captured at kStart: where the second, captured
// `at` after it, lands. 48 kHz: 10 ms is 480 frames and 100'000 ticks of 100 ns.
TEST(WasapiTimeline, PlacesAPacketByPositionOrElseByTheClock) {
  constexpr std::uint64_t kTenMs = 100'000, kStart = 7'000'000'000;
  using Expected = std::pair<std::uint32_t, std::uint32_t>;  // zeros before it, frames skipped
  const std::tuple<const char*, std::uint64_t, std::uint64_t, bool, Expected> cases[] = {
      {"follows on the device's count, clock jitter ignored", 480, kTenMs - 2'000, false, {}},
      {"follows on, but the endpoint says it does not", 480, kTenMs + 2 * kTenMs, true, {960, 0}},
      {"the count jumped: the clock places it after a gap", 5000, 3 * kTenMs, false, {960, 0}},
      {"the count jumped back: the clock finds an overlap", 100, kTenMs / 2, false, {0, 240}},
      {"entirely covered already", 100, 0, true, {0, 480}},
  };
  for (const auto& [what, position, at, discontinuous, expected] : cases) {
    Timeline timeline(48000);
    timeline.place(0, kStart, 480, false, kStart);
    const Placement got = timeline.place(position, kStart + at, 480, discontinuous, kStart + at);
    EXPECT_EQ(std::pair(got.zerosBefore, got.skipFrames), expected) << what;
  }
}

// Integer mix formats (the tone under Wine shows float) come out as mono floats: channels
// averaged, full scale 1, little-endian samples at any width. What cannot be read is refused.
TEST(WasapiMixFormat, ConvertsEveryPcmLayoutToMonoFloat) {
  const std::pair<WaveFields, std::vector<std::uint8_t>> cases[] = {
      // Two stereo frames whose channels average to 0.5 and -0.5.
      {{false, 44100, 2, 16, 4}, {0, 0x40, 0, 0x40, 0, 0x80, 0, 0}},
      {{false, 96000, 2, 24, 6}, {0, 0, 0x40, 0, 0, 0x40, 0, 0, 0x80, 0, 0, 0}},
      // Refused.
      {{true, 48000, 2, 16, 4}, {}},   // 16-bit float
      {{false, 48000, 2, 8, 2}, {}},   // 8-bit PCM
      {{true, 48000, 2, 32, 12}, {}},  // frames with padding
      {{true, 0, 2, 32, 8}, {}},       // no rate
      {{true, 48000, 0, 32, 0}, {}},   // no channels
  };
  for (const auto& [fields, twoStereoFrames] : cases) {
    const auto format = readMixFormat(fields);
    ASSERT_EQ(bool(format), !twoStereoFrames.empty()) << fields.containerBits;
    if (!format) continue;
    MonoMixer mixer(*format, 2);
    const float* mono = mixer.mix(twoStereoFrames.data(), 2);
    EXPECT_EQ(std::vector(mono, mono + 2), (std::vector{0.5f, -0.5f})) << fields.containerBits;
  }
}

// The writer never waits: what does not fit is dropped and counted, and the reader gets the rest
// in order across the wrap.
TEST(WasapiSampleRing, KeepsOrderAcrossTheWrapAndDropsWhatDoesNotFit) {
  SampleRing ring(4);
  const float samples[] = {1, 2, 3, 4, 5, 6};
  float out[4];
  EXPECT_EQ(ring.write(samples, 3), 3u);
  EXPECT_EQ(ring.read(out, 2), 2u);
  EXPECT_EQ(ring.write(nullptr, 2), 2u);  // zeros, across the end of the storage
  EXPECT_EQ(ring.write(samples + 3, 3), 1u);
  EXPECT_EQ(ring.dropped(), 2u);
  ASSERT_EQ(ring.read(out, 4), 4u);
  EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{3, 0, 0, 4}));
}

using namespace std::chrono_literals;

constexpr Hresult kSomeFailure = static_cast<Hresult>(0x88890011);

// What an endpoint's source does on each 10 ms tick; the last: the endpoint is gone, and its
// stream fails for it.
enum class Source { play, quiet, flaggedSilent, invalidated, fail, failGone };

// The system as the fake shows it, the opens and closes made on it, and what the parent got:
// under one lock, so a test waits for any of it the same way. The service owns it once started.
struct World final : AudioSink, Endpoints {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, Source> endpoints{{"speakers", Source::play}, {"headset", Source::play}};
  std::string defaultId = "speakers";
  EndpointWatcher* watcher = nullptr;
  std::vector<std::string> log;
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
  // The default becomes `newDefault`, and the endpoint `id`'s source does as `source` says.
  void change(const std::string& newDefault, const std::string& id, Source source) {
    locked([&] {
      defaultId = newDefault;
      endpoints[id] = source;
    });
  }
  // Waits for `more` samples than have come so far; returns where they start.
  std::size_t awaitMore(std::size_t more) {
    const std::size_t from = locked([&] { return samples.size(); });
    EXPECT_TRUE(waitUntil([&] { return samples.size() >= from + more; }));
    return from;
  }

  void deliver(const AudioBlock& block) override {
    const auto* values = reinterpret_cast<const float*>(block.bytes.data());
    locked([&] { samples.insert(samples.end(), values, values + block.bytes.size() / 4); });
  }
  void stopped(const std::string& text) override {
    locked([&] { losses.push_back(text); });
  }
  bool forwarding() const noexcept override { return true; }

  void enterThread(bool) override {}
  void leaveThread() override {}
  Hresult watch(EndpointWatcher& watching) override {
    locked([&] { watcher = &watching; });
    return kOk;
  }
  Hresult openDefault(std::unique_ptr<LoopbackStream>& stream, std::string& id) override;
  bool active(const std::string& id) override {
    return locked([&] { return endpoints[id] != Source::failGone; });
  }
  std::string describe(Hresult result) override { return "text of " + std::to_string(result); }

  // Where the first sample of `value` at or after `from` is; the end if none.
  std::size_t find(std::size_t from, float value) const {
    return std::ranges::find(samples | std::views::drop(from), value) - samples.begin();
  }
};

class FakeStream final : public LoopbackStream {
 public:
  FakeStream(World& world, std::string id) : world_(world), id_(std::move(id)) {}
  ~FakeStream() override {
    world_.locked([&] { world_.log.push_back("close " + id_); });
  }
  const MixFormat& format() const override { return format_; }
  std::uint32_t bufferFrames() const override { return 4800; }
  void waitForPacket(std::chrono::milliseconds) override {
    std::this_thread::sleep_for(1ms);
    const Source source = world_.locked([&] { return world_.endpoints[id_]; });
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data_.data());
    if (source == Source::play && last_ != Source::play)
      world_.locked([&] { world_.soundStarts.push_back(now()); });
    last_ = source;
    if (source == Source::play || source == Source::flaggedSilent)
      pending_ = Packet{bytes, 480, source == Source::flaggedSilent, false, position_, now()};
    position_ += 480;  // the device counts on while nothing is sent
  }
  Hresult nextPacket(Packet& packet) override {
    if (last_ >= Source::invalidated)
      return last_ == Source::invalidated ? kDeviceInvalidated : kSomeFailure;
    if (!pending_) return kBufferEmpty;
    packet = *std::exchange(pending_, std::nullopt);
    return kOk;
  }
  Hresult releasePacket(std::uint32_t) override { return kOk; }
  std::uint64_t now() const override { return 5'000'000'000 + position_ / 480 * 100'000; }

 private:
  World& world_;
  std::string id_;
  MixFormat format_{48000, 2, SampleKind::float32, 8};
  std::vector<float> data_ = std::vector<float>(960, 0.25f);  // what a flagged packet holds too
  std::optional<Packet> pending_;                             // one packet per 10 ms at most
  std::uint64_t position_ = 0;
  Source last_ = Source::quiet;
};

Hresult World::openDefault(std::unique_ptr<LoopbackStream>& stream, std::string& id) {
  locked([&] { log.push_back("open " + (id = defaultId)); });
  stream = std::make_unique<FakeStream>(*this, id);
  return kOk;
}

// Sound, then nothing from the source for a while, then packets flagged silent whose buffers hold
// sound, then sound: the parent gets zeros for both stretches, exactly as long as they lasted on
// the endpoint's clock. Then the captured endpoint invalidated, or failing after it went away:
// capture moves on to the default without a word. A failure of an endpoint still there ends it,
// reported once with the system's text; a stop after it completes, and nothing is delivered after
// that.
TEST(WasapiService, FillsSilenceFollowsTheDefaultAndReportsOnlyAFailureItCannotMoveOnFrom) {
  World& world = *new World;  // the service's to end
  WasapiService service{std::unique_ptr<Endpoints>(&world)};
  std::promise<std::optional<StartFailure>> started;
  service.start(world, [&](std::optional<StartFailure> failure) { started.set_value(failure); });
  ASSERT_FALSE(started.get_future().get());  // the service watches the endpoints by now
  ASSERT_TRUE(
      world.waitUntil([&] { return world.find(0, 0.25f) + 5 * 480 <= world.samples.size(); }));
  world.change("speakers", "speakers", Source::quiet);
  world.awaitMore(40 * 480);
  world.change("speakers", "speakers", Source::flaggedSilent);
  const std::size_t flagged = world.awaitMore(10 * 480);
  world.change("speakers", "speakers", Source::play);
  ASSERT_TRUE(world.waitUntil([&] {
    return world.find(world.find(world.find(0, 0.25f), 0.0f), 0.25f) < world.samples.size();
  }));
  world.change("headset", "speakers", Source::invalidated);
  ASSERT_TRUE(world.waitUntil([&] { return world.log.size() == 3; }));
  world.change("dock", "headset", Source::failGone);  // a new endpoint plays from the start
  ASSERT_TRUE(world.waitUntil([&] { return world.log.size() == 5; }));
  world.change("dock", "dock", Source::fail);
  ASSERT_TRUE(world.waitUntil([&] { return !world.losses.empty(); }));
  std::promise<void> stopped;
  service.stop([&] { stopped.set_value(); });
  stopped.get_future().get();
  const std::size_t atStop = world.locked([&] { return world.samples.size(); });
  std::this_thread::sleep_for(50ms);
  std::lock_guard<std::mutex> hold(world.mutex);
  EXPECT_EQ(world.samples.size(), atStop);
  EXPECT_EQ(world.losses, std::vector{"text of " + std::to_string(kSomeFailure)});
  EXPECT_EQ(world.log, (std::vector<std::string>{"open speakers", "close speakers", "open headset",
                                                 "close headset", "open dock", "close dock"}));
  const std::size_t firstSound = world.find(0, 0.25f), silence = world.find(firstSound, 0.0f),
                    secondSound = world.find(silence, 0.25f);
  ASSERT_GE(world.soundStarts.size(), 2u);
  EXPECT_EQ(secondSound - firstSound, (world.soundStarts[1] - world.soundStarts[0]) / 100'000 * 480)
      << "a gap or an overlap";
  EXPECT_GE(secondSound - silence, 40u * 480);
  EXPECT_GE(secondSound, flagged + 10 * 480) << "a flagged packet's buffer was heard";
}

}  // namespace
}  // namespace zarn::platform::wasapi
