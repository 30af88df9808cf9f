// A look at a captured or recorded sine: its frequency and level; and a recording read back.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <vector>

namespace zarn::test {

// The samples are a steady tone of `hz`, give or take `tolerance` Hz, with a peak in [low, high].
// The frequency comes from the median spacing of rising zero crossings (placed between samples),
// so a player's underrun, a gap or a switch of output inside the span does not bend it, as it
// would a count of crossings over the span. Fewer than ten periods are no tone.
inline ::testing::AssertionResult isTone(std::span<const float> s, double rate, double hz,
                                         double tolerance, double low, double high) {
  double peak = 0, previous = -1, heard = 0;
  std::vector<double> periods;
  for (std::size_t i = 1; i < s.size(); ++i) {
    peak = std::max(peak, double(std::fabs(s[i])));
    if (s[i - 1] < 0 && s[i] >= 0) {
      const double at = double(i - 1) + double(-s[i - 1]) / double(s[i] - s[i - 1]);
      if (previous >= 0) periods.push_back(at - previous);
      previous = at;
    }
  }
  if (periods.size() >= 10) {
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    heard = rate / periods[periods.size() / 2];
  }
  const bool ok = std::fabs(heard - hz) <= tolerance && peak >= low && peak <= high;
  return ::testing::AssertionResult(ok) << "heard " << heard << " Hz at peak " << peak << " in "
                                        << s.size() << " samples at " << rate << " Hz";
}

// The last `seconds` of the samples (all of them if there are fewer).
inline std::span<const float> lastSeconds(std::span<const float> s, double seconds, double rate) {
  const auto n = static_cast<std::size_t>(seconds * rate);
  return s.size() > n ? s.last(n) : s;
}

struct SoundFile {
  SF_INFO info{};
  std::vector<float> samples;  // interleaved
  double seconds() const { return info.samplerate ? double(info.frames) / info.samplerate : 0; }
};

// Every frame the file holds; a file that does not open reads as empty (and fails the test).
inline SoundFile readSoundFile(const std::string& path) {
  SoundFile f;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &f.info);
  if (!file) return ADD_FAILURE() << path << ": " << sf_strerror(nullptr), SoundFile{};
  f.samples.resize(static_cast<std::size_t>(f.info.frames * f.info.channels));
  EXPECT_EQ(sf_readf_float(file, f.samples.data(), f.info.frames), f.info.frames) << path;
  sf_close(file);
  return f;
}

}  // namespace zarn::test
