// The serial queue standing in for a dispatch queue: order, mutual exclusion, where items run.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/serial_queue.h"

namespace zarn::platform {
namespace {

TEST(SerialQueue, AsyncRunsElsewhereInOrderAndSyncWaitsForEveryEarlierItem) {
  SerialQueue queue("zarn.audio.cmd");
  std::promise<void> release;
  std::thread::id ranOn;
  std::vector<int> order, seen, expected(1000);  // order: touched only by queue items
  // The first item blocks like the command reader's read of standard input: async must return
  // at once, and the item must not take the submitting thread.
  queue.async([&, released = release.get_future().share()] {
    released.wait();
    ranOn = std::this_thread::get_id();
  });
  for (int i = 0; i < 1000; ++i) queue.async([&order, i] { order.push_back(i); });
  std::thread later([&] { release.set_value(); });
  queue.sync([&] { seen = order; });
  later.join();
  EXPECT_NE(ranOn, std::this_thread::get_id());
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(seen, expected);
}

TEST(SerialQueue, ItemsFromManyThreadsNeverOverlap) {
  // Any overlap shows up as a lost increment, a raised flag or a thread sanitizer report.
  SerialQueue queue("test.exclusive");
  long counter = 0;
  bool inside = false;
  std::atomic<int> overlaps{0};
  auto item = [&] { overlaps += inside, inside = true, ++counter, inside = false; };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) t == 0 && i % 2 == 0 ? queue.async(item) : queue.sync(item);
    });
  }
  for (auto& thread : threads) thread.join();
  queue.sync([&] { EXPECT_EQ(counter, 4 * 5000); });
  EXPECT_EQ(overlaps, 0);
}

}  // namespace
}  // namespace zarn::platform
