// The scripted service itself, where the other tests rely on it: the script syntax, the content
// it delivers, and the stream contract (nothing after a stop's completion or a stream's end, the
// stop callback after the deliveries before it).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <future>
#include <map>
#include <numbers>
#include <thread>

#include "child_process.h"
#include "platform/simulated/script.h"
#include "platform/simulated/simulated_service.h"

namespace zarn::test {
namespace {

namespace sim = platform::simulated;
using namespace platform;
using sim::Delivery;
using sim::Script;
using Outcome = sim::Step::Outcome;

std::optional<Script> parse(std::vector<std::string> tokens) {
  std::string error;
  auto script = sim::parseScript(tokens, error);
  EXPECT_EQ(script.has_value(), error.empty()) << error;
  return script;
}

TEST(ScriptSyntax, NoTokensGiveADefaultScript) {
  const auto script = parse({});
  ASSERT_TRUE(script);
  EXPECT_EQ(script->displays, 1);
  EXPECT_EQ(script->query.outcome, Outcome::ok);
  EXPECT_EQ(script->start.outcome, Outcome::ok);
  EXPECT_FALSE(script->halt);
  EXPECT_TRUE(script->deliveries.empty());
  EXPECT_EQ(script->repeat, 1);
  EXPECT_GE(script->threads, 2);
  EXPECT_TRUE(script->recordPath.empty());
}

TEST(ScriptSyntax, OutcomesKeepEverythingAfterTheFirstColonAsTheDescription) {
  const auto script = parse({"query=fail:a: b:c", "output=fail", "start=fail:", "stop=fail:x",
                             "start-delay=5", "halt=after:7:gone: for good", "query=hang"});
  ASSERT_TRUE(script);
  EXPECT_EQ(script->query.outcome, Outcome::hang);  // the later token wins
  EXPECT_EQ(script->query.description, "");
  EXPECT_EQ(script->output.outcome, Outcome::fail);
  EXPECT_EQ(script->output.description, "");
  EXPECT_EQ(script->start.outcome, Outcome::fail);
  EXPECT_EQ(script->start.description, "");
  EXPECT_EQ(script->start.delayMs, 5);
  EXPECT_EQ(script->stop.description, "x");
  ASSERT_TRUE(script->halt);
  EXPECT_EQ(script->halt->when, sim::Halt::When::afterDeliveries);
  EXPECT_EQ(script->halt->count, 7u);
  EXPECT_EQ(script->halt->description, "gone: for good");

  EXPECT_EQ(parse({"query=fail:a: b:c"})->query.description, "a: b:c");
}

TEST(ScriptSyntax, ChunksAppendWithTheirFieldsAndCount) {
  const auto script =
      parse({"chunk=rate:22050.75,flags:0x29,channels:2,bits:16,bytes:6,data:sine:1000,"
             "fault:two-buffers,count:3",
             "chunk=rate:nan", "chunk=rate:-inf,data:zero", "chunk=", "repeat=forever", "pace=0"});
  ASSERT_TRUE(script);
  ASSERT_EQ(script->deliveries.size(), 6u);
  const Delivery& d = script->deliveries[2];
  EXPECT_EQ(d.format.sampleRate, 22050.75);
  EXPECT_EQ(d.format.formatFlags, 0x29u);
  EXPECT_EQ(d.format.channelsPerFrame, 2u);
  EXPECT_EQ(d.format.bitsPerChannel, 16u);
  EXPECT_EQ(d.bytes, 6u);
  EXPECT_EQ(d.content, Delivery::Content::sine);
  EXPECT_EQ(d.sineHz, 1000.0);
  EXPECT_EQ(d.fault, Delivery::Fault::twoBuffers);
  EXPECT_TRUE(std::isnan(script->deliveries[3].format.sampleRate));
  EXPECT_EQ(script->deliveries[4].format.sampleRate, -INFINITY);
  EXPECT_EQ(script->deliveries[4].content, Delivery::Content::zero);
  EXPECT_EQ(script->deliveries[5].format.sampleRate, 48000.0);  // all defaults
  EXPECT_EQ(script->repeat, Script::kForever);
  EXPECT_EQ(script->paceMs, 0);
}

class BadToken : public ::testing::TestWithParam<std::string> {};

TEST_P(BadToken, IsRejectedWithAMessage) {
  std::string error;
  EXPECT_FALSE(sim::parseScript({"displays=2", GetParam()}, error));
  EXPECT_FALSE(error.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Tokens, BadToken,
    ::testing::Values("nonsense", "displays=-1", "displays=two", "displays=", "query=maybe",
                      "output=hang", "start=none", "stop=hang", "threads=1", "threads=0x",
                      "chunk=fault:bogus", "chunk=rate:", "chunk=rate:12abc", "chunk=bytes:-1",
                      "chunk=bytes:99999999999", "chunk=size:3",
                      "chunk=data:sine:", "chunk=count:0x200001", "chunk=channels:4294967296",
                      "halt=soon:3", "halt=ms:x", "repeat=-1", "pace=", "record="));

TEST(ScriptSyntax, SimulatorRejectsABadScriptOnStandardError) {
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {"chunk=fault:sometimes"});
  const ExitResult result = child.wait();
  EXPECT_TRUE(result.exited && result.status == 2) << result.describe();
  EXPECT_TRUE(child.readToEnd(milliseconds(1000)).empty());
  EXPECT_NE(child.stderrText().find("fault:sometimes"), std::string::npos) << child.stderrText();
}

// A stand-in for the capture object that reads every delivery in full and watches the order of
// the service's calls.
class Probe final : public StreamDelegate {
 public:
  explicit Probe(sim::SimulatedService& service) : service_(service) {}

  void streamDidOutputSampleBuffer(Stream&, SampleBuffer& buffer, OutputType) override {
    ++inProgress;
    StreamDescription format;
    service_.streamBasicDescription(*service_.sampleBufferFormatDescription(buffer), format);
    OneBufferList list;
    BlockBuffer* block = nullptr;
    if (service_.audioBufferListWithRetainedBlockBuffer(buffer, list, block) == kNoErr) {
      const auto* bytes = static_cast<const std::uint8_t*>(list.buffer.data);
      std::lock_guard<std::mutex> hold(mutex_);
      chunks_.emplace_back(bytes, bytes + list.buffer.dataByteSize);
    }
    service_.releaseBlockBuffer(block);
    ++delivered;
    --inProgress;
  }

  void streamDidStopWithError(Stream&, const Error& error) override {
    deliveredAtHalt = delivered.load();
    inProgressAtHalt = inProgress.load();
    haltText = service_.localizedDescription(error);
    ++halts;
  }

  std::vector<std::vector<std::uint8_t>> chunks() {
    std::lock_guard<std::mutex> hold(mutex_);
    return chunks_;
  }

  std::atomic<int> inProgress{0};
  std::atomic<int> delivered{0};
  std::atomic<int> halts{0};
  int deliveredAtHalt = -1;
  int inProgressAtHalt = -1;
  std::string haltText;

 private:
  sim::SimulatedService& service_;
  std::mutex mutex_;
  std::vector<std::vector<std::uint8_t>> chunks_;
};

// The core's start, with the probe as delegate and audio output.
std::shared_ptr<Stream> startStream(sim::SimulatedService& service, Probe& probe) {
  std::promise<std::shared_ptr<ShareableContent>> content;
  service.getShareableContent(false, true, [&](auto c, ErrorPtr) { content.set_value(c); });
  auto displays = service.displays(*content.get_future().get());
  auto filter = service.makeContentFilter(*displays.at(0));
  auto stream = service.makeStream(*filter, StreamConfiguration{}, probe);
  ErrorPtr error;
  EXPECT_TRUE(service.addStreamOutput(*stream, probe, OutputType::audio,
                                      SampleHandlerQueue::globalUserInitiated, error));
  std::promise<ErrorPtr> started;
  service.startCapture(*stream, [&](ErrorPtr e) { started.set_value(e); });
  EXPECT_EQ(started.get_future().get(), nullptr);
  return stream;
}

Script flowing(std::uint32_t bytes = 64) {
  Script script;
  Delivery delivery;
  delivery.bytes = bytes;
  script.deliveries = {delivery};
  script.repeat = Script::kForever;
  script.paceMs = 0;
  return script;
}

TEST(ScriptedStream, NoDeliveryRunsOnceTheStopCompletionHasRun) {
  sim::SimulatedService service(flowing());
  Probe probe(service);
  auto stream = startStream(service, probe);
  ASSERT_TRUE(
      service.waitFor([](auto& r) { return r.deliveries.size() >= 20; }, milliseconds(5000)));

  std::promise<std::pair<int, int>> atCompletion;
  service.stopCapture(*stream, [&](ErrorPtr) {
    atCompletion.set_value({probe.inProgress.load(), probe.delivered.load()});
  });
  const auto [inProgress, delivered] = atCompletion.get_future().get();
  EXPECT_EQ(inProgress, 0);
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(probe.delivered.load(), delivered);
  EXPECT_GE(service.record().maxInFlight, 1);
}

TEST(ScriptedStream, ADroppedStreamIsLeftAloneOnceItIsDestroyed) {
  sim::SimulatedService service(flowing());
  Probe probe(service);
  auto stream = startStream(service, probe);
  ASSERT_TRUE(
      service.waitFor([](auto& r) { return r.deliveries.size() >= 20; }, milliseconds(5000)));
  stream.reset();  // no stop, as after a failed start
  const int delivered = probe.delivered.load();
  EXPECT_EQ(probe.inProgress.load(), 0);
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(probe.delivered.load(), delivered);
  EXPECT_EQ(service.record().streamsDestroyed, 1);
}

TEST(ScriptedStream, HaltAfterDeliveriesComesOnceTheyHaveAllReturned) {
  Script script = flowing();
  script.halt = sim::Halt{sim::Halt::When::afterDeliveries, 9, "lost"};
  sim::SimulatedService service(script);
  Probe probe(service);
  auto stream = startStream(service, probe);
  ASSERT_TRUE(service.waitFor([](auto& r) { return r.halts == 1; }, milliseconds(5000)));
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(probe.halts.load(), 1);
  EXPECT_EQ(probe.deliveredAtHalt, 9);
  EXPECT_EQ(probe.inProgressAtHalt, 0);
  EXPECT_EQ(probe.haltText, "lost");
  EXPECT_EQ(probe.delivered.load(), 9);
}

TEST(ScriptedStream, CounterAndSineContentAreWhatTheScriptSays) {
  Script script;
  Delivery counter;
  counter.bytes = 300;  // 75 float frames
  Delivery sine;
  sine.bytes = 1024;  // 256 float frames
  sine.content = Delivery::Content::sine;
  sine.sineHz = 1000;
  Delivery longerSine = sine;
  longerSine.bytes = 2048;  // 512 float frames
  Delivery pcm = sine;
  pcm.format = {8000.0, 0, 2, 16};
  pcm.bytes = 40;  // 10 stereo frames
  script.deliveries = {counter, sine, longerSine, pcm};
  script.paceMs = 0;
  sim::SimulatedService service(script);
  Probe probe(service);
  auto stream = startStream(service, probe);
  ASSERT_TRUE(
      service.waitFor([](auto& r) { return r.deliveries.size() == 4; }, milliseconds(5000)));
  // They may have returned in any order; their sizes tell them apart.
  std::map<std::size_t, std::vector<std::uint8_t>> chunks;
  for (auto& chunk : probe.chunks()) chunks[chunk.size()] = std::move(chunk);
  ASSERT_EQ(chunks.size(), 4u);

  for (std::size_t j = 0; j < 300; ++j) EXPECT_EQ(chunks[300][j], j % 256) << j;

  // The sine runs on from one delivery to the next, counting the frames of the first one.
  std::vector<float> samples(768);
  std::memcpy(samples.data(), chunks[1024].data(), 1024);
  std::memcpy(samples.data() + 256, chunks[2048].data(), 2048);
  for (std::size_t n = 0; n < samples.size(); ++n) {
    EXPECT_NEAR(samples[n], 0.5 * std::sin(2 * std::numbers::pi * 1000 * (75 + n) / 48000.0), 1e-6)
        << n;
  }
  // 16-bit stereo: both channels alike, continuing after the 843 frames before it.
  std::int16_t pcmSamples[20];
  std::memcpy(pcmSamples, chunks[40].data(), 40);
  for (int f = 0; f < 10; ++f) {
    const double expected =
        32767 * 0.5 * std::sin(2 * std::numbers::pi * 1000 * (843 + f) / 8000.0);
    EXPECT_NEAR(pcmSamples[2 * f], expected, 1.0) << f;
    EXPECT_EQ(pcmSamples[2 * f + 1], pcmSamples[2 * f]);
  }
  service.stopCapture(*stream, [](ErrorPtr) {});
  EXPECT_TRUE(service.waitFor([](auto& r) { return r.stopsCompleted == 1; }, milliseconds(5000)));
}

}  // namespace
}  // namespace zarn::test
