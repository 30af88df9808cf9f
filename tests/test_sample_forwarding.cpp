// Sample forwarding: the C payload byte for byte, the silent drops in the handler's order, the arm
// state, and whole frames while deliveries overlap each other and other writers. In process on
// the scripted service, then through zarn-audio-sim for quit while audio flows.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <thread>

#include "sample_forwarding.h"
#include "sim_fixture.h"

namespace zarn::test {
namespace {

using sim::Delivery;
using sim::Script;
using Fault = Delivery::Fault;
using Header = std::array<std::uint8_t, 8>;

// The delivery number a counter-filled chunk carries in its first sample byte, modulo 256.
int deliveryOf(const Frame& chunk) {
  return chunk.payload.size() > kChunkHeaderSize ? chunk.payload[kChunkHeaderSize] : -1;
}

// The samples are the counter pattern, unchanged: byte j of delivery k is (k + j) mod 256.
bool samplesIntact(const Frame& chunk) {
  const auto first = chunk.payload[kChunkHeaderSize];
  for (std::size_t j = kChunkHeaderSize; j < chunk.payload.size(); ++j) {
    if (chunk.payload[j] != static_cast<std::uint8_t>(first + (j - kChunkHeaderSize))) {
      return false;
    }
  }
  return true;
}

Header headerOf(const Frame& chunk) {
  Header header{};
  std::copy_n(chunk.payload.begin(), header.size(), header.begin());
  return header;
}

struct Outcome {
  std::vector<Frame> chunks;
  std::vector<Frame> others;  // everything but C frames
  sim::Record record;
};

class SampleForwarding : public SimTest {
 protected:
  // Starts capture (armed first, unless told otherwise), lets every scripted delivery return and
  // collects the frames.
  Outcome run(std::vector<Delivery> deliveries, bool armed = true) {
    Script script;
    script.deliveries = std::move(deliveries);
    script.paceMs = 0;
    const std::size_t count = script.deliveries.size();
    Sim s(std::move(script));
    if (armed) s.capture.arm();
    s.capture.start();
    EXPECT_TRUE(s.service.waitFor([&](auto& r) { return r.deliveries.size() == count; },
                                  milliseconds(5000)));
    Outcome result;
    for (auto& frame : frames().readUntilQuiet()) {
      (frame.type == kFrameChunk ? result.chunks : result.others).push_back(std::move(frame));
    }
    result.record = s.service.record();
    return result;
  }
};

TEST_F(SampleForwarding, FloatMonoChunkIsByteExact) {
  const Outcome r = run({goodDelivery(1024)});
  EXPECT_EQ(r.others, std::vector<Frame>{emptyFrame(kFrameRunning)});
  ASSERT_EQ(r.chunks.size(), 1u);
  const Frame& chunk = r.chunks[0];
  ASSERT_EQ(chunk.payload.size(), 1032u);  // the length field
  EXPECT_EQ(headerOf(chunk), (Header{0x80, 0xBB, 0x00, 0x00, 0x01, 0x20, 0x01, 0x00}));
  EXPECT_EQ(deliveryOf(chunk), 0);
  EXPECT_TRUE(samplesIntact(chunk));
}

struct HeaderCase {
  const char* name;
  platform::StreamDescription format;
  Header expected;
};

void PrintTo(const HeaderCase& c, std::ostream* out) {
  *out << c.name;
}

class ChunkHeader : public SampleForwarding, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(ChunkHeader, CarriesTheDeliveredFormat) {
  Delivery delivery = goodDelivery(6);
  delivery.format = GetParam().format;
  const Outcome r = run({delivery});
  ASSERT_EQ(r.chunks.size(), 1u);
  EXPECT_EQ(r.chunks[0].payload.size(), 14u);
  EXPECT_EQ(headerOf(r.chunks[0]), GetParam().expected);
  EXPECT_TRUE(samplesIntact(r.chunks[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ChunkHeader,
    ::testing::Values(
        HeaderCase{"IntStereo", {44100.0, 0, 2, 16}, {0x44, 0xAC, 0, 0, 2, 16, 0, 0}},
        HeaderCase{"FractionTruncated", {22050.75, 1, 1, 32}, {0x22, 0x56, 0, 0, 1, 32, 1, 0}},
        HeaderCase{"JustBelowOne", {0.999, 1, 1, 32}, {0, 0, 0, 0, 1, 32, 1, 0}},
        HeaderCase{"SmallNegativeIsZero", {-0.5, 1, 1, 32}, {0, 0, 0, 0, 1, 32, 1, 0}},
        HeaderCase{"LargestRate", {4294967295.5, 1, 1, 32}, {0xFF, 0xFF, 0xFF, 0xFF, 1, 32, 1, 0}},
        HeaderCase{
            "FlagsWithoutBitZero", {96000.0, 0xFFFFFFFE, 1, 32}, {0x00, 0x77, 1, 0, 1, 32, 0, 0}},
        HeaderCase{
            "BitZeroAmongOthers", {8000.0, 0x80000029, 1, 32}, {0x40, 0x1F, 0, 0, 1, 32, 1, 0}},
        HeaderCase{
            "LargestChannelsAndBits", {48000.0, 1, 255, 255}, {0x80, 0xBB, 0, 0, 255, 255, 1, 0}},
        HeaderCase{"ZeroChannelsAndBits", {48000.0, 0, 0, 0}, {0x80, 0xBB, 0, 0, 0, 0, 0, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SampleForwarding, FormatsTheHeaderCannotHoldAreDroppedAndTheNextIsForwarded) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<platform::StreamDescription> unrepresentable = {
      {nan, 1, 1, 32},
      {-nan, 1, 1, 32},
      {inf, 1, 1, 32},
      {-inf, 1, 1, 32},
      {-1.0, 1, 1, 32},
      {-1e9, 1, 1, 32},
      {4294967296.0, 1, 1, 32},
      {1e300, 1, 1, 32},
      {48000.0, 1, 256, 32},
      {48000.0, 1, 1, 256},
      {48000.0, 1, 0xFFFFFFFF, 32},
  };
  std::vector<Delivery> deliveries;
  for (const auto& format : unrepresentable) {
    Delivery bad = goodDelivery(16);
    bad.format = format;
    deliveries.push_back(bad);
    deliveries.push_back(goodDelivery(16));
  }
  const Outcome r = run(deliveries);
  EXPECT_EQ(r.others, std::vector<Frame>{emptyFrame(kFrameRunning)});  // no E frame
  std::vector<int> forwarded;
  for (const auto& chunk : r.chunks) forwarded.push_back(deliveryOf(chunk));
  std::sort(forwarded.begin(), forwarded.end());
  std::vector<int> good;
  for (int k = 1; k < static_cast<int>(deliveries.size()); k += 2) good.push_back(k);
  EXPECT_EQ(forwarded, good);
}

// The calls a faulty delivery gets before it is dropped: the handler's tests in their order, each
// made once, and a retained block buffer always released.
struct FaultCase {
  const char* name;
  Fault fault;
  int valid, ready, format, description, list, retained;
};

void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << c.name;
}

class FaultyBuffer : public SampleForwarding, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FaultyBuffer, IsDroppedSilentlyAfterTheTestsBeforeItAndTheNextIsForwarded) {
  const FaultCase& c = GetParam();
  Delivery faulty = goodDelivery(32);
  faulty.fault = c.fault;
  const Outcome r = run({faulty, goodDelivery(32)});

  EXPECT_EQ(r.others, std::vector<Frame>{emptyFrame(kFrameRunning)});
  ASSERT_EQ(r.chunks.size(), 1u);
  EXPECT_EQ(deliveryOf(r.chunks[0]), 1);
  EXPECT_EQ(r.chunks[0].payload.size(), 40u);

  ASSERT_EQ(r.record.deliveries.size(), 2u);
  for (const sim::DeliveryRecord& d : r.record.deliveries) {
    const bool isFaulty = d.index == 0;
    SCOPED_TRACE(isFaulty ? "faulty delivery" : "good delivery");
    EXPECT_EQ(d.validCalls, isFaulty ? c.valid : 1);
    EXPECT_EQ(d.readyCalls, isFaulty ? c.ready : 1);
    EXPECT_EQ(d.formatCalls, isFaulty ? c.format : 1);
    EXPECT_EQ(d.descriptionCalls, isFaulty ? c.description : 1);
    EXPECT_EQ(d.listCalls, isFaulty ? c.list : 1);
    EXPECT_EQ(d.blocksRetained, isFaulty ? c.retained : 1);
    EXPECT_EQ(d.blocksReleased, d.blocksRetained);
    EXPECT_TRUE(d.listPrepared);
  }
  EXPECT_EQ(r.record.strayReleases, 0);
}

INSTANTIATE_TEST_SUITE_P(
    EachFault, FaultyBuffer,
    ::testing::Values(FaultCase{"NotAudio", Fault::notAudio, 0, 0, 0, 0, 0, 0},
                      FaultCase{"Invalid", Fault::invalid, 1, 0, 0, 0, 0, 0},
                      FaultCase{"NotReady", Fault::notReady, 1, 1, 0, 0, 0, 0},
                      FaultCase{"NoFormat", Fault::noFormat, 1, 1, 1, 0, 0, 0},
                      FaultCase{"NoDescription", Fault::noDescription, 1, 1, 1, 1, 0, 0},
                      FaultCase{"ListFails", Fault::listFail, 1, 1, 1, 1, 1, 1},
                      FaultCase{"TwoBuffers", Fault::twoBuffers, 1, 1, 1, 1, 1, 0},
                      FaultCase{"NullData", Fault::nullData, 1, 1, 1, 1, 1, 1},
                      FaultCase{"ZeroBytes", Fault::zeroBytes, 1, 1, 1, 1, 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SampleForwarding, WhileDisarmedNothingIsForwardedAndNoSampleBufferIsTouched) {
  std::vector<Delivery> deliveries(4, goodDelivery(32));
  deliveries[1].fault = Fault::listFail;
  deliveries[2].fault = Fault::notAudio;
  const Outcome r = run(deliveries, false);
  EXPECT_TRUE(r.chunks.empty()) << describe(r.chunks);
  ASSERT_EQ(r.record.deliveries.size(), 4u);
  for (const auto& d : r.record.deliveries) {
    EXPECT_EQ(d.sampleBufferCalls(), 0) << "delivery " << d.index;
    EXPECT_EQ(d.blocksRetained, 0);
  }
}

TEST_F(SampleForwarding, ArmingBeforeRunningForwardsTheFirstDelivery) {
  // run() arms before start; the one delivery comes as soon as capture runs, maybe before R.
  const Outcome r = run({goodDelivery(8)});
  ASSERT_EQ(r.chunks.size(), 1u);
  EXPECT_EQ(deliveryOf(r.chunks[0]), 0);
  EXPECT_EQ(r.others, std::vector<Frame>{emptyFrame(kFrameRunning)});
}

TEST_F(SampleForwarding, DisarmStopsForwardingFromTheNextDelivery) {
  Script script;
  script.deliveries = {goodDelivery(16)};
  script.repeat = Script::kForever;
  script.paceMs = 1;
  Sim s(std::move(script));
  s.capture.start();
  s.capture.arm();
  ASSERT_TRUE(s.service.waitFor(
      [](auto& r) {
        return std::count_if(r.deliveries.begin(), r.deliveries.end(),
                             [](auto& d) { return d.listCalls > 0; }) >= 3;
      },
      milliseconds(5000)));
  s.capture.disarm();
  const std::uint64_t begunBeforeDisarm = s.service.record().deliveriesBegun;
  ASSERT_TRUE(s.service.waitFor(
      [&](auto& r) { return r.deliveries.size() >= begunBeforeDisarm + 5; }, milliseconds(5000)));
  s.capture.stop();

  const sim::Record r = s.service.record();
  std::size_t forwardedDeliveries = 0;
  for (const auto& d : r.deliveries) {
    if (d.begunAs >= begunBeforeDisarm) {
      EXPECT_EQ(d.sampleBufferCalls(), 0) << "delivery " << d.index << " began after disarm";
    }
    if (d.listCalls > 0) ++forwardedDeliveries;
  }
  std::size_t chunks = 0;
  for (const auto& frame : frames().readUntilQuiet()) chunks += frame.type == kFrameChunk;
  EXPECT_EQ(chunks, forwardedDeliveries);
}

TEST_F(SampleForwarding, OverlappingDeliveriesAndPingsWriteEveryFrameWhole) {
  // Sizes tell the deliveries apart; the largest fill the pipe, so writers queue on each other.
  const std::vector<std::uint32_t> sizes = {1, 7, 4096, 65539, 300001};
  constexpr int kRounds = 12;
  constexpr int kPingers = 2;
  constexpr int kPingsEach = 200;
  Script script;
  for (auto size : sizes) script.deliveries.push_back(goodDelivery(size));
  script.repeat = kRounds;
  script.paceMs = 0;
  script.threads = 4;
  Sim s(std::move(script));
  s.capture.arm();

  std::atomic<bool> go{false};
  std::vector<std::thread> pingers;
  for (int p = 0; p < kPingers; ++p) {
    pingers.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kPingsEach; ++i) writeFrame(kFramePong);
    });
  }
  std::thread starting([&] { s.capture.start(); });
  // Nobody reads yet, so deliveries pile up in the core's hands: the overlap is real.
  EXPECT_TRUE(s.service.waitFor([](auto& r) { return r.maxInFlight >= 2; }, milliseconds(5000)));
  go = true;

  std::map<std::size_t, int> chunksBySize;
  int pongs = 0, running = 0, other = 0;
  const int wanted = kRounds * static_cast<int>(sizes.size()) + kPingers * kPingsEach + 1;
  for (int n = 0; n < wanted; ++n) {
    const auto frame = frames().readFrame();
    if (!frame) break;
    if (frame->type == kFrameChunk) {
      ++chunksBySize[frame->payload.size() - kChunkHeaderSize];
      EXPECT_EQ(headerOf(*frame), (Header{0x80, 0xBB, 0, 0, 1, 32, 1, 0}));
      EXPECT_TRUE(samplesIntact(*frame));
    } else if (frame->type == kFramePong && frame->payload.empty()) {
      ++pongs;
    } else if (frame->type == kFrameRunning && frame->payload.empty()) {
      ++running;
    } else {
      ++other;
    }
  }
  for (auto& pinger : pingers) pinger.join();
  starting.join();
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});
  for (auto size : sizes)
    EXPECT_EQ(chunksBySize[size], kRounds) << "chunks of " << size << " bytes";
  EXPECT_EQ(chunksBySize.size(), sizes.size());
  EXPECT_EQ(pongs, kPingers * kPingsEach);
  EXPECT_EQ(running, 1);
  EXPECT_EQ(other, 0);
}

// Through the real program: quit while audio flows.

// Reads everything the child writes until it ends and splits it into frames; false if the output
// does not end on a frame boundary.
bool splitFrames(const std::vector<std::uint8_t>& bytes, std::vector<Frame>& frames) {
  std::size_t at = 0;
  while (bytes.size() - at >= 5) {
    const std::size_t length = std::size_t{bytes[at + 1]} | std::size_t{bytes[at + 2]} << 8 |
                               std::size_t{bytes[at + 3]} << 16 | std::size_t{bytes[at + 4]} << 24;
    if (bytes.size() - at - 5 < length) return false;
    frames.push_back(Frame{bytes[at], {bytes.begin() + at + 5, bytes.begin() + at + 5 + length}});
    at += 5 + length;
  }
  return at == bytes.size();
}

TEST(QuitWhileAudioFlows, ExitsZeroAndTheLastFrameIsWhole) {
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {"chunk=bytes:100000", "chunk=bytes:3,rate:44100",
                                           "pace=0", "repeat=forever"});
  ASSERT_TRUE(child.write("A"));
  const auto first = child.readFrames(20);
  ASSERT_EQ(first.size(), 20u);
  ASSERT_TRUE(child.write("PQ"));
  std::vector<Frame> rest;
  EXPECT_TRUE(splitFrames(child.readToEnd(milliseconds(5000)), rest))
      << "output ends inside a frame";
  EXPECT_TRUE(child.outputEnded());
  const ExitResult result = child.wait();
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();

  int pongs = 0;
  for (const auto& frames : {first, rest}) {
    for (const auto& frame : frames) {
      if (frame.type == kFramePong) ++pongs;
      if (frame.type != kFrameChunk) continue;
      EXPECT_TRUE(frame.payload.size() == 100008 || frame.payload.size() == 11)
          << frame.payload.size();
      EXPECT_TRUE(samplesIntact(frame));
    }
  }
  EXPECT_EQ(pongs, 1);
  EXPECT_EQ(child.stderrText(), "");
}

TEST(PingsBetweenChunks, AreAllAnsweredWithEveryFrameWhole) {
  ChildProcess child(ZARN_AUDIO_SIM_PATH,
                     {"chunk=bytes:20000,rate:44100,flags:0,bits:16,data:sine:440", "chunk=bytes:5",
                      "pace=0", "repeat=forever", "threads=3"});
  constexpr int kPings = 100;
  ASSERT_TRUE(child.write("A"));
  int pongs = 0, chunks = 0;
  for (int i = 0; i < kPings; ++i) {
    ASSERT_TRUE(child.write("P"));
    // Read a little between pings so the child never waits on us for long.
    for (const auto& frame : child.readFrames(2, milliseconds(5000))) {
      pongs += frame.type == kFramePong;
      chunks += frame.type == kFrameChunk;
    }
  }
  ASSERT_TRUE(child.write("Q"));
  std::vector<Frame> rest;
  EXPECT_TRUE(splitFrames(child.readToEnd(milliseconds(5000)), rest));
  for (const auto& frame : rest) {
    pongs += frame.type == kFramePong;
    chunks += frame.type == kFrameChunk;
  }
  EXPECT_EQ(pongs, kPings);
  EXPECT_GT(chunks, 0);
  const ExitResult result = child.wait();
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
}

}  // namespace
}  // namespace zarn::test
