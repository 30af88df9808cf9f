// A look at a captured or recorded sine: its frequency and level.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

namespace zarn::test {

struct Tone {
  double hz = 0;    // 0 when there is no steady tone (fewer than ten periods)
  double peak = 0;  // the largest magnitude
};

// The frequency comes from the median spacing of rising zero crossings (placed between samples),
// so a player's underrun, a gap or a switch of output inside the span does not bend it, as it
// would a count of crossings over the span.
inline Tone toneOf(std::span<const float> s, double rate) {
  Tone tone;
  std::vector<double> periods;
  double previous = -1;
  for (std::size_t i = 1; i < s.size(); ++i) {
    tone.peak = std::max(tone.peak, double(std::fabs(s[i])));
    if (s[i - 1] < 0 && s[i] >= 0) {
      const double at = double(i - 1) + double(-s[i - 1]) / double(s[i] - s[i - 1]);
      if (previous >= 0) periods.push_back(at - previous);
      previous = at;
    }
  }
  if (periods.size() >= 10) {
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    tone.hz = rate / periods[periods.size() / 2];
  }
  return tone;
}

// The samples are a steady tone of `hz`, give or take `tolerance` Hz, with a peak in [low, high].
inline ::testing::AssertionResult isTone(std::span<const float> s, double rate, double hz,
                                         double tolerance, double low, double high) {
  const Tone tone = toneOf(s, rate);
  const bool ok = std::fabs(tone.hz - hz) <= tolerance && tone.peak >= low && tone.peak <= high;
  return ::testing::AssertionResult(ok) << "heard " << tone.hz << " Hz at peak " << tone.peak
                                        << " in " << s.size() << " samples at " << rate << " Hz";
}

// The last `seconds` of the samples (all of them if there are fewer).
inline std::span<const float> lastSeconds(std::span<const float> s, double seconds, double rate) {
  const auto n = static_cast<std::size_t>(seconds * rate);
  return s.size() > n ? s.last(n) : s;
}

}  // namespace zarn::test
