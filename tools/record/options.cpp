#include "options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace zarn::record {

const char* const kUsageLine = "usage: zarn-audio-record [--seconds N] [--rate HZ] OUTPUT";

const char* const kHelpText =
    "Records the audio the computer is playing into OUTPUT, through the zarn-audio helper\n"
    "found beside this program.\n"
    "\n"
    "  --seconds N   stop after N seconds of audio (default: until Ctrl-C or SIGTERM)\n"
    "  --rate HZ     resample to HZ (for example 16000 for speech recognisers)\n"
    "  --help        show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "The format follows OUTPUT's extension: .wav (32-bit float), .flac (24-bit), .ogg (Vorbis).\n"
    "Channels and rate are the helper's, unless --rate is given.\n"
    "\n"
    "Exit status: 0 when the recording ended as asked (N seconds or an interrupt), 1 when it\n"
    "failed (what was recorded is kept), 2 for a wrong command line.\n";

namespace {

std::optional<double> parseSeconds(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  // A day is far beyond any sensible use and keeps frame counts small.
  if (!std::isfinite(value) || value <= 0 || value > 86400) return std::nullopt;
  return value;
}

std::optional<unsigned> parseRate(std::string_view text) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (value < kMinRate || value > kMaxRate) return std::nullopt;
  return value;
}

}  // namespace

std::optional<Container> containerForPath(std::string_view path) {
  const auto slash = path.find_last_of('/');
  const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.find_last_of('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  std::string ext(name.substr(dot + 1));
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (ext == "wav") return Container::Wav;
  if (ext == "flac") return Container::Flac;
  if (ext == "ogg" || ext == "oga") return Container::Ogg;
  return std::nullopt;
}

std::string_view containerName(Container container) {
  switch (container) {
    case Container::Wav:
      return "WAV float32";
    case Container::Flac:
      return "FLAC 24-bit";
    case Container::Ogg:
      return "Ogg Vorbis";
  }
  return "?";
}

ParsedCommandLine parseCommandLine(const std::vector<std::string_view>& args) {
  ParsedCommandLine result;
  auto usage = [&](std::string error) {
    result.action = Action::UsageError;
    result.error = std::move(error);
    return result;
  };

  std::vector<std::string_view> positional;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      result.action = Action::Help;
      return result;
    }
    if (arg == "--version") {
      result.action = Action::Version;
      return result;
    }

    // --name VALUE or --name=VALUE
    std::string_view name = arg;
    std::optional<std::string_view> value;
    if (const auto eq = arg.find('='); eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    }
    if (name != "--seconds" && name != "--rate") {
      return usage("unknown option '" + std::string(arg) + "'");
    }
    if (!value) {
      if (i + 1 >= args.size()) return usage(std::string(name) + " needs a value");
      value = args[++i];
    }
    if (name == "--seconds") {
      result.options.seconds = parseSeconds(*value);
      if (!result.options.seconds) {
        return usage("--seconds wants a positive number of seconds, up to 86400, not '" +
                     std::string(*value) + "'");
      }
    } else {
      result.options.rate = parseRate(*value);
      if (!result.options.rate) {
        return usage("--rate wants a whole number of Hz from " + std::to_string(kMinRate) + " to " +
                     std::to_string(kMaxRate) + ", not '" + std::string(*value) + "'");
      }
    }
  }

  if (positional.empty()) return usage("no OUTPUT file given");
  if (positional.size() > 1) {
    return usage("one OUTPUT file only, got '" + std::string(positional[0]) + "' and '" +
                 std::string(positional[1]) + "'");
  }
  result.options.output = positional[0];
  const auto container = containerForPath(result.options.output);
  if (!container) {
    return usage("cannot tell the format of '" + result.options.output +
                 "': name it .wav, .flac or .ogg");
  }
  result.options.container = *container;
  result.action = Action::Record;
  return result;
}

}  // namespace zarn::record
