// zarn-audio-sim's script tokens: what each accepted token sets, and the message for each kind of
// wrong one. Parent-side tests build on these tokens, so their meaning must not drift.
#include <gtest/gtest.h>

#include <cmath>

#include "platform/simulated/script.h"

namespace zarn::platform::simulated {
namespace {

Script parsed(const std::vector<std::string>& tokens) {
  std::string error;
  std::optional<Script> script = parseScript(tokens, error);
  EXPECT_TRUE(script) << error;
  return script.value_or(Script{});
}

TEST(Script, EachTokenSetsWhatItNames) {
  const Script s =
      parsed({"displays=0", "query=fail:a:b", "output=fail", "start=hang", "stop=fail:x",
              "query-delay=5", "start-delay=600000", "stop-delay=7", "halt=after:3:gone", "pace=5",
              "pace=0", "repeat=forever", "threads=64", "record=/tmp/r"});
  EXPECT_EQ(s.displays, 0);
  EXPECT_EQ(s.query.outcome, Step::Outcome::fail);
  EXPECT_EQ(s.query.description, "a:b");
  EXPECT_EQ(s.query.delayMs, 5);
  EXPECT_EQ(s.output.outcome, Step::Outcome::fail);
  EXPECT_EQ(s.output.description, "");
  EXPECT_EQ(s.start.outcome, Step::Outcome::hang);
  EXPECT_EQ(s.start.delayMs, 600000);
  EXPECT_EQ(s.stop.description, "x");
  EXPECT_EQ(s.stop.delayMs, 7);
  ASSERT_TRUE(s.halt);
  EXPECT_EQ(s.halt->when, Halt::When::afterDeliveries);
  EXPECT_EQ(s.halt->count, 3u);
  EXPECT_EQ(s.halt->description, "gone");
  EXPECT_EQ(s.paceMs, 0);  // the later token wins
  EXPECT_EQ(s.repeat, Script::kForever);
  EXPECT_EQ(s.threads, 64);
  EXPECT_EQ(s.recordPath, "/tmp/r");
  EXPECT_EQ(parsed({"query=none"}).query.outcome, Step::Outcome::none);
  EXPECT_EQ(parsed({"halt=ms:20"}).halt->when, Halt::When::afterMs);
  EXPECT_EQ(parsed({"repeat=3"}).repeat, 3);
}

TEST(Script, ChunkFieldsDescribeDeliveriesThatAppend) {
  const Script s =
      parsed({"chunk=rate:nan,flags:0x10,channels:2,bits:16,bytes:0,"
              "data:sine:440,fault:two-buffers,stall:250,count:3",
              "chunk=", "chunk=data:zero,fault:not-audio"});
  ASSERT_EQ(s.deliveries.size(), 5u);
  const Delivery& first = s.deliveries[0];
  EXPECT_TRUE(std::isnan(first.format.sampleRate));
  EXPECT_EQ(first.format.formatFlags, 0x10u);
  EXPECT_EQ(first.format.channelsPerFrame, 2u);
  EXPECT_EQ(first.format.bitsPerChannel, 16u);
  EXPECT_EQ(first.bytes, 0u);
  EXPECT_EQ(first.content, Delivery::Content::sine);
  EXPECT_EQ(first.sineHz, 440.0);
  EXPECT_EQ(first.fault, Delivery::Fault::twoBuffers);
  EXPECT_EQ(first.stallMs, 250);
  EXPECT_EQ(s.deliveries[2].fault, Delivery::Fault::twoBuffers);
  const Delivery& plain = s.deliveries[3];  // the defaults: 48 kHz float mono, 1024 counter bytes
  EXPECT_EQ(plain.format.sampleRate, 48000.0);
  EXPECT_EQ(plain.format.formatFlags, kAudioFormatFlagIsFloat);
  EXPECT_EQ(plain.bytes, 1024u);
  EXPECT_EQ(plain.content, Delivery::Content::counter);
  EXPECT_EQ(plain.stallMs, 0);
  EXPECT_EQ(s.deliveries[4].content, Delivery::Content::zero);
  EXPECT_EQ(s.deliveries[4].fault, Delivery::Fault::notAudio);
}

TEST(Script, AWrongTokenIsRejectedWithWhatIsWrong) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"pace"}, "expected NAME=VALUE: pace"},
      {{"colour=red"}, "unknown script token: colour=red"},
      {{"output=hang"}, "bad value: output=hang"},
      {{"stop=none"}, "bad value: stop=none"},
      {{"query=maybe"}, "bad value: query=maybe"},
      {{"threads=1"}, "bad value: threads=1"},
      {{"threads=65"}, "bad value: threads=65"},
      {{"repeat=-1"}, "bad value: repeat=-1"},
      {{"displays=1001"}, "bad value: displays=1001"},
      {{"pace=600001"}, "bad value: pace=600001"},
      {{"pace= 5"}, "bad value: pace= 5"},
      {{"halt=soon"}, "bad value: halt=soon"},
      {{"record="}, "bad value: record="},
      {{"chunk=bytes:67108865"}, "bad chunk field: bytes:67108865"},
      {{"chunk=rate:fast"}, "bad chunk field: rate:fast"},
      {{"chunk=channels:4294967296"}, "bad chunk field: channels:4294967296"},
      {{"chunk=data:sine:inf"}, "bad chunk field: data:sine:inf"},
      {{"chunk=data:noise"}, "bad chunk field: data:noise"},
      {{"chunk=fault:late"}, "bad chunk field: fault:late"},
      {{"chunk=volume:1"}, "bad chunk field: volume:1"},
      {{"chunk=stall:600001"}, "bad chunk field: stall:600001"},
      {{"chunk=count:1048576", "chunk="}, "too many chunks"}};
  for (const auto& [tokens, message] : cases) {
    SCOPED_TRACE(tokens.front());
    std::string error;
    EXPECT_FALSE(parseScript(tokens, error));
    EXPECT_EQ(error, message);
  }
}

}  // namespace
}  // namespace zarn::platform::simulated
