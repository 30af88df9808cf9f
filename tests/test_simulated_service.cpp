// The scripted service's script syntax: a bad token must fail loudly, never run a different script
// than the test meant.
#include <gtest/gtest.h>

#include "child_process.h"
#include "platform/simulated/script.h"

namespace zarn::test {
namespace {

class BadToken : public ::testing::TestWithParam<std::string> {};

TEST_P(BadToken, IsRejectedWithAMessage) {
  std::string error;
  EXPECT_FALSE(platform::simulated::parseScript({"displays=2", GetParam()}, error));
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

TEST(BadScript, MakesTheSimulatorExitWithStatusTwoAndTheReasonOnStandardError) {
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {"chunk=fault:sometimes"});
  EXPECT_EQ(child.wait().describe(), "exit status 2");
  EXPECT_TRUE(child.outputEndsWithin(milliseconds(1000)));
  EXPECT_NE(child.stderrText().find("fault:sometimes"), std::string::npos) << child.stderrText();
}

}  // namespace
}  // namespace zarn::test
