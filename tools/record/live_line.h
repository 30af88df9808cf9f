// The one-line status a terminal shows while recording, rewritten in place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zarn::record {

struct Progress {
  double seconds = 0;           // of audio written
  std::optional<double> limit;  // --seconds
  float recentPeak = 0;         // since the last line
  bool waiting = false;         // no audio has come for a while
  std::uint64_t clipped = 0;    // samples beyond full scale
  std::uint64_t blocks = 0;     // C frames from the helper
};

// Fields from the most to the least important: time, level (or "waiting for audio"), clipped
// samples, meter, blocks. Those that do not fit in columns - 1 are dropped from the right, so
// the line never reaches the last column, where a terminal would wrap it.
std::string liveLine(const Progress& progress, std::size_t columns);

// "-6.0 dBFS", "-inf dBFS"
std::string formatDb(float peak);

}  // namespace zarn::record
