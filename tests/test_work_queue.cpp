// The serial queue standing in for a dispatch queue, on the work queue: order, mutual exclusion,
// and where items run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/serial_queue.h"
#include "platform/work_queue.h"

namespace zarn::platform {
namespace {

// Any overlap of items shows up as a lost increment, a raised flag or a thread sanitizer report.
TEST(SerialQueue, ItemsRunElsewhereInOrderNeverOverlapAndSyncWaitsForEveryEarlierItem) {
  SerialQueue queue("zarn.audio.cmd");
  std::promise<void> release;
  std::thread::id ranOn;
  std::vector<int> order, seen, expected(1000);  // order: touched only by queue items
  long counter = 0;
  bool inside = false;
  std::atomic<int> overlaps{0};
  auto item = [&] { overlaps += inside, inside = true, ++counter, inside = false; };
  // The first item blocks like the command reader's read of standard input: async must return
  // at once, and the item must not take the submitting thread.
  queue.async([&, released = release.get_future().share()] {
    released.wait();
    ranOn = std::this_thread::get_id();
  });
  std::vector<std::thread> threads;  // other submitters, async and sync, meanwhile
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) t == 0 && i % 2 == 0 ? queue.async(item) : queue.sync(item);
    });
  }
  for (int i = 0; i < 1000; ++i) queue.async([&order, i] { order.push_back(i); });
  threads.emplace_back([&] { release.set_value(); });
  queue.sync([&] { seen = order; });
  for (auto& thread : threads) thread.join();
  EXPECT_NE(ranOn, std::this_thread::get_id());
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(seen, expected);
  queue.sync([&] { EXPECT_EQ(counter, 3 * 5000); });
  EXPECT_EQ(overlaps, 0);
}

}  // namespace
}  // namespace zarn::platform
