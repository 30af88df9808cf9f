#include "options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

namespace zarn::record {

const char* const kUsageLine =
    "usage: zarn-audio-record [--seconds N] [--rate HZ] [--bits 16|24|32] [--raw] OUTPUT";

const char* const kHelpText =
    "Records the audio the computer is playing into OUTPUT, through the zarn-audio helper\n"
    "found beside this program. OUTPUT - is standard output.\n"
    "\n"
    "  --seconds N   stop once N seconds of audio are written (default: until Ctrl-C,\n"
    "                SIGTERM or SIGHUP)\n"
    "  --rate HZ     resample to HZ (for example 16000 for speech recognisers)\n"
    "  --bits B      16 or 24 for integer samples, 32 for floating point (FLAC: 16 or 24)\n"
    "  --raw         headerless little-endian samples, whatever OUTPUT is called\n"
    "  --help        show this help and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "The format follows OUTPUT's extension: .wav (16-bit unless --bits says otherwise),\n"
    ".flac (24-bit), .ogg (Vorbis). - writes a WAV stream of open length, or raw samples\n"
    "with --raw, for a pipe:  zarn-audio-record - | sox -t wav - speech.mp3\n"
    "Channels and rate are the helper's, unless --rate is given. Samples beyond full scale\n"
    "are clipped (32-bit float keeps them) and counted. The level, progress and summary go\n"
    "to standard error. A second Ctrl-C while the helper quits kills it at once; the file\n"
    "is closed and playable however the recording ends.\n"
    "\n"
    "Exit status: 0 when a recording ended as asked (after N seconds, or on an interrupt\n"
    "once audio had arrived); 1 when it failed, or when nothing was recorded because the\n"
    "interrupt came before any audio (what was recorded is always kept); 2 for a wrong\n"
    "command line.\n";

namespace {

std::optional<double> parseSeconds(std::string_view text) {
  double value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  // A day is far beyond any sensible use and keeps frame counts small.
  if (!std::isfinite(value) || value <= 0 || value > 86400) return std::nullopt;
  return value;
}

std::optional<unsigned> parseUnsigned(std::string_view text, unsigned low, unsigned high) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  if (value < low || value > high) return std::nullopt;
  return value;
}

// Options as given, before they are checked against each other and the OUTPUT.
struct Given {
  Options options;
  std::optional<unsigned> bits;
  bool raw = false;
  std::vector<std::string_view> positional;
};

// Takes one option with its value; "" or what is wrong with it.
std::string takeValue(std::string_view name, std::string_view value, Given& given) {
  const std::string quoted = ", not '" + std::string(value) + "'";
  if (name == "--seconds") {
    given.options.seconds = parseSeconds(value);
    if (!given.options.seconds) {
      return "--seconds wants a positive number of seconds, up to 86400" + quoted;
    }
  } else if (name == "--rate") {
    given.options.rate = parseUnsigned(value, kMinRate, kMaxRate);
    if (!given.options.rate) {
      return "--rate wants a whole number of Hz from " + std::to_string(kMinRate) + " to " +
             std::to_string(kMaxRate) + quoted;
    }
  } else {
    given.bits = parseUnsigned(value, 16, 32);
    if (given.bits != 16u && given.bits != 24u && given.bits != 32u) {
      return "--bits wants 16, 24 or 32" + quoted;
    }
  }
  return {};
}

// The container and sample width from OUTPUT and the options; "" or what does not fit.
std::string settleFormat(Given& given) {
  Options& options = given.options;
  if (given.raw) {
    options.container = Container::Raw;
  } else if (options.toStandardOutput()) {
    options.container = Container::Wav;
  } else if (const auto container = containerForPath(options.output)) {
    options.container = *container;
  } else {
    return "cannot tell the format of '" + options.output +
           "': name it .wav, .flac or .ogg (or use --raw)";
  }
  options.bits = given.bits.value_or(options.container == Container::Flac ? 24 : 16);
  if (options.container == Container::Flac && options.bits == 32) {
    return "FLAC holds 16 or 24 bits, not 32";
  }
  if (options.container == Container::Ogg && given.bits) {
    return "Ogg Vorbis has no sample width; --bits is for .wav, .flac and --raw";
  }
  return {};
}

// Splits the arguments into options and positional ones; "" or the first mistake.
std::string takeArguments(const std::vector<std::string_view>& args, Given& given, Action& action) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      given.positional.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--help" || arg == "-h" || arg == "--version") {
      action = arg == "--version" ? Action::Version : Action::Help;
      return {};
    } else if (arg == "--raw") {
      given.raw = true;
    } else {
      // --name VALUE or --name=VALUE
      const auto eq = arg.find('=');
      const std::string_view name = arg.substr(0, eq);
      if (name != "--seconds" && name != "--rate" && name != "--bits") {
        return "unknown option '" + std::string(arg) + "'";
      }
      if (eq == std::string_view::npos && i + 1 >= args.size()) {
        return std::string(name) + " needs a value";
      }
      const std::string_view value = eq == std::string_view::npos ? args[++i] : arg.substr(eq + 1);
      if (std::string error = takeValue(name, value, given); !error.empty()) return error;
    }
  }
  return {};
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

std::string formatName(Container container, unsigned bits) {
  const std::string width = std::to_string(bits) + "-bit";
  switch (container) {
    case Container::Wav:
      return "WAV " + width + (bits == 32 ? " float" : " PCM");
    case Container::Flac:
      return "FLAC " + width;
    case Container::Ogg:
      return "Ogg Vorbis";
    case Container::Raw:
      return "raw " + width + (bits == 32 ? " float" : " signed") + " little-endian";
  }
  return "?";
}

ParsedCommandLine parseCommandLine(const std::vector<std::string_view>& args) {
  ParsedCommandLine result;
  Given given;
  result.error = takeArguments(args, given, result.action);
  if (!result.error.empty() || result.action != Action::UsageError) return result;
  if (given.positional.size() != 1) {
    result.error = given.positional.empty()
                       ? "no OUTPUT given"
                       : "one OUTPUT only, got '" + std::string(given.positional[0]) + "' and '" +
                             std::string(given.positional[1]) + "'";
    return result;
  }
  given.options.output = given.positional[0];
  result.error = settleFormat(given);
  if (result.error.empty()) {
    result.action = Action::Record;
    result.options = given.options;
  }
  return result;
}

}  // namespace zarn::record
