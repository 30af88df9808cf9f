// The work queue, and the serial queue standing in for a dispatch queue on it: order, mutual
// exclusion, where and when items run, and a queue that its own item destroys.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/serial_queue.h"
#include "platform/work_queue.h"

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

using namespace std::chrono_literals;

// Four items that each wait for all four to have begun: they only finish if four workers run them
// at once. A queue of fewer workers ends the waits after the limit instead of hanging.
TEST(WorkQueue, RunsAsManyItemsAtOnceAsItHasWorkers) {
  std::mutex mutex;
  std::condition_variable arrived;
  int begun = 0;
  std::atomic<int> sawAll{0};
  {
    WorkQueue queue(4);
    for (int i = 0; i < 4; ++i) {
      queue.async([&] {
        std::unique_lock<std::mutex> hold(mutex);
        ++begun;
        arrived.notify_all();
        sawAll += arrived.wait_for(hold, 10s, [&] { return begun == 4; });
      });
    }
    std::unique_lock<std::mutex> hold(mutex);
    arrived.wait_for(hold, 10s, [&] { return begun == 4; });
  }
  EXPECT_EQ(sawAll, 4);
}

TEST(WorkQueue, ADelayedItemRunsNoSoonerAndKeepsItsPlace) {
  WorkQueue queue;
  const auto queued = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point ranAt;
  std::vector<int> order;  // touched only by queue items
  queue.async([&] { ranAt = std::chrono::steady_clock::now(), order.push_back(1); }, 50ms);
  queue.async([&] { order.push_back(2); });
  queue.sync([&] { EXPECT_EQ(order, (std::vector<int>{1, 2})); });
  EXPECT_GE(ranAt - queued, 50ms);
}

TEST(WorkQueue, AnItemMayDestroyItsOwnQueue) {
  std::promise<void> ended;
  auto* queue = new WorkQueue;
  queue->async([&, queue] {
    delete queue;
    ended.set_value();
  });
  EXPECT_EQ(ended.get_future().wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace zarn::platform
