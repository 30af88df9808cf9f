// The native PipeWire stream's state handling, every phase with every event, and what holds
// across the whole table; then the mix-down to mono and the backlog between the threads. No
// server is needed.
#include <gtest/gtest.h>

#include <bit>
#include <numeric>
#include <vector>

#include "platform/pipewire/backlog.h"
#include "platform/pipewire/capture_phases.h"
#include "platform/pipewire/mono_mix.h"
#include "state_table.h"

namespace zarn::platform::pipewire {
namespace {

using enum Phase;
using enum Event;

// One letter per action, in bit order: Forwarding stopped, Drop, Open, Arm timers, Cancel timers,
// Go (forwarding), s/x start succeeded/failed, Loss reported, t stop done, u/r stop/start refused.
// Unlinked while starting is the normal way in: the retries and the deadline run already. The
// timers armed on the way in keep running: a format change or failure does not extend the grace
// period.
constexpr const char* kTable = R"(
  idle       start                          > starting   OA
  idle       stop                           > ended      u
  idle       connectionLost                 > ended
  starting   stop                           > ended      FDCxt
  starting   linked                         > running    CGs
  starting   formatChanged retryDue         > starting   DO
  starting   streamFailed                   > starting   D
  starting   deadlinePassed connectionLost  > ended      FDCx
  running    stop                           > ended      FDCt
  running    unlinked                       > relinking  FA
  running    formatChanged                  > relinking  FDOA
  running    streamFailed                   > relinking  FDA
  running    connectionLost                 > ended      FDCL
  relinking  stop                           > ended      FDCt
  relinking  linked                         > running    CG
  relinking  formatChanged                  > relinking  FDO
  relinking  streamFailed                   > relinking  FD
  relinking  retryDue                       > relinking  DO
  relinking  deadlinePassed connectionLost  > ended      FDCL
  ended      stop                           > ended      u
)";

// What the table must keep, so a change to it is checked too: a pending start or stop is
// resolved exactly once, a started stream is dropped on the way to the end and nothing is opened
// or armed there, a loss is reported only after the start was answered, and forwarding starts
// only into running.
TEST(PipeWirePhases, EveryPhaseWithEveryEvent) {
  test::expectEveryPair<Phase, Event>(
      kTable, "idle starting running relinking ended",
      "start stop linked unlinked formatChanged streamFailed retryDue deadlinePassed "
      "connectionLost",
      "FDOACGsxLtur", [](Phase phase, Event event) {
        const Step step = nextStep(phase, event);
        const auto count = [&](std::uint32_t mask) { return std::popcount(step.actions & mask); };
        EXPECT_EQ(count(completeStart | failStart),
                  int(phase == starting && step.next != starting));
        EXPECT_EQ(count(completeStop | refuseStop), int(event == stop));
        const bool leftStarted = phase != idle && phase != ended && step.next == ended;
        EXPECT_TRUE(!leftStarted || count(stopForwarding | dropStream | cancelTimers) == 3);
        EXPECT_TRUE(step.next != ended || !(step.actions & (openStream | armTimers)));
        EXPECT_TRUE(!(step.actions & reportLoss) || phase == running || phase == relinking);
        EXPECT_TRUE(!(step.actions & startForwarding) || step.next == running);
        return std::pair(step.next, step.actions);
      });
}

TEST(PipeWireMonoMix, AveragesChannelsAndAsksForTenMillisecondsOrMore) {
  // Every channel counts alike, however many there are (the servers' outputs in the capture
  // tests are stereo): sound in five of six arrives at 5/6, in one of six at 1/6.
  const float surround[] = {0.6f, 0.6f, 0.6f, 0.6f, 0.6f, 0.0f,
                            0.0f, 0.0f, 0.0f, 0.0f, 0.0f, -0.6f};
  float mono[2];
  averageChannels(surround, 2, 6, mono);
  EXPECT_FLOAT_EQ(mono[0], 0.5f);
  EXPECT_FLOAT_EQ(mono[1], -0.1f);
  // Powers of two, never below 10 ms nor as long as 20 ms.
  const std::pair<std::uint32_t, std::uint32_t> latencies[] = {
      {8000, 128}, {22050, 256}, {44100, 512}, {48000, 512}, {96000, 1024}, {192000, 2048}};
  for (const auto& [rate, frames] : latencies) EXPECT_EQ(latencyFrames(rate), frames) << rate;
}

// A parent that falls behind gets what fits, in order, in pieces of at most 20 ms (at 1000 Hz:
// 20 samples); the front is reclaimed as it reads, and another rate drops what waits.
TEST(PipeWireBacklog, KeepsOrderReclaimsTheFrontAndDropsWhatDoesNotFit) {
  std::vector<float> values(140);
  std::iota(values.begin(), values.end(), 0.0f);
  Backlog backlog(100);
  float piece[64];
  std::uint32_t rate = 0;
  const auto drain = [&] {  // everything taken
    std::vector<float> all;
    for (std::size_t n; !backlog.empty(); all.insert(all.end(), piece, piece + n))
      EXPECT_LE(n = backlog.take(piece, 64, rate), 20u);
    return all;
  };
  backlog.append(values.data(), 80, 1, 1000);
  ASSERT_EQ(backlog.take(piece, 64, rate), 20u);
  backlog.append(values.data() + 80, 60, 1, 1000);  // 60 waiting + 60: the last 20 do not fit
  EXPECT_EQ(drain(), std::vector<float>(values.begin() + 20, values.begin() + 120));
  EXPECT_EQ(rate, 1000u);
  const std::vector<float> stereo = {0.5f, 0.5f, 1.0f, 0.0f};
  backlog.append(values.data(), 10, 1, 1000);
  backlog.append(stereo.data(), 2, 2, 2000);
  EXPECT_EQ(drain(), (std::vector<float>{0.5f, 0.5f}));
  EXPECT_EQ(rate, 2000u);
  backlog.close();
  EXPECT_EQ(backlog.take(piece, 64, rate), 0u);
}

}  // namespace
}  // namespace zarn::platform::pipewire
