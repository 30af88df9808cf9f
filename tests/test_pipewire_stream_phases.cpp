// The native PipeWire stream's state handling, every phase with every event, and what holds
// across the whole table. No server is needed.
#include <gtest/gtest.h>

#include <bit>
#include <numeric>
#include <vector>

#include "platform/pipewire/stream_phases.h"
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

}  // namespace
}  // namespace zarn::platform::pipewire
