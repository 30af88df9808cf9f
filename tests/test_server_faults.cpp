// The product under faults injected between it and the sound server: answers held while outputs
// change, and a server that never answers. Whatever happens, quit ends the process with status 0
// within the bound and whole frames. (A connection that breaks is the server dying, as
// test_pulse_capture has it.)
#include <gtest/gtest.h>

#include <fstream>

#include "fault_proxy.h"
#include "test_server_support.h"

namespace zarn::test::pulse {
namespace {

using Way = FaultProxy::Way;

// How the product reaches a server through the proxy, one way per protocol.
struct Route {
  FaultProxy::Protocol protocol;
  std::uint32_t news;  // a message that tells of a change
  std::vector<std::string> (*environment)(const FaultProxy& proxy);
  std::string (*serverSocket)();
};

// The product on libpulse through the proxy: PipeWire's own protocol finds no socket. The client
// library keeps to the socket (its shared memory is not what is tested here); pactl, run by the
// test, still asks the server itself. The library complains of the line that is no setting, and
// that must not reach our stderr.
const Route kPulseRoute{
    FaultProxy::pulse, 66,  // subscribe event
    [](const FaultProxy& proxy) -> std::vector<std::string> {
      const std::string config = proxy.path() + ".conf";
      std::ofstream(config) << "autospawn = no\nenable-shm = no\nenable-memfd = no\nno setting\n";
      return {"PULSE_SERVER=unix:" + proxy.path(), "PULSE_CLIENTCONFIG=" + config,
              "PIPEWIRE_REMOTE=" + proxy.path() + ".no-pipewire"};
    },
    [] { return std::string(std::getenv("PULSE_SERVER") + 5); }};  // unix:PATH

// The product on PipeWire's own protocol through the proxy. libpulse, its fallback when PipeWire
// does not answer in time, finds no server, so a fallback fails to start rather than going round
// the proxy.
const Route kPipeWireRoute{
    FaultProxy::pipewire, FaultProxy::kAnyCommand,  // any word
    [](const FaultProxy& proxy) -> std::vector<std::string> {
      return {"PIPEWIRE_REMOTE=" + proxy.path(), "PULSE_SERVER=unix:" + proxy.path() + ".no-pulse"};
    },
    [] {
      return std::string(std::getenv("PIPEWIRE_RUNTIME_DIR")) + "/" +
             std::getenv("PIPEWIRE_REMOTE");
    }};

// Quit's bound from Q to the exit, 3 s, and a loaded machine's share on top.
constexpr auto kBound = 4000ms;

std::unique_ptr<ChildProcess> startThrough(const FaultProxy& proxy, const Route& route) {
  return std::make_unique<ChildProcess>(ZARN_AUDIO_PATH, std::vector<std::string>{},
                                        SpawnOptions{.env = route.environment(proxy)});
}

// A private server with the proxy in front of it.
struct ProxiedServer {
  ProxiedServer(const ServerKind& kind, unsigned outputs)
      : route(kind.native ? kPipeWireRoute : kPulseRoute),
        server(kind, outputs),
        proxy(home.dir + "/proxy", route.serverSocket(), route.protocol) {}
  std::unique_ptr<ChildProcess> start() const { return startThrough(proxy, route); }
  const Route& route;
  SoundServer server;  // sets the client libraries' environment
  TempDir home;
  FaultProxy proxy;
};

// Reads frames until the condition holds, for up to `span`: a parent that stopped reading would
// hold the product up.
template <class Condition>
bool readUntil(ChildProcess& child, Capture& seen, milliseconds span, Condition condition) {
  for (const auto end = Clock::now() + span; !condition(); collect(child, seen, 5ms))
    if (Clock::now() > end) return false;
  return true;
}

// Replies of the route's kind of news (or all) seen so far.
std::size_t newsSeen(FaultProxy& proxy, const Route& route) {
  const auto seen = proxy.commands(Way::replies);
  return route.news == FaultProxy::kAnyCommand ? seen.size() : std::ranges::count(seen, route.news);
}

enum class Fault {
  heldNews,     // the server's word of the change waits until after Q
  heldAnswers,  // the answers to what the product asks upon the change wait until after Q
  silence,      // the server stops answering for good
};

struct QuitCase {
  std::string name;
  Fault fault;
  std::string change;  // "default": zarn_null1 becomes the default; "remove": zarn_null0 goes
  friend void PrintTo(const QuitCase& test, std::ostream* out) { *out << test.name; }
};

const QuitCase kQuitCases[] = {
    {"DefaultChangeAnswered", Fault::heldAnswers, "default"},
    {"CapturedOutputRemovalAnnounced", Fault::heldNews, "remove"},
    {"CapturedOutputRemovalAnswered", Fault::heldAnswers, "remove"},
    {"ServerStopsAnswering", Fault::silence, ""},
};

class QuitUnderFault : public ::testing::TestWithParam<std::tuple<ServerKind, QuitCase>> {};

TEST_P(QuitUnderFault, EndsInBound) {
  const auto& [kind, test] = GetParam();
  ProxiedServer at(kind, 2);
  ASSERT_GT(at.server.play(440, "zarn_null0"), 0);
  const auto child = at.start();
  Capture seen;
  ASSERT_TRUE(child->write("A"));
  ASSERT_TRUE(collect(*child, seen, 5000ms, 'R')) << describe(seen.others);
  ASSERT_TRUE(collect(*child, seen, 2000ms, 'C')) << "no audio";
  const std::size_t news = newsSeen(at.proxy, at.route);
  if (test.fault == Fault::heldAnswers) at.proxy.holdRepliesAfterNextRequest();
  if (test.fault == Fault::heldNews || test.fault == Fault::silence) at.proxy.hold(Way::replies);
  const bool changed = test.change == "default"  ? at.server.pactl("set-default-sink zarn_null1")
                       : test.change == "remove" ? at.server.unload("zarn_null0")
                                                 : true;
  ASSERT_TRUE(changed);
  const bool heard = readUntil(*child, seen, 2000ms, [&] {
    return test.fault == Fault::heldNews      ? newsSeen(at.proxy, at.route) > news
           : test.fault == Fault::heldAnswers ? at.proxy.holding(Way::replies)
                                              : true;
  });
  ASSERT_TRUE(heard) << "the product did not hear of the change, or asked nothing about it";
  const auto asked = quit(*child);
  collect(*child, seen, 300ms);  // quit is under way when the answers come
  if (test.fault != Fault::silence) at.proxy.release(Way::replies);
  expectEndsInBound(*child, seen, asked, kBound);
}

INSTANTIATE_TEST_SUITE_P(Servers, QuitUnderFault,
                         ::testing::Combine(kServerKinds, ::testing::ValuesIn(kQuitCases)),
                         [](const auto& info) {
                           return std::get<0>(info.param).label() + "_" +
                                  std::get<1>(info.param).name;
                         });

// Nothing answers: the start fails within 5 s (libpulse alone would wait about 30 s), pings are
// answered meanwhile, and quit still ends the process in bound.
class SilentServer : public ::testing::TestWithParam<bool> {};

TEST_P(SilentServer, StartFailsWithinFiveSecondsAndQuitEndsTheProcessInBound) {
  const TempDir home;
  const Route& route = GetParam() ? kPipeWireRoute : kPulseRoute;
  FaultProxy silent(home.dir + "/silent", "", route.protocol);
  const auto began = Clock::now();
  const auto child =
      startThrough(silent, route);  // PipeWire: the daemon is not used past its 1 s probe
  Capture seen;
  ASSERT_TRUE(child->write("AP"));
  collect(*child, seen, 500ms);
  EXPECT_EQ(describe(seen.others), "O");
  ASSERT_TRUE(readUntil(*child, seen, 6000ms, [&] { return seen.others.size() > 1; }));
  EXPECT_LE(Clock::now() - began, 5000ms);
  EXPECT_THAT(describe(seen.others), ::testing::MatchesRegex(R"(O E\(start failed: [^()]+\))"));
  expectEndsInBound(*child, seen, quit(*child), kBound);
}

INSTANTIATE_TEST_SUITE_P(Protocols, SilentServer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "pipewire" : "pulse"; });

}  // namespace
}  // namespace zarn::test::pulse
