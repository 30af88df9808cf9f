// The driver every capture service runs its state machine with: each step ends before the next.
#include "platform/step_driver.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace zarn::platform {
namespace {

// Phases are counts of steps taken; each event names the events its carry-out raises.
struct Recorder {
  Decision<int> decide(int phase, std::string& event) {
    log += "decide " + event + " in " + std::to_string(phase) + ", ";
    return {phase + 1, 1};
  }
  void carryOut(std::uint32_t, std::string& event) {
    log += "begin " + event + " in " + std::to_string(driver.phase()) + ", ";
    for (const char raised : raises[event]) driver.raise(std::string(1, raised));
    log += "end " + event + "; ";
  }
  std::map<std::string, std::string> raises;
  std::string log;
  StepDriver<Recorder, int, std::string> driver{*this, 0};
};

TEST(StepDriver, EventsRaisedDuringACarryOutWaitInOrderUntilItEnds) {
  Recorder service;
  service.raises = {{"a", "bc"}, {"b", "d"}};
  service.driver.raise("a");
  EXPECT_EQ(service.log,
            "decide a in 0, begin a in 1, end a; decide b in 1, begin b in 2, end b; "
            "decide c in 2, begin c in 3, end c; decide d in 3, begin d in 4, end d; ");
  // The driver is free again: the next event is a step of its own.
  service.log.clear();
  service.driver.raise("e");
  EXPECT_EQ(service.log, "decide e in 4, begin e in 5, end e; ");
}

}  // namespace
}  // namespace zarn::platform
