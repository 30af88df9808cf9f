// What the sound-server tests share: a private server per test, the product on it, and a look at
// the audio that comes back.
#pragma once

#include <gmock/gmock.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "child_process.h"
#include "tone.h"

namespace zarn::test::pulse {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Runs a shell command; its standard output, or nothing when it fails.
inline std::optional<std::string> run(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string out;
  for (char c[4096]; std::size_t n = pipe ? std::fread(c, 1, sizeof c, pipe) : 0;) out.append(c, n);
  return pipe && ::pclose(pipe) == 0 ? std::optional(out) : std::nullopt;
}

// A fresh directory (short: sockets go inside), removed with all it holds at the end.
struct TempDir {
  TempDir() { EXPECT_TRUE(::mkdtemp(dir.data())) << "cannot make " << dir; }
  ~TempDir() { std::filesystem::remove_all(dir, ignored); }
  std::string dir = "/tmp/zarn-XXXXXX";
  std::error_code ignored;
};

struct ServerKind {
  std::string name;
  unsigned rate;        // unusual rates, so a header that names some fixed rate shows
  bool native = false;  // PipeWire: the product on PipeWire's own protocol, not on libpulse
  std::string label() const { return name + (native ? "_native" : ""); }
  friend void PrintTo(const ServerKind& kind, std::ostream* out) { *out << kind.label(); }
};

// Every server kind, chosen at run time: PulseAudio, PipeWire through its pulse server (the
// product on libpulse), and PipeWire on its own protocol.
inline const auto kServerKinds =
    ::testing::Values(ServerKind{"pulseaudio", 32000}, ServerKind{"pipewire", 44100},
                      ServerKind{"pipewire", 44100, true});

// A private server in a directory of its own, stopped and removed at the end; one that does not
// start throws. Its client environment goes into this process's, for the product and pactl.
class SoundServer {
 public:
  SoundServer(const ServerKind& kind, unsigned outputs) {
    const auto env =
        run(std::string(ZARN_SOUND_SERVER) + " start " + kind.name + " " + home_.dir + " --rate " +
            std::to_string(kind.rate) + " --outputs " + std::to_string(outputs) + " --owner $PPID");
    if (!env) throw std::runtime_error("the " + kind.name + " server did not start");
    std::istringstream lines(*env);  // KEY=VALUE lines
    for (std::string line; std::getline(lines, line);)
      ::setenv(line.substr(0, line.find('=')).c_str(), line.substr(line.find('=') + 1).c_str(), 1);
    // The product takes PipeWire's own protocol whenever its daemon answers; a socket that does
    // not exist keeps it on libpulse.
    if (!kind.native) ::setenv("PIPEWIRE_REMOTE", "zarn-no-pipewire", 1);
  }
  ~SoundServer() { stop(); }

  void stop() { (void)script("stop", ">/dev/null 2>&1"); }
  // The script's command on this server: `play HZ SECONDS [OUTPUT] [--level L] [--stereo SIDE]`
  // (prints the player's pid), `session-manager stop|start`, ...
  std::optional<std::string> script(const std::string& verb, const std::string& rest) {
    return run(std::string(ZARN_SOUND_SERVER) + " " + verb + " " + home_.dir + " " + rest);
  }
  // Plays a sine in the background on the output (the default one when empty); the player's
  // pid, or 0 when it could not start.
  pid_t play(unsigned hz, const std::string& output = {}, const std::string& options = {}) {
    const auto pid = script("play", std::to_string(hz) + " 30 " + output + " " + options);
    return pid ? static_cast<pid_t>(std::atoi(pid->c_str())) : 0;
  }
  // Ends the only player and waits (up to 5 s) until the server has let go of its stream.
  bool stopPlaying(pid_t pid) {
    return pid > 0 && run("kill " + std::to_string(pid) + " && for i in $(seq 250); do [ -z \"$(" +
                          "pactl list short sink-inputs)\" ] && exit 0; sleep 0.02; done; exit 1");
  }
  // The pid of the server's process the product talks to on a server of that kind, or 0.
  pid_t daemonPid(const ServerKind& kind) const {
    std::ifstream file(home_.dir + "/pids/" +
                       (kind.native               ? "pipewire"
                        : kind.name == "pipewire" ? "pipewire-pulse"
                                                  : "pulseaudio"));
    pid_t pid = 0;
    return file >> pid ? pid : 0;
  }
  bool pactl(const std::string& a) { return run("pactl " + a + " >/dev/null 2>&1").has_value(); }
  // Unloads the module that made the null output.
  bool unload(const std::string& output) {
    return pactl("unload-module \"$(pactl list short modules | awk '/sink_name=" + output +
                 "( |$)/ {print $1}')\"");
  }

 private:
  const TempDir home_;
};

// The C frames' audio, each checked against the one format; the other frames kept as they came.
struct Capture {
  std::uint32_t rate = 0, lastRate = 0;      // of the first and of the latest chunk
  std::vector<float> samples;                // since the latest change of rate
  std::size_t chunks = 0, largestChunk = 0;  // the largest in bytes of samples
  std::vector<Frame> others;
  Clock::time_point firstChunkAt, lastChunkAt;

  void add(const Frame& frame) {
    if (frame.type != kFrameChunk) return others.push_back(frame);
    const auto [format, bytes] = tools::decodeChunk(frame.payload).value_or(tools::Chunk{});
    // Mono, 32 bits, float, then the zero byte.
    if (bytes.empty() || bytes.size() % 4 != 0 || std::memcmp(&frame.payload[4], "\1\40\1", 4))
      return ADD_FAILURE() << "bad chunk " << describe(frame);
    if (format.sampleRate != lastRate) samples.clear();  // moved to an output of another rate
    lastRate = format.sampleRate;
    if (chunks++ == 0) rate = lastRate, firstChunkAt = Clock::now();
    lastChunkAt = Clock::now();
    largestChunk = std::max(largestChunk, bytes.size());
    samples.resize(samples.size() + bytes.size() / 4);
    std::memcpy(&*(samples.end() - bytes.size() / 4), bytes.data(), bytes.size());
  }
};

// Reads frames into the capture for the span, or until a frame of type `until` came (true).
inline bool collect(ChildProcess& child, Capture& into, milliseconds span, std::uint8_t until = 0) {
  for (const auto end = Clock::now() + span; Clock::now() < end && !child.outputEnded();) {
    const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
    const auto frame = child.readFrame(std::max(left, 1ms));
    if (frame) into.add(*frame);
    if (frame && frame->type == until) return true;
  }
  return false;
}

// The last `seconds` of the capture are a tone of `hz` (within 2 Hz) at a plausible level.
inline ::testing::AssertionResult playsTone(const Capture& capture, double seconds, double hz) {
  const double rate = capture.lastRate;
  return isTone(lastSeconds(capture.samples, seconds, rate), rate, hz, 2, 0.2, 1.0);
}

// Arms the product, waits until its stream runs and checks it hears the tone.
inline void armAndHear(ChildProcess& child, Capture& capture, unsigned hz) {
  ASSERT_TRUE(child.write("A"));
  ASSERT_TRUE(collect(child, capture, 5000ms, 'R')) << describe(capture.others);
  collect(child, capture, 1000ms);
  EXPECT_TRUE(playsTone(capture, 0.5, hz));
}

// A ping is answered (in time, while audio may be flowing).
inline bool pinged(ChildProcess& child, Capture& into) {
  return child.write("P") && collect(child, into, 2000ms, 'O');
}

// The loss of the stream was reported, the only frame in `seen` besides audio: no second report
// comes in the second after it, and the helper still answers. Returns what came.
inline Capture expectReportedOnce(ChildProcess& child, const Capture& seen) {
  EXPECT_THAT(describe(seen.others),
              ::testing::MatchesRegex(R"(E\(stream stopped with error: [^()]+\))"));
  Capture after;
  collect(child, after, 1000ms);
  EXPECT_TRUE(pinged(child, after));
  EXPECT_EQ(describe(after.others), "O");
  return after;
}

// Sends Q; when.
inline Clock::time_point quit(ChildProcess& child) {
  EXPECT_TRUE(child.write("Q"));
  return Clock::now();
}

// Quit, asked at `asked`, ends the process within `bound`, with status 0, whole frames to the end,
// at most one R over the run and nothing on standard error. The parent goes on reading, as audio
// may still be flowing.
inline void expectEndsInBound(ChildProcess& child, Capture& seen, Clock::time_point asked,
                              milliseconds bound = 2000ms) {
  collect(child, seen, bound + 1000ms);
  const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - asked);
  EXPECT_TRUE(child.outputEnded()) << "still running " << took.count() << " ms after quit";
  EXPECT_LE(took, bound);
  EXPECT_EQ(child.wait(1000ms).describe(), "exit status 0");
  EXPECT_EQ(child.bufferedBytes(), 0u) << "the output ends inside a frame";
  EXPECT_EQ(child.frameError(), "");
  EXPECT_LE(std::ranges::count(seen.others, 'R', &Frame::type), 1) << describe(seen.others);
  EXPECT_EQ(child.stderrText(), "");
}

inline void expectCleanQuit(ChildProcess& child) {
  Capture rest;
  expectEndsInBound(child, rest, quit(child));
}

}  // namespace zarn::test::pulse
