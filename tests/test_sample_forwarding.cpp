// Sample forwarding: the C payload byte for byte, the silent drops in the handler's order, the arm
// state and whole frames under overlap; in process, then quit while audio flows in zarn-audio-sim.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <thread>
#include <tuple>

#include "sample_forwarding.h"
#include "sim_fixture.h"

namespace zarn::test {
namespace {

using sim::Script;
using Fault = sim::Delivery::Fault;
using Header = std::vector<std::uint8_t>;

constexpr platform::StreamDescription kFloatMono{48000.0, 1, 1, 32};
const Header kFloatMonoHeader{0x80, 0xBB, 0x00, 0x00, 0x01, 0x20, 0x01, 0x00};

// A frame as (type, k, payload size, header): k is the number of the counter-filled delivery,
// whose sample byte j is (k + j) mod 256, or -1 if the samples are not that pattern.
using Chunk = std::tuple<std::uint8_t, int, std::size_t, Header>;
Chunk chunkOf(const Frame& f) {
  const std::size_t n = f.payload.size();
  int k = n > kChunkHeaderSize ? f.payload[kChunkHeaderSize] : -1;
  for (std::size_t j = kChunkHeaderSize; j < n && k >= 0; ++j) {
    if (f.payload[j] != static_cast<std::uint8_t>(k + j - kChunkHeaderSize)) k = -1;
  }
  return {f.type, k, n,
          Header(f.payload.begin(), f.payload.begin() + std::min(n, kChunkHeaderSize))};
}

Script scripted(std::vector<sim::Delivery> deliveries, int paceMs, std::int64_t repeat = 1) {
  Script script;
  std::tie(script.deliveries, script.paceMs, script.repeat) = std::tie(deliveries, paceMs, repeat);
  return script;
}

// A delivery with the fault and format, then a good one. The first is forwarded with the header,
// or, with none, dropped silently; any block it retained is released either way.
struct DeliveryCase {
  const char* name;
  Fault fault;
  platform::StreamDescription format;
  Header header;
  friend void PrintTo(const DeliveryCase& c, std::ostream* out) { *out << c.name; }
};

const DeliveryCase kDeliveries[] = {
    {"FloatMono", Fault::none, kFloatMono, kFloatMonoHeader},
    {"IntStereo", Fault::none, {44100.0, 0, 2, 16}, {0x44, 0xAC, 0, 0, 2, 0x10, 0, 0}},
    {"FractionTruncated", Fault::none, {22050.75, 1, 1, 32}, {0x22, 0x56, 0, 0, 1, 32, 1, 0}},
    {"SmallNegativeIsZero", Fault::none, {-0.5, 1, 1, 32}, {0, 0, 0, 0, 1, 32, 1, 0}},
    {"LargestRate", Fault::none, {4294967295.5, 1, 1, 32}, {255, 255, 255, 255, 1, 32, 1, 0}},
    {"NoBitZero", Fault::none, {96000.0, 0xFFFFFFFE, 1, 32}, {0x00, 0x77, 1, 0, 1, 32, 0, 0}},
    {"BitZeroAndMore", Fault::none, {8000.0, 0x80000029, 1, 32}, {64, 31, 0, 0, 1, 32, 1, 0}},
    {"Largest8Bit", Fault::none, {48000.0, 1, 255, 255}, {128, 187, 0, 0, 255, 255, 1, 0}},
    {"NotAudio", Fault::notAudio, kFloatMono, {}},
    {"Invalid", Fault::invalid, kFloatMono, {}},
    {"NotReady", Fault::notReady, kFloatMono, {}},
    {"NoFormat", Fault::noFormat, kFloatMono, {}},
    {"NoDescription", Fault::noDescription, kFloatMono, {}},
    {"ListFails", Fault::listFail, kFloatMono, {}},
    {"TwoBuffers", Fault::twoBuffers, kFloatMono, {}},
    {"NullData", Fault::nullData, kFloatMono, {}},
    {"ZeroBytes", Fault::zeroBytes, kFloatMono, {}},
    {"RateNaN", Fault::none, {std::nan(""), 1, 1, 32}, {}},
    {"RateInfinite", Fault::none, {HUGE_VAL, 1, 1, 32}, {}},
    {"RateMinusOne", Fault::none, {-1.0, 1, 1, 32}, {}},
    {"RateTwoTo32", Fault::none, {4294967296.0, 1, 1, 32}, {}},
    {"Channels256", Fault::none, {48000.0, 1, 256, 32}, {}},
    {"Bits256", Fault::none, {48000.0, 1, 1, 256}, {}}};

class OneDelivery : public SimTest, public ::testing::WithParamInterface<DeliveryCase> {};

TEST_P(OneDelivery, IsForwardedWholeOrDroppedSilentlyAndTheNextIsForwarded) {
  const auto& c = GetParam();
  Sim s(scripted({{.format = c.format, .fault = c.fault}, goodDelivery(1024)}, 0));
  s.capture.arm();  // before start, so the chunks may precede R
  s.capture.start();
  ASSERT_TRUE(
      s.service.waitFor([](auto& r) { return r.deliveries.size() == 2; }, milliseconds(5000)));
  std::vector<Chunk> got, expected;
  for (const Frame& f : frames().readUntilQuiet()) got.push_back(chunkOf(f));
  std::sort(got.begin(), got.end());
  if (!c.header.empty()) expected.emplace_back(kFrameChunk, 0, 1032, c.header);
  expected.emplace_back(kFrameChunk, 1, 1032, kFloatMonoHeader);
  expected.emplace_back(kFrameRunning, -1, 0, Header{});  // R once, and no E frame
  EXPECT_EQ(got, expected);

  const sim::Record record = s.service.record();  // both deliveries, as waited for above
  for (const sim::DeliveryRecord& d : record.deliveries) {
    EXPECT_EQ(d.blocksReleased, d.blocksRetained) << d.index;  // released on every path
    EXPECT_TRUE(d.listPrepared);
  }
  EXPECT_EQ(record.strayReleases, 0);
}

INSTANTIATE_TEST_SUITE_P(Each, OneDelivery, ::testing::ValuesIn(kDeliveries),
                         [](const auto& info) { return std::string(info.param.name); });

using SampleForwarding = SimTest;

TEST_F(SampleForwarding, DisarmStopsForwardingAndTouchesNoLaterSampleBuffer) {
  Sim s(scripted({goodDelivery(16)}, 1, Script::kForever));
  s.capture.arm();
  s.capture.start();
  ASSERT_TRUE(
      s.service.waitFor([](auto& r) { return r.deliveries.size() >= 3; }, milliseconds(5000)));
  s.capture.disarm();
  const std::uint64_t begunBeforeDisarm = s.service.record().deliveriesBegun;
  ASSERT_TRUE(s.service.waitFor(
      [&](auto& r) { return r.deliveries.size() >= begunBeforeDisarm + 5; }, milliseconds(5000)));
  s.capture.stop();
  // Only deliveries already past the flag read when disarm returned may still be forwarded.
  std::ptrdiff_t forwarded = 0;
  for (const auto& d : s.service.record().deliveries) {
    EXPECT_TRUE(d.begunAs < begunBeforeDisarm || d.sampleBufferCalls() + d.blocksRetained == 0);
    forwarded += d.listCalls > 0;
  }
  EXPECT_GE(forwarded, 3);
  EXPECT_EQ(std::ranges::count(frames().readUntilQuiet(), kFrameChunk, &Frame::type), forwarded);
}

TEST_F(SampleForwarding, OverlappingDeliveriesAndPingsWriteEveryFrameWhole) {
  // Sizes tell the deliveries apart; the largest fill the pipe, so writers queue on each other.
  const std::uint32_t sizes[] = {1, 7, 4096, 65539, 300001};
  constexpr int kRounds = 12, kPings = 400;
  Script script = scripted({}, 0, kRounds);
  // Frames counted by type, payload size and, for chunks, header and samples intact.
  std::map<std::tuple<std::uint8_t, std::size_t, bool>, int> seen,
      expected{{{kFrameRunning, 0, true}, 1}, {{kFramePong, 0, true}, kPings}};
  for (auto size : sizes) {
    script.deliveries.push_back(goodDelivery(size));
    expected[{kFrameChunk, kChunkHeaderSize + size, true}] = kRounds;
  }
  Sim s(std::move(script));
  s.capture.arm();
  std::thread starting([&] { s.capture.start(); });
  // Nobody reads yet, so deliveries pile up in the core's hands: the overlap is real.
  EXPECT_TRUE(s.service.waitFor([](auto& r) { return r.maxInFlight >= 2; }, milliseconds(5000)));
  std::thread pinger([] {
    for (int i = 0; i < kPings; ++i) writeFrame(kFramePong);
  });
  for (int n = 0; n < kRounds * int(std::size(sizes)) + kPings + 1; ++n) {
    const auto frame = frames().readFrame();
    if (!frame) break;
    const auto [type, k, size, header] = chunkOf(*frame);
    ++seen[{type, size, type != kFrameChunk || (k >= 0 && header == kFloatMonoHeader)}];
  }
  pinger.join();
  starting.join();
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});
  EXPECT_EQ(seen, expected);
}

TEST(QuitWhileAudioFlows, ExitsZeroAndTheLastFrameIsWhole) {
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {"chunk=bytes:100000", "chunk=bytes:3,rate:44100",
                                           "pace=0", "repeat=forever"});
  ASSERT_TRUE(child.write("A"));
  ASSERT_EQ(child.readFrames(20).size(), 20u);  // audio is flowing
  ASSERT_TRUE(child.write("PQ"));
  int pongs = 0;
  while (auto frame = child.readFrame()) {
    pongs += frame->type == kFramePong;
    const auto [type, k, size, header] = chunkOf(*frame);
    EXPECT_TRUE(type != kFrameChunk || (k >= 0 && (size == 100008 || size == 11))) << size;
  }
  EXPECT_EQ(pongs, 1);
  EXPECT_TRUE(child.outputEnded() && child.bufferedBytes() == 0) << child.frameError();
  const ExitResult result = child.wait();
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  EXPECT_EQ(child.stderrText(), "");
}

}  // namespace
}  // namespace zarn::test
