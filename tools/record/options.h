// Command line of zarn-audio-record.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zarn::record {

// Raw: headerless little-endian samples.
enum class Container { Wav, Flac, Ogg, Raw };

struct Options {
  std::optional<double> seconds;  // none: until interrupted
  std::optional<unsigned> rate;   // none: the helper's own rate
  std::string output;             // "-": standard output
  Container container = Container::Wav;
  unsigned bits = 16;  // 16 or 24: integer PCM; 32: float; unused for Ogg Vorbis

  bool toStandardOutput() const { return output == "-"; }
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
// "WAV 16-bit PCM", "FLAC 24-bit", "Ogg Vorbis", "raw 32-bit float little-endian"
std::string formatName(Container container, unsigned bits);

inline constexpr unsigned kMinRate = 1000;
inline constexpr unsigned kMaxRate = 384000;

extern const char* const kUsageLine;
extern const char* const kHelpText;

}  // namespace zarn::record
