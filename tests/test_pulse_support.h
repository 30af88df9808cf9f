// What the sound-server tests share: a private server per test, the product on it, and a look at
// the audio that comes back.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"

namespace zarn::test::pulse {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline const std::string kStopped = R"(E\(stream stopped with error: [^()]+\))";  // in describe()

// Runs a shell command; its standard output, or nothing when it fails.
inline std::optional<std::string> run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
  if (!pipe) return std::nullopt;
  std::string output;
  char chunk[4096];
  while (std::size_t n = std::fread(chunk, 1, sizeof chunk, pipe.get())) output.append(chunk, n);
  if (::pclose(pipe.release()) != 0) return std::nullopt;
  return output;
}

struct ServerKind {
  std::string name;
  unsigned rate;  // unusual rates, so a header that names some fixed rate shows
  friend void PrintTo(const ServerKind& kind, std::ostream* out) { *out << kind.name; }
};

inline const auto kServerKinds =
    ::testing::Values(ServerKind{"pulseaudio", 32000}, ServerKind{"pipewire", 44100});

// A private server in a directory of its own, stopped and removed at the end; one that does not
// start throws. Its client environment goes into this process's, for the product and pactl.
class SoundServer {
 public:
  SoundServer(const ServerKind& kind, unsigned outputs) {
    char pattern[] = "/tmp/zarn-pulse-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    const auto env =
        run(kScript + " start " + kind.name + " " + dir_ + " --rate " + std::to_string(kind.rate) +
            " --outputs " + std::to_string(outputs) + " --owner " + std::to_string(::getpid()));
    if (!env) {
      std::filesystem::remove_all(dir_);
      throw std::runtime_error("the " + kind.name + " server did not start");
    }
    // KEY=VALUE lines; the environment keeps the strings for good.
    for (std::size_t at = 0, end; (end = env->find('\n', at)) != std::string::npos; at = end + 1)
      ::putenv(::strdup(env->substr(at, end - at).c_str()));
  }
  ~SoundServer() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void stop() { (void)run(kScript + " stop " + dir_ + " >/dev/null 2>&1"); }

  // Plays a sine in the background on the output (the default one when empty); the player's
  // pid, or 0 when it could not start.
  pid_t play(unsigned hz, const std::string& output = {}) {
    const auto pid = run(kScript + " play " + dir_ + " " + std::to_string(hz) + " 30 " + output);
    return pid ? static_cast<pid_t>(std::atoi(pid->c_str())) : 0;
  }

  // Ends the only player and waits until the server has let go of its stream.
  bool stopPlaying(pid_t pid) {
    if (pid <= 0 || ::kill(pid, SIGTERM) != 0) return false;
    for (int i = 0; i < 250; ++i, ::usleep(20000))
      if (run("pactl list short sink-inputs") == "") return true;
    return false;
  }

  bool pactl(const std::string& arguments) {
    return run("pactl " + arguments + " >/dev/null 2>&1").has_value();
  }

  // Unloads the module that made the null output (pactl exits 0 when it finds none).
  bool unload(const std::string& output) {
    return run("m=$(pactl list short modules | awk '/sink_name=" + output +
               "( |$)/ {print $1}') && [ -n \"$m\" ] && pactl unload-module $m >/dev/null 2>&1")
        .has_value();
  }

 private:
  inline static const std::string kScript = ZARN_SOUND_SERVER;
  std::string dir_;
};

// The C frames' audio, checked against the one format; the other frames kept as they came.
struct Capture {
  std::uint32_t rate = 0, lastRate = 0;      // of the first and of the latest chunk
  std::vector<float> samples;                // since the latest change of rate
  std::size_t chunks = 0, largestChunk = 0;  // the largest in bytes of samples
  std::vector<std::string> problems;
  std::vector<Frame> others;
  Clock::time_point firstChunkAt, lastChunkAt;

  void add(const Frame& frame) {
    if (frame.type != 'C') return others.push_back(frame);
    const auto& p = frame.payload;
    const std::size_t bytes = p.size() - std::min<std::size_t>(p.size(), 8);
    if (bytes == 0 || bytes % 4 != 0 || p[4] != 1 || p[5] != 32 || p[6] != 1 || p[7] != 0) {
      return problems.push_back("bad chunk " + describe(frame));
    }
    const std::uint32_t frameRate = p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t{p[3]} << 24;
    if (frameRate != lastRate) samples.clear();  // moved to an output of another rate
    lastRate = frameRate;
    if (chunks++ == 0) rate = frameRate, firstChunkAt = Clock::now();
    lastChunkAt = Clock::now();
    largestChunk = std::max(largestChunk, bytes);
    samples.resize(samples.size() + bytes / 4);
    std::memcpy(samples.data() + samples.size() - bytes / 4, p.data() + 8, bytes);
  }
  double seconds() const { return lastRate ? double(samples.size()) / lastRate : 0; }
};

// Reads frames into the capture for the span, or until a frame of type `until` came (true).
inline bool collect(ChildProcess& child, Capture& capture, std::chrono::milliseconds span,
                    std::uint8_t until = 0) {
  for (const auto end = Clock::now() + span; Clock::now() < end && !child.outputEnded();) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    const auto frame = child.readFrame(std::max(left, 1ms));
    if (!frame) continue;
    capture.add(*frame);
    if (frame->type == until) return true;
  }
  return false;
}

// Every chunk had the format, and the last `seconds` of the capture are a tone of `hz` (within 2
// Hz) at a plausible level. The frequency comes from the median spacing of rising zero crossings
// (placed between samples), so a player's underrun or a switch inside the span does not bend it.
inline ::testing::AssertionResult playsTone(const Capture& capture, double seconds, double hz) {
  const std::vector<float>& s = capture.samples;
  const auto span = static_cast<std::size_t>(seconds * capture.lastRate);
  std::vector<double> periods;
  double peak = 0, previous = -1, heard = 0;
  for (std::size_t i = std::max<std::size_t>(s.size() > span ? s.size() - span : 0, 1);
       i < s.size(); ++i) {
    peak = std::max(peak, double(std::fabs(s[i])));
    if (s[i - 1] < 0 && s[i] >= 0) {
      const double at = double(i - 1) + double(-s[i - 1]) / double(s[i] - s[i - 1]);
      if (previous >= 0) periods.push_back(at - previous);
      previous = at;
    }
  }
  if (periods.size() >= 10) {  // else no steady tone here
    std::nth_element(periods.begin(), periods.begin() + periods.size() / 2, periods.end());
    heard = capture.lastRate / periods[periods.size() / 2];
  }
  if (!capture.problems.empty()) return ::testing::AssertionFailure() << capture.problems.front();
  if (std::fabs(heard - hz) <= 2 && peak > 0.2 && peak <= 1.0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "heard " << heard << " Hz at peak " << peak << " in "
                                       << s.size() << " samples at " << capture.lastRate << " Hz";
}

// Q ends the process within two seconds, with status 0, whole frames to the end and nothing on
// standard error. The parent goes on reading, as audio may still be flowing.
inline void expectCleanQuit(ChildProcess& child) {
  ASSERT_TRUE(child.write("Q"));
  const auto asked = Clock::now();
  Capture rest;
  collect(child, rest, 3000ms);  // until the output ends
  EXPECT_LT(Clock::now() - asked, 2000ms);
  EXPECT_EQ(child.bufferedBytes(), 0u) << "the output ends inside a frame";
  const ExitResult result = child.wait(1000ms);
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  EXPECT_EQ(child.stderrText(), "");
}

}  // namespace zarn::test::pulse
