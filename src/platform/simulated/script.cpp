// Script syntax: one token per argument, in any order; a later token of the same name wins, except
// chunk=, which appends.
//
//   displays=N             displays the content query finds (default 1; 0 = none)
//   query=ok|hang|none|fail[:TEXT]
//                          the content query completes with content, never completes, completes
//                          with neither content nor error, or fails with TEXT (may be empty)
//   output=ok|fail[:TEXT]  registering the audio output
//   start=ok|hang|fail[:TEXT]
//                          starting capture
//   stop=ok|fail[:TEXT]    stopping capture: its completion runs without or with an error
//   query-delay=MS  start-delay=MS  stop-delay=MS
//                          wait before that completion runs (default 0)
//   halt=ms:N[:TEXT]       the platform stops the running stream with error TEXT N ms after
//   halt=after:N[:TEXT]    capture started, or once its first N deliveries have returned
//   chunk=FIELD,FIELD...   appends one delivery to the sequence; every field is optional:
//       rate:R             sample rate, a double (nan, inf, -inf, 1e300 allowed; default 48000)
//       flags:F            format flags, decimal or 0x hex (default 1: float)
//       channels:N bits:N  channels per frame and bits per channel (default 1 and 32)
//       bytes:N            bytes of audio (default 1024)
//       data:counter       byte j of the delivery numbered k (from 0) is (k + j) mod 256 (default)
//       data:sine:HZ       a sine of HZ, amplitude 0.5, continuing from delivery to delivery;
//                          float (32 or 64 bits) or signed integer (16 or 32 bits) samples as the
//                          format says, otherwise zeros
//       data:zero          zeros
//       fault:KIND         none, not-audio, invalid, not-ready, no-format, no-description,
//                          list-fail, null-data, zero-bytes or two-buffers
//       stall:MS           the platform delivers nothing for MS before this one (beyond the pace)
//       count:N            appends N such deliveries (default 1)
//   pace=MS                time between two deliveries; 0 = as fast as the threads take them
//                          (default 10)
//   repeat=N|forever       plays the sequence N times, or until the stream stops (default 1)
//   threads=N              delivery threads, at least 2 (default 4)
//   record=PATH            appends one line per event to PATH, written as it happens
//
// Example: zarn-audio-sim chunk=rate:44100,bits:16,flags:0,bytes:4096 pace=5 repeat=forever
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "platform/simulated/script.h"

namespace zarn::platform::simulated {
namespace {

using Outcome = Step::Outcome;

bool parseUnsigned(std::string_view text, std::uint64_t limit, std::uint64_t& value) {
  if (text.empty() || text.front() == '-' || text.front() == '+' || text.front() == ' ') {
    return false;
  }
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(copy.c_str(), &end, 0);
  if (errno != 0 || end != copy.c_str() + copy.size() || parsed > limit) return false;
  value = parsed;
  return true;
}

bool parseInt(std::string_view text, int limit, int& value) {
  std::uint64_t parsed = 0;
  if (!parseUnsigned(text, static_cast<std::uint64_t>(limit), parsed)) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool parseDouble(std::string_view text, double& value) {
  if (text.empty()) return false;
  std::string copy(text);
  char* end = nullptr;
  value = std::strtod(copy.c_str(), &end);  // an overflow gives inf, which is wanted here
  return end == copy.c_str() + copy.size();
}

// "ok", "hang", "none" or "fail[:TEXT]", limited to the outcomes the operation can have.
bool parseStep(std::string_view text, bool canHang, bool canBeEmpty, Step& step) {
  if (text == "ok") {
    step.outcome = Outcome::ok;
  } else if (text == "hang" && canHang) {
    step.outcome = Outcome::hang;
  } else if (text == "none" && canBeEmpty) {
    step.outcome = Outcome::none;
  } else if (text == "fail" || text.starts_with("fail:")) {
    step.outcome = Outcome::fail;
    step.description = text.size() > 4 ? std::string(text.substr(5)) : std::string();
    return true;
  } else {
    return false;
  }
  step.description.clear();
  return true;
}

// The entry of `table` whose name is `name`, or none.
template <class Entry, std::size_t N>
const Entry* lookUp(const Entry (&table)[N], std::string_view name) {
  for (const Entry& entry : table) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

bool parseFault(std::string_view text, Delivery::Fault& fault) {
  using Fault = Delivery::Fault;
  static constexpr struct {
    std::string_view name;
    Fault fault;
  } kFaults[] = {
      {"none", Fault::none},
      {"not-audio", Fault::notAudio},
      {"invalid", Fault::invalid},
      {"not-ready", Fault::notReady},
      {"no-format", Fault::noFormat},
      {"no-description", Fault::noDescription},
      {"list-fail", Fault::listFail},
      {"null-data", Fault::nullData},
      {"zero-bytes", Fault::zeroBytes},
      {"two-buffers", Fault::twoBuffers},
  };
  const auto* entry = lookUp(kFaults, text);
  if (entry) fault = entry->fault;
  return entry != nullptr;
}

bool parseU32(std::string_view text, std::uint32_t& value) {
  std::uint64_t parsed = 0;
  if (!parseUnsigned(text, UINT32_MAX, parsed)) return false;
  value = static_cast<std::uint32_t>(parsed);
  return true;
}

bool parseData(std::string_view text, Delivery& delivery) {
  using Content = Delivery::Content;
  if (text == "counter" || text == "zero") {
    delivery.content = text == "zero" ? Content::zero : Content::counter;
    return true;
  }
  if (!text.starts_with("sine:")) return false;
  delivery.content = Content::sine;
  return parseDouble(text.substr(5), delivery.sineHz) && std::isfinite(delivery.sineHz);
}

constexpr int kMaxDelayMs = 600000;

// Larger deliveries only slow the tests down; nothing the platform delivers comes near this.
constexpr std::uint64_t kMaxDeliveryBytes = 64u << 20;
constexpr std::uint64_t kMaxCount = 1u << 20;

// One field of a chunk= token: the delivery it describes, and how many of them to append.
struct ChunkField {
  std::string_view name;
  bool (*parse)(std::string_view value, Delivery& delivery, std::uint64_t& count);
};

constexpr ChunkField kChunkFields[] = {
    {"rate", [](auto v, Delivery& d, auto&) { return parseDouble(v, d.format.sampleRate); }},
    {"flags", [](auto v, Delivery& d, auto&) { return parseU32(v, d.format.formatFlags); }},
    {"channels", [](auto v, Delivery& d, auto&) { return parseU32(v, d.format.channelsPerFrame); }},
    {"bits", [](auto v, Delivery& d, auto&) { return parseU32(v, d.format.bitsPerChannel); }},
    {"bytes",
     [](auto v, Delivery& d, auto&) {
       std::uint64_t bytes = 0;
       if (!parseUnsigned(v, kMaxDeliveryBytes, bytes)) return false;
       d.bytes = static_cast<std::uint32_t>(bytes);
       return true;
     }},
    {"data", [](auto v, Delivery& d, auto&) { return parseData(v, d); }},
    {"fault", [](auto v, Delivery& d, auto&) { return parseFault(v, d.fault); }},
    {"stall", [](auto v, Delivery& d, auto&) { return parseInt(v, kMaxDelayMs, d.stallMs); }},
    {"count", [](auto v, Delivery&, auto& count) { return parseUnsigned(v, kMaxCount, count); }},
};

bool parseChunk(std::string_view fields, Script& script, std::string& error) {
  Delivery delivery;
  std::uint64_t count = 1;
  while (!fields.empty()) {
    const auto comma = fields.find(',');
    const std::string_view field = fields.substr(0, comma);
    fields = comma == std::string_view::npos ? std::string_view() : fields.substr(comma + 1);
    const auto colon = field.find(':');
    const std::string_view value =
        colon == std::string_view::npos ? std::string_view() : field.substr(colon + 1);
    const ChunkField* rule = lookUp(kChunkFields, field.substr(0, colon));
    if (!rule || !rule->parse(value, delivery, count)) {
      error = "bad chunk field: " + std::string(field);
      return false;
    }
  }
  if (script.deliveries.size() + count > kMaxCount) {
    error = "too many chunks";
    return false;
  }
  script.deliveries.insert(script.deliveries.end(), count, delivery);
  return true;
}

bool parseHalt(std::string_view text, Script& script) {
  Halt halt;
  if (text.starts_with("ms:")) {
    halt.when = Halt::When::afterMs;
    text.remove_prefix(3);
  } else if (text.starts_with("after:")) {
    halt.when = Halt::When::afterDeliveries;
    text.remove_prefix(6);
  } else {
    return false;
  }
  const auto colon = text.find(':');
  if (!parseUnsigned(text.substr(0, colon), UINT32_MAX, halt.count)) return false;
  if (colon != std::string_view::npos) halt.description = std::string(text.substr(colon + 1));
  script.halt = std::move(halt);
  return true;
}

bool parseRepeat(std::string_view text, Script& script) {
  std::uint64_t times = 0;
  if (text == "forever") {
    script.repeat = Script::kForever;
  } else if (parseUnsigned(text, INT32_MAX, times)) {
    script.repeat = static_cast<std::int64_t>(times);
  } else {
    return false;
  }
  return true;
}

// Every token but chunk=, which appends and says which field is wrong.
struct Token {
  std::string_view name;
  bool (*parse)(std::string_view value, Script& script);
};

constexpr Token kTokens[] = {
    {"displays", [](auto v, Script& s) { return parseInt(v, 1000, s.displays); }},
    {"query", [](auto v, Script& s) { return parseStep(v, true, true, s.query); }},
    {"output", [](auto v, Script& s) { return parseStep(v, false, false, s.output); }},
    {"start", [](auto v, Script& s) { return parseStep(v, true, false, s.start); }},
    {"stop", [](auto v, Script& s) { return parseStep(v, false, false, s.stop); }},
    {"query-delay", [](auto v, Script& s) { return parseInt(v, kMaxDelayMs, s.query.delayMs); }},
    {"start-delay", [](auto v, Script& s) { return parseInt(v, kMaxDelayMs, s.start.delayMs); }},
    {"stop-delay", [](auto v, Script& s) { return parseInt(v, kMaxDelayMs, s.stop.delayMs); }},
    {"halt", [](auto v, Script& s) { return parseHalt(v, s); }},
    {"pace", [](auto v, Script& s) { return parseInt(v, kMaxDelayMs, s.paceMs); }},
    {"repeat", [](auto v, Script& s) { return parseRepeat(v, s); }},
    {"threads",
     [](auto v, Script& s) {
       return parseInt(v, kMaxDeliveryThreads, s.threads) && s.threads >= 2;
     }},
    {"record",
     [](auto v, Script& s) {
       s.recordPath = std::string(v);
       return !v.empty();
     }},
};

bool parseToken(std::string_view token, Script& script, std::string& error) {
  const auto equals = token.find('=');
  if (equals == std::string_view::npos) {
    error = "expected NAME=VALUE: " + std::string(token);
    return false;
  }
  const std::string_view name = token.substr(0, equals);
  const std::string_view value = token.substr(equals + 1);
  if (name == "chunk") return parseChunk(value, script, error);
  const Token* rule = lookUp(kTokens, name);
  if (!rule) {
    error = "unknown script token: " + std::string(token);
    return false;
  }
  if (rule->parse(value, script)) return true;
  error = "bad value: " + std::string(token);
  return false;
}

}  // namespace

std::optional<Script> parseScript(const std::vector<std::string>& tokens, std::string& error) {
  Script script;
  for (const auto& token : tokens) {
    if (!parseToken(token, script, error)) return std::nullopt;
  }
  return script;
}

}  // namespace zarn::platform::simulated
