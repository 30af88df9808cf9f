// The one mix to mono: levels kept or halved as the channels carry them, in place too.
#include <gtest/gtest.h>

#include <vector>

#include "platform/mono_mix.h"

namespace zarn::platform {
namespace {

TEST(MonoMix, AveragesEachFrameAndMayWriteOverItsInput) {
  struct Case {
    std::uint32_t channels;
    std::vector<float> interleaved;
    std::vector<float> mono;
  };
  const Case cases[] = {
      {1, {0.25f, -1.0f}, {0.25f, -1.0f}},
      {2, {0.9f, 0.9f, 0.5f, 0.0f, 1.0f, -1.0f}, {0.9f, 0.25f, 0.0f}},  // both, one, opposed
      {6, {0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.6f, 0, 0, 0, 0, 0}, {0.3f, 0.1f}},
      {8, {}, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.channels);
    std::vector<float> mono(c.mono.size(), 7.0f);
    mixToMono(c.interleaved.data(), mono.size(), c.channels, mono.data());
    for (std::size_t i = 0; i < mono.size(); ++i) EXPECT_FLOAT_EQ(mono[i], c.mono[i]) << i;
    std::vector<float> inPlace = c.interleaved;
    mixToMono(inPlace.data(), c.mono.size(), c.channels, inPlace.data());
    for (std::size_t i = 0; i < c.mono.size(); ++i) EXPECT_FLOAT_EQ(inPlace[i], c.mono[i]) << i;
  }
}

}  // namespace
}  // namespace zarn::platform
