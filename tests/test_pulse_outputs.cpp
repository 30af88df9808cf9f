// Which outputs count, in which order, and where a running capture goes next.
#include <gtest/gtest.h>

#include "platform/pulse/outputs.h"

namespace zarn::platform::pulse {
namespace {

using Kind = FollowStep::Kind;

Output sink(const std::string& name, std::uint32_t index, std::uint32_t rate = 48000) {
  return {name, index, name + ".monitor", rate};
}

std::vector<std::string> names(const std::vector<Output>& outputs) {
  std::vector<std::string> result;
  for (const auto& output : outputs) result.push_back(output.name);
  return result;
}

TEST(RecordableOutputs, DefaultFirstOthersInServerOrder) {
  const std::vector<Output> sinks{sink("a", 1), sink("b", 2), sink("c", 3)};
  EXPECT_EQ(names(recordableOutputs(sinks, "c")), (std::vector<std::string>{"c", "a", "b"}));
  EXPECT_EQ(names(recordableOutputs(sinks, "a")), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(RecordableOutputs, UnknownOrEmptyDefaultKeepsServerOrder) {
  const std::vector<Output> sinks{sink("a", 1), sink("b", 2)};
  EXPECT_EQ(names(recordableOutputs(sinks, "gone")), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(names(recordableOutputs(sinks, "")), (std::vector<std::string>{"a", "b"}));
}

TEST(RecordableOutputs, OutputsWithoutMonitorOrRateAreLeftOut) {
  Output noMonitor = sink("default", 1);
  noMonitor.monitorName.clear();
  const std::vector<Output> sinks{noMonitor, sink("silent", 2, 0), sink("b", 3)};
  // The default itself cannot be recorded, so it is not first: it is not there at all.
  EXPECT_EQ(names(recordableOutputs(sinks, "default")), (std::vector<std::string>{"b"}));
  EXPECT_TRUE(recordableOutputs({}, "default").empty());
}

TEST(NextFollowStep, StaysOnTheDefaultItRecords) {
  const std::vector<Output> sinks{sink("a", 1), sink("b", 2)};
  EXPECT_EQ(nextFollowStep(sinks, "a", sink("a", 1), false).kind, Kind::stay);
}

TEST(NextFollowStep, SwitchesToANewDefault) {
  const std::vector<Output> sinks{sink("a", 1), sink("b", 2, 44100)};
  const FollowStep step = nextFollowStep(sinks, "b", sink("a", 1), false);
  EXPECT_EQ(step.kind, Kind::switchTo);
  EXPECT_EQ(step.output.name, "b");
  EXPECT_EQ(step.output.monitorName, "b.monitor");
  EXPECT_EQ(step.output.rate, 44100u);  // the new output's own rate
}

TEST(NextFollowStep, ReopensTheDefaultWhenItsStreamDied) {
  // Same output, but no live stream on it (the server ended it): record it anew.
  const std::vector<Output> sinks{sink("a", 1)};
  const FollowStep step = nextFollowStep(sinks, "a", std::nullopt, false);
  EXPECT_EQ(step.kind, Kind::switchTo);
  EXPECT_EQ(step.output.name, "a");
}

TEST(NextFollowStep, AnOutputMadeAnewUnderTheSameNameIsANewOutput) {
  const std::vector<Output> sinks{sink("a", 7)};
  const FollowStep step = nextFollowStep(sinks, "a", sink("a", 1), false);
  EXPECT_EQ(step.kind, Kind::switchTo);
  EXPECT_EQ(step.output.index, 7u);
}

TEST(NextFollowStep, StaleDefaultKeepsALiveStream) {
  const std::vector<Output> sinks{sink("a", 1), sink("b", 2)};
  EXPECT_EQ(nextFollowStep(sinks, "gone", sink("b", 2), false).kind, Kind::stay);
  EXPECT_EQ(nextFollowStep(sinks, "", sink("b", 2), true).kind, Kind::stay);
}

TEST(NextFollowStep, StaleDefaultWithoutAStreamWaitsThenTakesTheFirst) {
  const std::vector<Output> sinks{sink("a", 1), sink("b", 2)};
  EXPECT_EQ(nextFollowStep(sinks, "gone", std::nullopt, false).kind, Kind::waitForDefault);
  // The captured output is gone too: that is the same as no stream.
  EXPECT_EQ(nextFollowStep(sinks, "gone", sink("gone", 9), false).kind, Kind::waitForDefault);
  const FollowStep step = nextFollowStep(sinks, "gone", sink("gone", 9), true);
  EXPECT_EQ(step.kind, Kind::switchTo);
  EXPECT_EQ(step.output.name, "a");
}

TEST(NextFollowStep, NothingRecordableLeftIsTheEnd) {
  EXPECT_EQ(nextFollowStep({}, "a", sink("a", 1), false).kind, Kind::noOutput);
  Output noMonitor = sink("a", 1);
  noMonitor.monitorName.clear();
  EXPECT_EQ(nextFollowStep({noMonitor}, "a", std::nullopt, true).kind, Kind::noOutput);
}

TEST(NextFollowStep, NeverPicksAnOutputWithoutMonitor) {
  Output noMonitor = sink("mic-like", 1);
  noMonitor.monitorName.clear();
  const FollowStep step = nextFollowStep({noMonitor, sink("b", 2)}, "mic-like", std::nullopt, true);
  EXPECT_EQ(step.kind, Kind::switchTo);
  EXPECT_EQ(step.output.name, "b");
}

TEST(FragmentBytes, WholeMonoFramesOfTheAskedSpan) {
  EXPECT_EQ(fragmentBytes(48000, 1, 10), 480u * 4);
  EXPECT_EQ(fragmentBytes(44100, 1, 10), 441u * 4);
  EXPECT_EQ(fragmentBytes(44100, 2, 10), 441u * 8);
  // 22050 Hz gives 220.5 frames in 10 ms: whole frames only, never half a sample pair.
  EXPECT_EQ(fragmentBytes(22050, 2, 10), 220u * 8);
}

TEST(FragmentBytes, NeverEmpty) {
  EXPECT_EQ(fragmentBytes(50, 1, 10), 4u);
  EXPECT_EQ(fragmentBytes(0, 0, 10), 4u);
}

}  // namespace
}  // namespace zarn::platform::pulse
