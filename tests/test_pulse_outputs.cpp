// Which outputs count, in which order, and where a running capture goes next.
#include <gtest/gtest.h>

#include "platform/pulse/outputs.h"

namespace zarn::platform::pulse {
namespace {

using Kind = FollowStep::Kind;

Output sink(const std::string& name, std::uint32_t index, std::uint32_t rate = 48000) {
  return {name, index, name + ".monitor", rate};
}
// The step as text: "stay", "wait", "none", or "to NAME#INDEX".
std::string step(const std::vector<Output>& sinks, const char* defaultName,
                 const std::optional<Output>& current, bool waited) {
  const FollowStep step = nextFollowStep(sinks, defaultName, current, waited);
  const char* kinds[] = {"stay", "", "wait", "none"};  // in the order of Kind
  if (step.kind != Kind::switchTo) return kinds[int(step.kind)];
  return "to " + step.output.name + "#" + std::to_string(step.output.index);
}

TEST(NextFollowStep, FollowsTheDefaultWaitsForAStaleOneNeverTakesAnOutputWithoutMonitor) {
  const Output a = sink("a", 1), b = sink("b", 2, 44100), gone = sink("gone", 9);
  const std::vector<Output> ab{a, b};
  EXPECT_EQ(step(ab, "a", a, false), "stay");
  EXPECT_EQ(step(ab, "b", a, false), "to b#2");
  EXPECT_EQ(step(ab, "a", std::nullopt, false), "to a#1");   // its stream died
  EXPECT_EQ(step({sink("a", 7)}, "a", a, false), "to a#7");  // made anew
  EXPECT_EQ(step(ab, "gone", b, true), "stay");  // a stale default never moves it, even later
  EXPECT_EQ(step(ab, "gone", gone, false), "wait");
  EXPECT_EQ(step(ab, "gone", gone, true), "to a#1");
  EXPECT_EQ(step({}, "a", a, false), "none");
  // Outputs without monitor or rate are never taken, even as the default.
  EXPECT_EQ(step({{"mic", 1, "", 48000}, b}, "mic", std::nullopt, true), "to b#2");
  EXPECT_EQ(step({sink("s", 3, 0), b}, "s", std::nullopt, true), "to b#2");
}

TEST(FragmentBytes, WholeFramesOfTheAskedSpanNeverEmpty) {
  EXPECT_EQ(fragmentBytes(44100, 2, 10), 441u * 8);
  EXPECT_EQ(fragmentBytes(22050, 2, 10), 220u * 8);  // 220.5 frames: never half a sample pair
  EXPECT_EQ(fragmentBytes(50, 1, 10), 4u);
  EXPECT_EQ(fragmentBytes(0, 0, 10), 4u);
}

}  // namespace
}  // namespace zarn::platform::pulse
