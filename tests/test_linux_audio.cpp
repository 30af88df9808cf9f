// What the Linux services share, with no server: the lock-free ring and the delivering thread,
// held between taking a piece and delivering it where a test needs the moment fixed. (The watch
// on a server that stops answering shows in the server tests: a stopped server, a silent one.)
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/linux/delivery.h"

namespace zarn::platform::linux_audio {
namespace {

using namespace std::chrono_literals;

// Everything the ring holds, piece by piece; each piece of one rate and at most 20 ms of it.
std::vector<float> drain(MonoRing& ring) {
  std::vector<float> all;
  float piece[8192];
  for (std::uint32_t rate = 0; std::size_t n = ring.take(piece, 8192, rate);) {
    EXPECT_LE(n, std::max<std::size_t>(rate / 50, 1)) << rate;
    all.insert(all.end(), piece, piece + n);
  }
  return all;
}

std::vector<float> counting(std::size_t count, float from = 0) {
  std::vector<float> values(count);
  std::iota(values.begin(), values.end(), from);
  return values;
}

TEST(LinuxMonoRing, KeepsOrderAcrossTheWrapAndDropsWhatDoesNotFit) {
  MonoRing ring(100);
  const auto values = counting(200);
  ASSERT_TRUE(ring.append(values.data(), 60, 1, 1000, 1000));
  float piece[64];
  std::uint32_t rate = 0;
  ASSERT_EQ(ring.take(piece, 64, rate), 20u);  // 20 ms at 1000 Hz
  ASSERT_EQ(ring.take(piece, 64, rate), 20u);
  // 20 wait at [42, 62): 18 more go at the end, 30 at the start once the end is full, and then
  // 10 find no room between them and the reader.
  EXPECT_TRUE(ring.append(values.data() + 60, 18, 1, 1000, 1000));
  EXPECT_TRUE(ring.append(values.data() + 78, 30, 1, 1000, 1000));
  EXPECT_FALSE(ring.append(values.data() + 108, 10, 1, 1000, 1000));
  EXPECT_EQ(drain(ring), std::vector<float>(values.begin() + 40, values.begin() + 108));
  // A limit below the room: what waits counts, not the space.
  ASSERT_TRUE(ring.append(values.data(), 30, 1, 1000, 40));
  EXPECT_FALSE(ring.append(values.data(), 30, 1, 1000, 40));
  EXPECT_EQ(drain(ring).size(), 30u);
}

// A parent may stall for 8 s at every rate up to 192 kHz and with up to 8 channels, whatever
// block size the server uses.
TEST(LinuxMonoRing, HoldsEightSecondsAtEveryRateAndChannelCount) {
  for (const std::uint32_t rate : {44100u, 48000u, 96000u, 192000u}) {
    for (const std::uint32_t channels : {1u, 2u, 8u}) {
      MonoRing ring(kRingSlots);
      const std::size_t block = rate / 100;
      const std::vector<float> interleaved(block * channels, 0.25f);
      std::size_t held = 0;
      while (held < 8 * rate) {
        ASSERT_TRUE(ring.append(interleaved.data(), block, channels, rate, kBacklogSeconds * rate))
            << rate << " Hz, " << channels << " ch, after " << held;
        held += block;
      }
      EXPECT_EQ(drain(ring).size(), held);
    }
  }
}

// The delivering thread's log of what reached the core, in order.
struct Sink {
  std::mutex access;
  std::condition_variable changed;
  std::vector<float> samples;
  std::vector<std::string> events;  // "C" per delivery, "E:reason" per report
  bool hold = false, holding = false;
  std::atomic<int> nowEvery{0};  // the capturing thread hands every nth block on itself; 0: none
  std::atomic<int> nowCalls{0};

  void taken() {
    std::unique_lock<std::mutex> lock(access);
    holding = true;
    changed.notify_all();
    changed.wait(lock, [this] { return !hold; });
    holding = false;
  }
  void add(std::string event, std::span<const float> mono = {}) {
    std::lock_guard<std::mutex> lock(access);
    samples.insert(samples.end(), mono.begin(), mono.end());
    events.push_back(std::move(event));
    changed.notify_all();
  }
  template <class Predicate>
  bool waitFor(Predicate predicate) {
    std::unique_lock<std::mutex> lock(access);
    return changed.wait_for(lock, 5s, [&] { return predicate(*this); });
  }
  void release() {
    std::lock_guard<std::mutex> lock(access);
    hold = false;
    changed.notify_all();
  }
};

struct Rig {
  Sink sink;
  Delivery delivery{[this](std::span<const float> mono, std::uint32_t) { sink.add("C", mono); },
                    [this](const std::string& reason) { sink.add("E:" + reason); },
                    [this] { sink.taken(); },
                    [this](std::span<const float> mono, std::uint32_t) {
                      const int every = sink.nowEvery.load();
                      if (every == 0 || sink.nowCalls++ % every != 0) return false;
                      sink.add("C", mono);
                      return true;
                    }};
  ~Rig() {
    sink.release();
    delivery.halt();
    EXPECT_TRUE(delivery.finish());
  }
};

// The loss comes while the delivering thread holds a piece it took: that piece and everything
// captured before the loss reach the parent first, and nothing after the report.
TEST(LinuxDelivery, LossIsReportedAfterTheAudioCapturedBeforeIt) {
  Rig rig;
  rig.sink.hold = true;
  const auto values = counting(4800);  // 100 ms at 48 kHz: five pieces
  rig.delivery.push(values.data(), 960, 1, 48000);
  ASSERT_TRUE(rig.sink.waitFor([](Sink& s) { return s.holding; }));
  rig.delivery.push(values.data() + 960, 3840, 1, 48000);
  rig.delivery.reportAfterDrain("gone");
  rig.delivery.reportAfterDrain("second");  // only the first is told
  rig.sink.release();
  ASSERT_TRUE(
      rig.sink.waitFor([](Sink& s) { return !s.events.empty() && s.events.back()[0] == 'E'; }));
  rig.sink.nowEvery = 1;  // nothing goes out after the report, not even at once
  rig.delivery.push(values.data(), 960, 1, 48000);
  std::this_thread::sleep_for(50ms);
  std::lock_guard<std::mutex> lock(rig.sink.access);
  EXPECT_EQ(rig.sink.samples, values);
  EXPECT_EQ(rig.sink.events, (std::vector<std::string>{"C", "C", "C", "C", "C", "E:gone"}));
}

// A stop that halts while a piece is held: neither that piece nor the pending report comes.
TEST(LinuxDelivery, HaltWhileAPieceIsHeldEndsDeliveriesAndReports) {
  Rig rig;
  rig.sink.hold = true;
  const auto values = counting(960);
  rig.delivery.push(values.data(), 960, 1, 48000);
  ASSERT_TRUE(rig.sink.waitFor([](Sink& s) { return s.holding; }));
  rig.delivery.reportAfterDrain("gone");
  EXPECT_FALSE(rig.delivery.halt());  // held before delivering: nothing is under way
  rig.sink.release();
  EXPECT_TRUE(rig.delivery.finish());
  // Halted while its thread sleeps, before that thread has seen it: nothing goes out at once.
  Rig asleep;
  asleep.sink.nowEvery = 1;
  std::this_thread::sleep_for(10ms);
  asleep.delivery.halt();
  asleep.delivery.push(values.data(), 960, 1, 48000);
  std::lock_guard<std::mutex> lock(rig.sink.access), lock2(asleep.sink.access);
  EXPECT_TRUE(rig.sink.events.empty());
  EXPECT_TRUE(asleep.sink.events.empty());
}

// Producer and consumer at full speed, every other block handed on at once where that is
// allowed: every sample arrives once, in order (and the sanitizer builds watch the hand-over).
TEST(LinuxDelivery, EverySampleArrivesOnceInOrderUnderLoad) {
  Rig rig;
  rig.sink.nowEvery = 2;
  std::vector<float> sent;
  for (int block = 0; block < 2000; ++block) {
    const auto values = counting(64 + block % 200, static_cast<float>(sent.size()));
    rig.delivery.push(values.data(), values.size(), 1, 48000);
    sent.insert(sent.end(), values.begin(), values.end());
    if (block % 50 == 0) std::this_thread::sleep_for(1ms);  // now and then the consumer sleeps
  }
  ASSERT_TRUE(rig.sink.waitFor([&](Sink& s) { return s.samples.size() >= sent.size(); }));
  std::lock_guard<std::mutex> lock(rig.sink.access);
  EXPECT_EQ(rig.sink.samples, sent);
}

}  // namespace
}  // namespace zarn::platform::linux_audio
