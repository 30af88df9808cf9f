// The serial queue that stands in for a dispatch queue: order, mutual exclusion, and where items
// run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/serial_queue.h"

namespace zarn::platform {
namespace {

using namespace std::chrono_literals;

TEST(SerialQueue, AsynchronousItemsNeverRunOnTheSubmittingThread) {
  // The command reader blocks for good inside its item; it must not take the main thread.
  SerialQueue queue("zarn.audio.cmd");
  std::promise<std::thread::id> ran;
  queue.async([&] { ran.set_value(std::this_thread::get_id()); });
  auto where = ran.get_future();
  ASSERT_EQ(where.wait_for(5s), std::future_status::ready);
  EXPECT_NE(where.get(), std::this_thread::get_id());
}

TEST(SerialQueue, AsyncReturnsWhileItsItemStillRuns) {
  SerialQueue queue("test.blocking");
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  queue.async([released] { released.wait(); });  // blocks like a read of standard input
  release.set_value();  // only reached because async did not wait for the item
  queue.sync([] {});    // and the queue carries on once it has ended
}

TEST(SerialQueue, SynchronousItemWaitsForEveryEarlierItem) {
  SerialQueue queue("test.order");
  std::vector<int> order;  // touched only by queue items
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  queue.async([&, released] {
    released.wait();
    order.push_back(1);
  });
  queue.async([&] { order.push_back(2); });
  std::thread later([&] {
    std::this_thread::sleep_for(50ms);  // let the sync below start waiting first
    release.set_value();
  });
  queue.sync([&] { order.push_back(3); });
  later.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueue, AsynchronousItemsRunInSubmissionOrder) {
  SerialQueue queue("test.fifo");
  std::vector<int> order;
  for (int i = 0; i < 1000; ++i) queue.async([&order, i] { order.push_back(i); });
  std::vector<int> seen;
  queue.sync([&] { seen = order; });
  ASSERT_EQ(seen.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(seen[static_cast<std::size_t>(i)], i);
}

TEST(SerialQueue, ItemsFromManyThreadsNeverOverlap) {
  // A plain counter and an in-item flag: any overlap shows up as a lost increment, a raised flag
  // or, under the thread sanitizer, a race report.
  SerialQueue queue("test.exclusive");
  long counter = 0;
  bool inside = false;
  std::atomic<int> overlaps{0};
  auto item = [&] {
    if (inside) ++overlaps;
    inside = true;
    ++counter;
    inside = false;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) {
        if (t == 0 && i % 2 == 0) {
          queue.async(item);
        } else {
          queue.sync(item);
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  long total = 0;
  queue.sync([&] { total = counter; });
  EXPECT_EQ(total, 4 * 5000);
  EXPECT_EQ(overlaps, 0);
}

}  // namespace
}  // namespace zarn::platform
