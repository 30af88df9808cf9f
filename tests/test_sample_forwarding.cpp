// Sample forwarding: the C payload byte for byte, the silent drops in the handler's order, the arm
// state and whole frames under overlap; in process, then quit while audio flows in zarn-audio-sim.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>
#include <tuple>

#include "sample_forwarding.h"
#include "sim_fixture.h"

namespace zarn::test {
namespace {

using Header = std::vector<std::uint8_t>;

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

// A delivery with the chunk fields, then a good one. The first is forwarded with the header, or,
// with none, dropped silently; any block it retained is released either way.
struct DeliveryCase {
  const char* name;
  std::string fields;  // of zarn-audio-sim's chunk= token; 48 kHz float mono by default
  Header header;
  friend void PrintTo(const DeliveryCase& c, std::ostream* out) { *out << c.name; }
};

const DeliveryCase kDeliveries[] = {
    {"FloatMono", "", kFloatMonoHeader},
    {"IntStereo", "rate:44100,flags:0,channels:2,bits:16", {0x44, 0xAC, 0, 0, 2, 0x10, 0, 0}},
    {"FractionTruncated", "rate:22050.75", {0x22, 0x56, 0, 0, 1, 32, 1, 0}},
    {"SmallNegativeIsZero", "rate:-0.5", {0, 0, 0, 0, 1, 32, 1, 0}},
    {"LargestRate", "rate:4294967295.5", {255, 255, 255, 255, 1, 32, 1, 0}},
    {"NoBitZero", "rate:96000,flags:0xFFFFFFFE", {0x00, 0x77, 1, 0, 1, 32, 0, 0}},
    {"BitZeroAndMore", "rate:8000,flags:0x80000029", {64, 31, 0, 0, 1, 32, 1, 0}},
    {"Largest8Bit", "channels:255,bits:255", {128, 187, 0, 0, 255, 255, 1, 0}},
    {"NotAudio", "fault:not-audio", {}},
    {"Invalid", "fault:invalid", {}},
    {"NotReady", "fault:not-ready", {}},
    {"NoFormat", "fault:no-format", {}},
    {"NoDescription", "fault:no-description", {}},
    {"ListFails", "fault:list-fail", {}},
    {"TwoBuffers", "fault:two-buffers", {}},
    {"NullData", "fault:null-data", {}},
    {"ZeroBytes", "fault:zero-bytes", {}},
    {"RateNaN", "rate:nan", {}},
    {"RateInfinite", "rate:inf", {}},
    {"RateMinusOne", "rate:-1", {}},
    {"RateTwoTo32", "rate:4294967296", {}},
    {"Channels256", "channels:256", {}},
    {"Bits256", "bits:256", {}}};

class OneDelivery : public SimTest, public ::testing::WithParamInterface<DeliveryCase> {};

TEST_P(OneDelivery, IsForwardedWholeOrDroppedSilentlyAndTheNextIsForwarded) {
  const auto& c = GetParam();
  Sim s({"chunk=" + c.fields, "chunk=", "pace=0"});
  s.capture.arm();  // before start, so the chunks may precede R
  s.capture.start();
  ASSERT_TRUE(s.service.waitFor([](auto& r) { return r.deliveries.size() == 2; }, kWait));
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
  Sim s({"chunk=bytes:16", "pace=1", "repeat=forever"});
  s.capture.arm();
  s.capture.start();
  ASSERT_TRUE(s.service.waitFor([](auto& r) { return r.deliveries.size() >= 3; }, kWait));
  s.capture.disarm();
  const std::uint64_t begunBeforeDisarm = s.service.record().deliveriesBegun;
  ASSERT_TRUE(s.service.waitFor(
      [&](auto& r) { return r.deliveries.size() >= begunBeforeDisarm + 5; }, kWait));
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

// Pings written meanwhile by another thread are the frame writer's concern (test_frames).
TEST_F(SampleForwarding, OverlappingDeliveriesWriteEveryFrameWhole) {
  // Sizes tell the deliveries apart; the largest fill the pipe, so writers queue on each other.
  const std::uint32_t sizes[] = {1, 7, 4096, 65539, 300001};
  constexpr int kRounds = 12;
  std::vector<std::string> script{"pace=0", "repeat=" + std::to_string(kRounds)};
  // Frames counted by type, payload size and, for chunks, header and samples intact.
  std::map<std::tuple<std::uint8_t, std::size_t, bool>, int> seen,
      expected{{{kFrameRunning, 0, true}, 1}};
  for (auto size : sizes) {
    script.push_back("chunk=bytes:" + std::to_string(size));
    expected[{kFrameChunk, kChunkHeaderSize + size, true}] = kRounds;
  }
  Sim s(script);
  s.capture.arm();
  std::thread starting([&] { s.capture.start(); });
  // Nobody reads yet, so deliveries pile up in the core's hands: the overlap is real.
  EXPECT_TRUE(s.service.waitFor([](auto& r) { return r.maxInFlight >= 2; }, kWait));
  for (const Frame& frame : frames().readFrames(kRounds * std::size(sizes) + 1, 4 * kWait)) {
    const auto [type, k, size, header] = chunkOf(frame);
    ++seen[{type, size, type != kFrameChunk || (k >= 0 && header == kFloatMonoHeader)}];
  }
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
  EXPECT_EQ(child.wait().describe(), "exit status 0");
  EXPECT_EQ(child.stderrText(), "");
}

}  // namespace
}  // namespace zarn::test
