// The one mix to mono: levels kept or halved as the channels carry them, in place too.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "platform/mono_mix.h"

namespace zarn::platform {
namespace {

TEST(MonoMix, AveragesEachFrameAndMayWriteOverItsInput) {
  using Floats = std::vector<float>;
  const std::tuple<std::uint32_t, Floats, Floats> cases[] = {
      {1, {0.25f, -1.0f}, {0.25f, -1.0f}},
      {2, {0.9f, 0.9f, 0.5f, 0.0f, 1.0f, -1.0f}, {0.9f, 0.25f, 0.0f}},  // both, one, opposed
      {6, {0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.3f, 0.6f, 0, 0, 0, 0, 0}, {0.3f, 0.1f}},
      {8, {}, {}}};
  for (const auto& [channels, interleaved, mono] : cases) {
    SCOPED_TRACE(channels);
    Floats out(mono.size(), 7.0f), inPlace = interleaved;
    mixToMono(interleaved.data(), mono.size(), channels, out.data());
    mixToMono(inPlace.data(), mono.size(), channels, inPlace.data());
    for (std::size_t i = 0; i < mono.size(); ++i) {
      EXPECT_FLOAT_EQ(out[i], mono[i]) << i;
      EXPECT_FLOAT_EQ(inPlace[i], mono[i]) << i;
    }
  }
}

}  // namespace
}  // namespace zarn::platform
