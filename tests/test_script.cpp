// zarn-audio-sim's script tokens: the message for each kind of wrong one. What the accepted ones
// do shows in the tests that run on them (the screen flow, commands and quit, the recorder).
#include <gtest/gtest.h>

#include "platform/simulated/script.h"

namespace zarn::platform::simulated {
namespace {

TEST(Script, AWrongTokenIsRejectedWithWhatIsWrong) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"pace"}, "expected NAME=VALUE: pace"},
      {{"colour=red"}, "unknown script token: colour=red"},
      {{"output=hang"}, "bad value: output=hang"},
      {{"threads=65"}, "bad value: threads=65"},
      {{"chunk=bytes:67108865"}, "bad chunk field: bytes:67108865"},
      {{"chunk=channels:4294967296"}, "bad chunk field: channels:4294967296"},
      {{"chunk=data:sine:inf"}, "bad chunk field: data:sine:inf"},
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
