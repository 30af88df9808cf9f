// The product when the sound server stops answering: stopped (SIGSTOP) right after outputs
// change or for good, and a socket that takes connections and never answers. Whatever happens,
// quit ends the process with status 0 within the bound and whole frames. (A server that dies is
// test_server_capture's.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "test_server_support.h"

namespace zarn::test::pulse {
namespace {

// Quit's bound from Q to the exit, 3 s, and a loaded machine's share on top.
constexpr auto kBound = 4000ms;

struct QuitCase {
  std::string name;
  std::string change;  // "default": zarn_null1 becomes the default; "remove": zarn_null0 goes
  friend void PrintTo(const QuitCase& test, std::ostream* out) { *out << test.name; }
};

const QuitCase kQuitCases[] = {
    {"DefaultChange", "default"}, {"CapturedOutputRemoval", "remove"}, {"ServerStopped", ""}};

class QuitWhileServerStopped : public ::testing::TestWithParam<std::tuple<ServerKind, QuitCase>> {};

// The server stops as soon as the change is made, so its word of the change or its answers to
// what the product asks about it wait (which of them, the race decides: quit must not care).
// After a change the server continues while quit is under way; otherwise not before the exit.
TEST_P(QuitWhileServerStopped, EndsInBound) {
  const auto& [kind, test] = GetParam();
  SoundServer server(kind, 2);
  ASSERT_GT(server.play(440, "zarn_null0"), 0);
  ChildProcess child(ZARN_AUDIO_PATH, {});
  Capture seen;
  ASSERT_NO_FATAL_FAILURE(armAndHear(child, seen, 440));
  const pid_t daemon = server.daemonPid(kind);
  ASSERT_GT(daemon, 0);
  const bool changed = test.change == "default"  ? server.pactl("set-default-sink zarn_null1")
                       : test.change == "remove" ? server.unload("zarn_null0")
                                                 : true;
  ::kill(daemon, SIGSTOP);
  const auto asked = quit(child);
  collect(child, seen, 300ms);
  if (!test.change.empty()) ::kill(daemon, SIGCONT);
  expectEndsInBound(child, seen, asked, kBound);
  ::kill(daemon, SIGCONT);
  EXPECT_TRUE(changed);
}

INSTANTIATE_TEST_SUITE_P(Servers, QuitWhileServerStopped,
                         ::testing::Combine(kServerKinds, ::testing::ValuesIn(kQuitCases)),
                         [](const auto& info) {
                           return std::get<0>(info.param).label() + "_" +
                                  std::get<1>(info.param).name;
                         });

// In place of the server, a socket whose connections wait in its backlog, never accepted: the
// start fails within 5 s (libpulse alone would wait about 30 s), pings are answered meanwhile,
// and quit still ends the process in bound. PipeWire's own protocol is tried first; libpulse,
// the fallback, then finds no server at all rather than a real one.
class SilentServer : public ::testing::TestWithParam<bool> {};

TEST_P(SilentServer, StartFailsWithinFiveSecondsAndQuitEndsTheProcessInBound) {
  const TempDir home;
  const std::string path = home.dir + "/silent";
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 16), 0);
  const auto env = GetParam() ? std::vector<std::string>{"PIPEWIRE_REMOTE=" + path,
                                                         "PULSE_SERVER=unix:" + path + ".none"}
                              : std::vector<std::string>{"PULSE_SERVER=unix:" + path,
                                                         "PIPEWIRE_REMOTE=" + path + ".none"};
  const auto began = Clock::now();
  ChildProcess child(ZARN_AUDIO_PATH, {}, SpawnOptions{.env = env});
  Capture seen;
  ASSERT_TRUE(child.write("AP"));
  collect(child, seen, 500ms);
  EXPECT_EQ(describe(seen.others), "O");
  collect(child, seen, 6000ms, 'E');
  EXPECT_LE(Clock::now() - began, 5000ms);
  EXPECT_THAT(describe(seen.others), ::testing::MatchesRegex(R"(O E\(start failed: [^()]+\))"));
  expectEndsInBound(child, seen, quit(child), kBound);
  const int connection = ::accept(listener, nullptr, nullptr);
  EXPECT_GE(connection, 0) << "the product never tried the silent socket";
  ::close(connection), ::close(listener);
}

INSTANTIATE_TEST_SUITE_P(Protocols, SilentServer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "pipewire" : "pulse"; });

}  // namespace
}  // namespace zarn::test::pulse
