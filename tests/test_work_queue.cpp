// The work queue, and the serial queue standing in for a dispatch queue on it: order, mutual
// exclusion, where and when items run, and a queue that its own item destroys.
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

using namespace std::chrono_literals;

// The item that destroys the queue runs after a delayed one, which keeps its place in line.
TEST(WorkQueue, ADelayedItemRunsNoSoonerAndKeepsItsPlaceAndAnItemMayDestroyItsQueue) {
  std::promise<void> ended;
  std::vector<int> order;  // touched only by queue items, then after ended
  const auto queued = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point ranAt;
  auto* queue = new WorkQueue;
  queue->async([&] { ranAt = std::chrono::steady_clock::now(), order.push_back(1); }, 50ms);
  queue->async([&, queue] {
    order.push_back(2);
    delete queue;
    ended.set_value();
  });
  ASSERT_EQ(ended.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_GE(ranAt - queued, 50ms);
}

}  // namespace
}  // namespace zarn::platform
