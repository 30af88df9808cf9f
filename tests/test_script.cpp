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
