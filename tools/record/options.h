// Command line of zarn-audio-record.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::record {

enum class Container { Wav, Flac, Ogg };

struct Options {
  std::optional<double> seconds;  // none: until interrupted
  std::optional<unsigned> rate;   // none: the helper's own rate
  std::string output;
  Container container = Container::Wav;
};

enum class Action { Record, Help, Version, UsageError };

struct ParsedCommandLine {
  Action action = Action::UsageError;
  Options options;
  std::string error;  // for UsageError: what was wrong, without the usage line
};

ParsedCommandLine parseCommandLine(const std::vector<std::string_view>& args);

// The container follows the extension, case-insensitively; none for anything else.
std::optional<Container> containerForPath(std::string_view path);
std::string_view containerName(Container container);

inline constexpr unsigned kMinRate = 1000;
inline constexpr unsigned kMaxRate = 384000;

extern const char* const kUsageLine;
extern const char* const kHelpText;

}  // namespace zarn::record
