// The Windows service's parts that need no Windows: its state handling, every phase with every
// event; where the timeline places a packet (its silence fill shows in test_wasapi_service);
// the mix formats it reads; the ring between its threads.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

#include "platform/wasapi/capture_machine.h"
#include "platform/wasapi/packet_audio.h"
#include "platform/wasapi/sample_ring.h"
#include "platform/wasapi/timeline.h"
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

// 48 kHz: 10 ms is 480 frames and 100'000 ticks of 100 ns.
constexpr std::uint64_t kTenMs = 100'000;
constexpr std::uint64_t kStart = 7'000'000'000;

struct PacketCase {
  const char* what;
  std::uint64_t position;
  std::uint64_t capturedAt;  // after kStart
  bool discontinuous;
  Placement expected;
};

// After a first packet of 480 frames at position 0, captured at kStart: where the second lands.
TEST(WasapiTimeline, PlacesAPacketByPositionOrElseByTheClock) {
  const PacketCase cases[] = {
      {"follows on the device's count, clock jitter ignored", 480, kTenMs - 2'000, false, {}},
      {"follows on, but the endpoint says it does not", 480, kTenMs + 2 * kTenMs, true, {960, 0}},
      {"the count jumped: the clock places it after a gap", 5000, 3 * kTenMs, false, {960, 0}},
      {"the count jumped back: the clock finds an overlap", 100, kTenMs / 2, false, {0, 240}},
      {"entirely covered already", 100, 0, true, {0, 480}},
  };
  for (const PacketCase& c : cases) {
    Timeline timeline(48000);
    timeline.place(0, kStart, 480, false, kStart);
    const Placement got = timeline.place(c.position, kStart + c.capturedAt, 480, c.discontinuous,
                                         kStart + c.capturedAt);
    EXPECT_EQ(got.zerosBefore, c.expected.zerosBefore) << c.what;
    EXPECT_EQ(got.skipFrames, c.expected.skipFrames) << c.what;
  }
}

template <class T>
std::vector<std::uint8_t> bytesOf(std::initializer_list<T> values) {
  std::vector<std::uint8_t> bytes(values.size() * sizeof(T));
  std::memcpy(bytes.data(), values.begin(), bytes.size());
  return bytes;
}

struct FormatCase {
  WaveFields fields;
  std::vector<std::uint8_t> twoStereoFrames;
  float expected[2];
};

// Every layout a mix format can have comes out as mono floats: channels averaged, full scale 1.
TEST(WasapiMixFormat, ConvertsEveryPcmLayoutToMonoFloat) {
  const FormatCase cases[] = {
      {{true, 48000, 2, 32, 8}, bytesOf<float>({0.5f, 0.5f, -1.0f, 0.0f}), {0.5f, -0.5f}},
      {{true, 48000, 2, 64, 16}, bytesOf<double>({0.25, 0.75, 1.0, 1.0}), {0.5f, 1.0f}},
      {{false, 44100, 2, 16, 4}, bytesOf<std::int16_t>({16384, 16384, -32768, 0}), {0.5f, -0.5f}},
      {{false, 96000, 2, 24, 6}, {0, 0, 0x40, 0, 0, 0x40, 0, 0, 0x80, 0, 0, 0}, {0.5f, -0.5f}},
      {{false, 48000, 2, 32, 8},
       bytesOf<std::int32_t>({1 << 30, 1 << 30, INT32_MIN, 0}),
       {0.5f, -0.5f}},
  };
  for (const FormatCase& c : cases) {
    const auto format = readMixFormat(c.fields);
    ASSERT_TRUE(format) << c.fields.containerBits;
    MonoMixer mixer(*format, 2);
    const float* mono = mixer.mix(c.twoStereoFrames.data(), 2);
    EXPECT_FLOAT_EQ(mono[0], c.expected[0]) << c.fields.containerBits;
    EXPECT_FLOAT_EQ(mono[1], c.expected[1]) << c.fields.containerBits;
  }
  const WaveFields unreadable[] = {
      {true, 48000, 2, 16, 4},   // 16-bit float
      {false, 48000, 2, 8, 2},   // 8-bit PCM
      {true, 48000, 2, 32, 12},  // frames with padding
      {true, 0, 2, 32, 8},       // no rate
      {true, 48000, 0, 32, 0},   // no channels
  };
  for (const WaveFields& fields : unreadable) EXPECT_FALSE(readMixFormat(fields));
}

// The writer never waits: what does not fit is dropped and counted, and the reader gets the rest
// in order across the wrap.
TEST(WasapiSampleRing, KeepsOrderAcrossTheWrapAndDropsWhatDoesNotFit) {
  SampleRing ring(8);
  const float first[] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(ring.write(first, 6), 6u);
  float out[8];
  EXPECT_EQ(ring.read(out, 4), 4u);
  EXPECT_EQ(ring.write(nullptr, 3), 3u);  // zeros, across the end of the storage
  const float more[] = {7, 8, 9, 10};
  EXPECT_EQ(ring.write(more, 4), 3u);
  EXPECT_EQ(ring.dropped(), 1u);
  EXPECT_EQ(ring.waiting(), 8u);
  ASSERT_EQ(ring.read(out, 8), 8u);
  EXPECT_EQ(std::vector<float>(out, out + 8), (std::vector<float>{5, 6, 0, 0, 0, 7, 8, 9}));
}

}  // namespace
}  // namespace zarn::platform::wasapi
