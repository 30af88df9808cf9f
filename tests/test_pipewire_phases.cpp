// The native PipeWire stream's state handling, every phase with every event, without a server:
// the pairs that do something are listed, every other pair must change nothing. Then what holds
// across the whole table, and the mix-down to mono.
#include <gtest/gtest.h>

#include <bit>
#include <map>
#include <string>
#include <vector>

#include "platform/pipewire/backlog.h"
#include "platform/pipewire/capture_phases.h"
#include "platform/pipewire/mono_mix.h"

namespace zarn::platform::pipewire {
namespace {

using P = Phase;
using E = Event;

constexpr P kPhases[] = {P::idle, P::starting, P::running, P::relinking, P::ended};
constexpr E kEvents[] = {E::start,    E::stop,           E::linked,
                         E::unlinked, E::formatChanged,  E::streamFailed,
                         E::retryDue, E::deadlinePassed, E::connectionLost};

// One letter per action: Forwarding stopped, Drop, Open, Arm timers, Cancel timers, Go
// (forwarding), s/x start succeeded/failed, Loss reported, t stop done, u/r stop/start refused.
std::string letters(std::uint32_t actions) {
  const std::pair<Action, char> names[] = {
      {stopForwarding, 'F'}, {dropStream, 'D'},      {openStream, 'O'},    {armTimers, 'A'},
      {cancelTimers, 'C'},   {startForwarding, 'G'}, {completeStart, 's'}, {failStart, 'x'},
      {reportLoss, 'L'},     {completeStop, 't'},    {refuseStop, 'u'},    {refuseStart, 'r'}};
  std::string out;
  for (const auto& [action, letter] : names)
    if (actions & action) out += letter;
  return out;
}

struct Row {
  P phase;
  E event;
  P next;
  const char* actions;
};

// Pairs that are not "stay, do nothing". A start in any phase but idle is refused (below).
const Row kTable[] = {
    {P::idle, E::start, P::starting, "OA"},
    {P::idle, E::stop, P::ended, "u"},
    {P::idle, E::connectionLost, P::ended, ""},

    // Unlinked while starting is the normal way in: the retries and the deadline run already.
    {P::starting, E::stop, P::ended, "FDCxt"},
    {P::starting, E::linked, P::running, "CGs"},
    {P::starting, E::formatChanged, P::starting, "DO"},
    {P::starting, E::streamFailed, P::starting, "D"},
    {P::starting, E::retryDue, P::starting, "DO"},
    {P::starting, E::deadlinePassed, P::ended, "FDCx"},
    {P::starting, E::connectionLost, P::ended, "FDCx"},

    {P::running, E::stop, P::ended, "FDCt"},
    {P::running, E::unlinked, P::relinking, "FA"},
    {P::running, E::formatChanged, P::relinking, "FDOA"},
    {P::running, E::streamFailed, P::relinking, "FDA"},
    {P::running, E::connectionLost, P::ended, "FDCL"},

    // The timers armed on the way in keep running: a format change or failure does not extend
    // the grace period.
    {P::relinking, E::stop, P::ended, "FDCt"},
    {P::relinking, E::linked, P::running, "CG"},
    {P::relinking, E::formatChanged, P::relinking, "FDO"},
    {P::relinking, E::streamFailed, P::relinking, "FD"},
    {P::relinking, E::retryDue, P::relinking, "DO"},
    {P::relinking, E::deadlinePassed, P::ended, "FDCL"},
    {P::relinking, E::connectionLost, P::ended, "FDCL"},

    {P::ended, E::stop, P::ended, "u"},
};

TEST(PipeWirePhases, EveryPhaseWithEveryEvent) {
  std::map<std::pair<P, E>, const Row*> listed;
  for (const Row& row : kTable) listed[{row.phase, row.event}] = &row;
  for (P phase : kPhases) {
    for (E event : kEvents) {
      SCOPED_TRACE(testing::Message() << "phase " << int(phase) << ", event " << int(event));
      const Step step = nextStep(phase, event);
      const Row* row = listed.count({phase, event}) ? listed[{phase, event}] : nullptr;
      const bool refusedStart = event == E::start && phase != P::idle;
      EXPECT_EQ(step.next, row ? row->next : phase);
      EXPECT_EQ(letters(step.actions), row ? row->actions : refusedStart ? "r" : "");
    }
  }
}

// Across the whole table: a pending start or stop is resolved exactly once, a stream is dropped
// on the way to the end, nothing forwards or retries after it, and a loss is never reported
// before the start was answered.
TEST(PipeWirePhases, PendingCallsResolvedOnceAndNothingLeftBehind) {
  const auto started = [](P p) { return p == P::starting || p == P::running || p == P::relinking; };
  for (P phase : kPhases) {
    for (E event : kEvents) {
      SCOPED_TRACE(testing::Message() << "phase " << int(phase) << ", event " << int(event));
      const Step step = nextStep(phase, event);
      const auto count = [&](std::uint32_t mask) { return std::popcount(step.actions & mask); };
      const bool startLeft = phase == P::starting && step.next != P::starting;
      EXPECT_EQ(count(completeStart | failStart), startLeft ? 1 : 0);
      EXPECT_EQ(count(completeStop | refuseStop), event == E::stop ? 1 : 0);
      if (started(phase) && step.next == P::ended) {
        EXPECT_EQ(count(stopForwarding | dropStream | cancelTimers), 3);
      }
      EXPECT_TRUE(step.next != P::ended || !(step.actions & (openStream | armTimers)));
      EXPECT_TRUE(!(step.actions & reportLoss) || phase == P::running || phase == P::relinking);
      EXPECT_TRUE(!(step.actions & startForwarding) || step.next == P::running);
    }
  }
}

TEST(PipeWireMonoMix, AveragesChannelsAndAsksForTenMillisecondsOrMore) {
  struct Case {
    std::uint32_t channels;
    std::vector<float> in, out;
  };
  const Case cases[] = {
      {1, {0.5f, -1.0f}, {0.5f, -1.0f}},
      {2, {0.5f, 0.5f, -0.25f, -0.25f}, {0.5f, -0.25f}},  // in both: the level kept
      {2, {0.8f, 0.0f, 0.0f, -0.8f}, {0.4f, -0.4f}},      // in one of two: half
      {6, {0.6f, 0.6f, 0.6f, 0.6f, 0.6f, 0.6f}, {0.6f}},
  };
  for (const Case& c : cases) {
    std::vector<float> mono(c.out.size(), 99.0f);
    averageChannels(c.in.data(), mono.size(), c.channels, mono.data());
    for (std::size_t i = 0; i < mono.size(); ++i) EXPECT_FLOAT_EQ(mono[i], c.out[i]) << c.channels;
  }
  // Powers of two, never below 10 ms nor as long as 20 ms.
  const std::pair<std::uint32_t, std::uint32_t> latencies[] = {
      {8000, 128}, {22050, 256}, {44100, 512}, {48000, 512}, {96000, 1024}, {192000, 2048}};
  for (const auto& [rate, frames] : latencies) EXPECT_EQ(latencyFrames(rate), frames) << rate;
}

// Everything taken, in order, in pieces of at most 20 ms (rate 1000: 20 samples).
std::vector<float> drain(Backlog& backlog, std::uint32_t expectedRate) {
  std::vector<float> all;
  float piece[64];
  std::uint32_t rate = 0;
  while (!backlog.empty()) {
    const std::size_t count = backlog.take(piece, 64, rate);
    EXPECT_LE(count, 20u);
    EXPECT_EQ(rate, expectedRate);
    all.insert(all.end(), piece, piece + count);
  }
  return all;
}

std::vector<float> counting(float from, std::size_t n) {
  std::vector<float> values(n);
  for (std::size_t i = 0; i < n; ++i) values[i] = from + float(i);
  return values;
}

// A parent that falls behind gets what fits, in order; the front is reclaimed as it reads.
TEST(PipeWireBacklog, KeepsOrderReclaimsTheFrontAndDropsWhatDoesNotFit) {
  Backlog backlog(100);
  const std::vector<float> first = counting(0, 80), second = counting(80, 60);
  backlog.append(first.data(), 80, 1, 1000);
  float piece[64];
  std::uint32_t rate = 0;
  ASSERT_EQ(backlog.take(piece, 64, rate), 20u);  // 20 ms at 1000 Hz
  backlog.append(second.data(), 60, 1, 1000);     // 60 waiting + 60: the last 20 do not fit
  EXPECT_EQ(drain(backlog, 1000), counting(20, 100));

  const std::vector<float> stereo = {0.5f, 0.5f, 1.0f, 0.0f};
  backlog.append(first.data(), 10, 1, 1000);
  backlog.append(stereo.data(), 2, 2, 2000);  // another rate: the old samples cannot stay
  EXPECT_EQ(drain(backlog, 2000), (std::vector<float>{0.5f, 0.5f}));

  backlog.close();
  EXPECT_EQ(backlog.take(piece, 64, rate), 0u);
}

}  // namespace
}  // namespace zarn::platform::pipewire
