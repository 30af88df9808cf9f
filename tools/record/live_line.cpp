#include "live_line.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "recording.h"

namespace zarn::record {

namespace {

std::string formatTime(double seconds) {
  const auto tenths = static_cast<long long>(std::max(seconds, 0.0) * 10);
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld.%lld", tenths / 600, tenths / 10 % 60,
                tenths % 10);
  return text;
}

// A bar over -60..0 dBFS.
std::string meter(float peak) {
  constexpr int kWidth = 20;
  const double db = toDbfs(peak);
  int filled = std::isinf(db) ? 0 : static_cast<int>(std::lround((db + 60.0) / 60.0 * kWidth));
  filled = std::clamp(filled, 0, kWidth);
  return "[" + std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(kWidth - filled), '-') + "]";
}

}  // namespace

std::string formatDb(float peak) {
  const double db = toDbfs(peak);
  if (std::isinf(db)) return "-inf dBFS";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f dBFS", db);
  return text;
}

std::string liveLine(const Progress& progress, std::size_t columns) {
  std::vector<std::string> fields{formatTime(progress.seconds)};
  if (progress.limit) fields[0] += " / " + formatTime(*progress.limit);
  fields.push_back(progress.waiting ? "waiting for audio" : formatDb(progress.recentPeak));
  fields.push_back("clipped " + std::to_string(progress.clipped));
  if (!progress.waiting) fields.push_back(meter(progress.recentPeak));
  fields.push_back(std::to_string(progress.blocks) + " blocks from helper");

  const std::size_t room = columns > 0 ? columns - 1 : 0;
  std::string line;
  for (const std::string& field : fields) {
    const std::string next = line.empty() ? field : line + "  " + field;
    if (next.size() > room) break;
    line = next;
  }
  return line;
}

}  // namespace zarn::record
