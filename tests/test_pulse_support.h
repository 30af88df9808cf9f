// What the sound-server tests share: a private server per test, the product on it, and a look at
// the audio that comes back.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"

namespace zarn::test::pulse {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs a shell command; its standard output, or nothing when it fails.
inline std::optional<std::string> run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return std::nullopt;
  std::string output;
  std::array<char, 4096> chunk;
  while (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), pipe.get())) {
    output.append(chunk.data(), n);
  }
  const int status = ::pclose(pipe.release());
  if (status != 0) return std::nullopt;
  return output;
}

// A private server of one kind in a directory of its own, stopped and removed at the end. Its
// client environment is put into this process's, so the product and pactl both reach it.
class SoundServer {
 public:
  SoundServer(const std::string& kind, unsigned rate, unsigned outputs) {
    char pattern[] = "/tmp/zarn-pulse-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    const auto env =
        run(script() + " start " + kind + " " + dir_ + " --rate " + std::to_string(rate) +
            " --outputs " + std::to_string(outputs) + " --owner " + std::to_string(::getpid()));
    if (!env) {
      cleanUp();
      throw std::runtime_error("the " + kind + " server did not start");
    }
    std::istringstream lines(*env);
    for (std::string line; std::getline(lines, line);) {
      const auto equals = line.find('=');
      if (equals == std::string::npos) continue;
      ::setenv(line.substr(0, equals).c_str(), line.substr(equals + 1).c_str(), 1);
    }
  }
  SoundServer(const SoundServer&) = delete;
  SoundServer& operator=(const SoundServer&) = delete;
  ~SoundServer() { cleanUp(); }

  const std::string& dir() const { return dir_; }

  void stop() { (void)run(script() + " stop " + dir_ + " >/dev/null 2>&1"); }

  // Plays a sine in the background on the output (the default one when empty); the player's
  // pid, or 0 when it could not start.
  pid_t play(unsigned hz, unsigned seconds, const std::string& output = {}) {
    const auto pid = run(script() + " play " + dir_ + " " + std::to_string(hz) + " " +
                         std::to_string(seconds) + (output.empty() ? "" : " " + output));
    return pid ? static_cast<pid_t>(std::atoi(pid->c_str())) : 0;
  }

  // Ends the only player and waits until the server has let go of its stream.
  bool stopPlaying(pid_t pid) {
    if (pid <= 0 || ::kill(pid, SIGTERM) != 0) return false;
    for (int i = 0; i < 250; ++i) {
      const auto inputs = run("pactl list short sink-inputs");
      if (inputs && inputs->empty()) return true;
      ::usleep(20000);
    }
    return false;
  }

  bool pactl(const std::string& arguments) {
    return run("pactl " + arguments + " >/dev/null 2>&1").has_value();
  }

  // The index of the module that made the null output, for unloading it.
  std::optional<std::string> moduleOf(const std::string& output) {
    const auto modules = run("pactl list short modules");
    if (!modules) return std::nullopt;
    std::istringstream lines(*modules);
    for (std::string line; std::getline(lines, line);) {
      if (line.find("sink_name=" + output) != std::string::npos) {
        return line.substr(0, line.find('\t'));
      }
    }
    return std::nullopt;
  }

 private:
  static std::string script() { return ZARN_SOUND_SERVER; }
  void cleanUp() {
    if (dir_.empty()) return;
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string dir_;
};

// The audio of C frames, checked against one format.
struct Capture {
  std::uint32_t rate = 0;      // of the first chunk
  std::uint32_t lastRate = 0;  // of the latest chunk
  std::size_t rateChanges = 0;
  std::vector<float> samples;
  std::size_t chunks = 0;
  std::size_t largestChunk = 0;  // bytes of samples
  std::vector<std::string> problems;
  std::vector<Frame> others;  // every frame that is not C
  std::optional<Clock::time_point> firstChunkAt;
  Clock::time_point lastChunkAt;

  void add(const Frame& frame) {
    if (frame.type != 'C') {
      others.push_back(frame);
      return;
    }
    const auto& payload = frame.payload;
    if (payload.size() <= 8) {
      problems.push_back("C frame without samples");
      return;
    }
    const std::uint32_t frameRate =
        payload[0] | payload[1] << 8 | payload[2] << 16 | std::uint32_t{payload[3]} << 24;
    if (payload[4] != 1 || payload[5] != 32 || payload[6] != 1 || payload[7] != 0) {
      problems.push_back("header " + std::to_string(payload[4]) + "/" + std::to_string(payload[5]) +
                         "/" + std::to_string(payload[6]) + "/" + std::to_string(payload[7]));
    }
    // The samples kept are those of the latest rate: a capture that moved to an output of
    // another rate starts afresh there.
    if (frameRate != lastRate) {
      if (lastRate != 0) ++rateChanges;
      samples.clear();
      lastRate = frameRate;
    }
    if (rate == 0) rate = frameRate;
    const std::size_t bytes = payload.size() - 8;
    if (bytes % 4 != 0) problems.push_back("partial sample: " + std::to_string(bytes));
    const std::size_t start = samples.size();
    samples.resize(start + bytes / 4);
    std::memcpy(samples.data() + start, payload.data() + 8, bytes / 4 * 4);
    ++chunks;
    largestChunk = std::max(largestChunk, bytes);
    const auto now = Clock::now();
    if (!firstChunkAt) firstChunkAt = now;
    lastChunkAt = now;
  }

  double seconds() const { return lastRate ? double(samples.size()) / lastRate : 0; }
};

// Reads frames for the whole span into the capture.
inline void collect(ChildProcess& child, Capture& capture, std::chrono::milliseconds span) {
  const auto end = Clock::now() + span;
  while (Clock::now() < end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    auto frame = child.readFrame(std::max(left, std::chrono::milliseconds(1)));
    if (frame) capture.add(*frame);
    if (child.outputEnded()) return;
  }
}

// Reads until a frame of the type arrives, adding everything to the capture.
inline bool readUntil(ChildProcess& child, Capture& capture, std::uint8_t type,
                      std::chrono::milliseconds timeout) {
  const auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    auto frame = child.readFrame(std::max(left, std::chrono::milliseconds(1)));
    if (!frame) continue;
    capture.add(*frame);
    if (frame->type == type) return true;
  }
  return false;
}

struct Tone {
  double hz = 0;
  double peak = 0;
};

// The frequency of a sine from the median spacing of its rising zero crossings (placed between
// samples), so a player's underrun or a switch inside the span does not bend it.
inline Tone measureTone(const std::vector<float>& samples, std::size_t from, std::size_t to,
                        std::uint32_t rate) {
  Tone tone;
  std::vector<double> periods;
  double previous = -1;
  for (std::size_t i = std::max<std::size_t>(from, 1); i < to && i < samples.size(); ++i) {
    tone.peak = std::max(tone.peak, double(std::fabs(samples[i])));
    const float a = samples[i - 1], b = samples[i];
    if (a < 0 && b >= 0) {
      const double at = double(i - 1) + double(-a) / double(b - a);
      if (previous >= 0) periods.push_back(at - previous);
      previous = at;
    }
  }
  if (periods.size() < 10) return tone;  // no steady tone here
  std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
  tone.hz = rate / periods[periods.size() / 2];
  return tone;
}

// The tone of the last `seconds` of the capture.
inline Tone lastTone(const Capture& capture, double seconds) {
  const auto span = static_cast<std::size_t>(seconds * capture.lastRate);
  const std::size_t to = capture.samples.size();
  return measureTone(capture.samples, to > span ? to - span : 0, to, capture.lastRate);
}

inline std::string errorTexts(const Capture& capture) {
  std::string texts;
  for (const Frame& frame : capture.others) {
    if (frame.type == 'E') texts += "[" + frame.text() + "]";
  }
  return texts;
}

inline std::size_t countType(const Capture& capture, std::uint8_t type) {
  std::size_t n = 0;
  for (const Frame& frame : capture.others) n += frame.type == type;
  return n;
}

struct ServerKind {
  std::string name;
  unsigned rate;  // unusual rates, so a header that names some fixed rate shows
};

inline void PrintTo(const ServerKind& kind, std::ostream* out) {
  *out << kind.name << " at " << kind.rate << " Hz";
}

inline std::string kindName(const ::testing::TestParamInfo<ServerKind>& info) {
  return info.param.name;
}

inline const auto kServerKinds =
    ::testing::Values(ServerKind{"pulseaudio", 32000}, ServerKind{"pipewire", 44100});

inline std::string product() {
  return ZARN_AUDIO_PATH;
}

}  // namespace zarn::test::pulse
