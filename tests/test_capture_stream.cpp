// The capture stream: start's steps and messages, the stream's error callback and stop, first in
// process on the scripted service, then through zarn-audio-sim where exit and frames matter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>

#include "sim_fixture.h"

namespace zarn::test {
namespace {

using sim::Script;
using sim::Step;
using Outcome = sim::Step::Outcome;

// The stop callback may overtake R (both follow the start of capture), so order is not checked.
std::vector<Frame> byType(std::vector<Frame> frames) {
  std::stable_sort(frames.begin(), frames.end(),
                   [](const Frame& a, const Frame& b) { return a.type > b.type; });
  return frames;
}

using CaptureStream = SimTest;

TEST_F(CaptureStream, StartUsesTheFirstDisplayAndStoresTheStreamBeforeRunning) {
  Script script;
  script.displays = 3;
  Sim s(script);
  // With the frame writer held, R cannot go out; a stop now must already find the stream.
  stdoutLock->lock();
  std::thread starting([&] { s.capture.start(); });
  ASSERT_TRUE(
      s.service.waitFor([](auto& r) { return r.capturesStarted == 1; }, milliseconds(5000)));
  std::thread stopping([&] { s.capture.stop(); });
  const bool storedFirst =
      s.service.waitFor([](auto& r) { return r.stopsAsked == 1; }, milliseconds(5000));
  stdoutLock->unlock();
  starting.join();
  stopping.join();
  EXPECT_TRUE(storedFirst);
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{emptyFrame(kFrameRunning)});

  const sim::Record r = s.service.record();
  EXPECT_EQ(r.filterDisplays, std::vector<int>{0});
  // One output, for audio only, and it is the capture object.
  ASSERT_EQ(r.outputs.size(), 1u);
  EXPECT_EQ(r.outputs[0].type, platform::OutputType::audio);
  EXPECT_TRUE(r.outputs[0].isDelegate);
}

// Each way start can fail: one error frame, no stream kept, nothing stopped.
struct StartFailure {
  const char* name;
  int displays;
  Step Script::*step;
  Step outcome;
  std::string message;
  int streamsMade, startsAsked;
  friend void PrintTo(const StartFailure& c, std::ostream* out) { *out << c.name; }
};

class StartFails : public SimTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFails, WithOneErrorFrameAndTheStreamDropped) {
  const StartFailure& c = GetParam();
  Script script;
  script.displays = c.displays;
  script.*c.step = c.outcome;
  script.deliveries.assign(3, goodDelivery());  // would come if capture had started
  Sim s(script);
  s.capture.arm();
  s.capture.start();
  // Compared whole, so the length field is checked too (14 bytes for an empty description).
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{errorFrame(c.message)});
  const sim::Record r = s.service.record();
  EXPECT_EQ(r.streamsMade, c.streamsMade);
  EXPECT_EQ(r.streamsDestroyed, r.streamsMade);  // dropped, not kept
  EXPECT_EQ(r.startsAsked, c.startsAsked);
  EXPECT_EQ(r.capturesStarted, 0);
  EXPECT_EQ(r.deliveriesBegun, 0u);
  s.capture.stop();  // a stream that never ran is not stopped
  EXPECT_EQ(s.service.record().stopsAsked, 0);
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});
}

const Step kFails{Outcome::fail, "", 0};
const StartFailure kStartFailures[] = {
    {"NoDisplays", 0, &Script::query, {}, "no displays available", 0, 0},
    {"Query", 1, &Script::query, {Outcome::fail, "denied", 0}, "start failed: denied", 0, 0},
    {"QueryEmpty", 1, &Script::query, kFails, "start failed: ", 0, 0},
    {"QueryBringsNothing", 1, &Script::query, {Outcome::none, "", 0}, "start failed: ", 0, 0},
    {"Output", 1, &Script::output, {Outcome::fail, "écran ☃", 0}, "start failed: écran ☃", 1, 0},
    {"OutputEmpty", 1, &Script::output, kFails, "start failed: ", 1, 0},
    {"Start", 1, &Script::start, {Outcome::fail, "busy", 0}, "start failed: busy", 1, 1},
    {"StartEmpty", 1, &Script::start, kFails, "start failed: ", 1, 1}};

INSTANTIATE_TEST_SUITE_P(EachStep, StartFails, ::testing::ValuesIn(kStartFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureStream, PlatformStopIsReportedAndALaterStopStillStopsTheStream) {
  Script script;
  script.halt = sim::Halt{sim::Halt::When::afterMs, 20, "device unplugged"};
  script.stop = Step{Outcome::fail, "already stopped", 150};
  Sim s(script);
  s.capture.start();
  ASSERT_TRUE(s.service.waitFor([](auto& r) { return r.halts == 1; }, milliseconds(5000)));
  EXPECT_EQ(byType(frames().readUntilQuiet()),
            (std::vector<Frame>{emptyFrame(kFrameRunning),
                                errorFrame("stream stopped with error: device unplugged")}));
  s.capture.stop();  // the stream was kept; this returns only once the (late) completion has run
  sim::Record r = s.service.record();
  EXPECT_EQ(std::tuple(r.stopsAsked, r.stopsCompleted), std::tuple(1, 1));
  s.capture.stop();
  EXPECT_EQ(s.service.record().stopsAsked, 1);
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});  // the stop's error is dropped
}

// Through the real program on the scripted service.

class QuitBeforeRunning : public ::testing::TestWithParam<std::string> {};

TEST_P(QuitBeforeRunning, ExitsAtOnceWithNoFrame) {
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {GetParam()});
  ASSERT_TRUE(child.write("Q"));
  const ExitResult result = child.wait(milliseconds(5000));
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  EXPECT_TRUE(child.readToEnd(milliseconds(1000)).empty());
  EXPECT_EQ(child.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(WhileWaiting, QuitBeforeRunning,
                         ::testing::Values("query=hang", "start=hang"), [](const auto& info) {
                           return info.param == "query=hang" ? "Query" : "Start";
                         });

TEST(QuitAfterPlatformStop, WaitsForTheStopToCompleteAndDropsItsError) {
  const auto record = std::filesystem::temp_directory_path() /
                      ("zarn-quit-after-halt-" + std::to_string(::getpid()) + ".txt");
  std::filesystem::remove(record);
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {"halt=ms:30:gone", "stop=fail:busy", "stop-delay=300",
                                           "record=" + record.string()});
  EXPECT_EQ(byType(child.readFrames(2)),
            (std::vector<Frame>{emptyFrame(kFrameRunning),
                                errorFrame("stream stopped with error: gone")}));
  ASSERT_TRUE(child.write("Q"));
  const ExitResult result = child.wait(milliseconds(5000));
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  EXPECT_TRUE(child.readToEnd(milliseconds(1000)).empty());
  // The process cannot have ended before the stop's completion ran.
  std::stringstream text;
  text << std::ifstream(record).rdbuf();
  EXPECT_NE(text.str().find("stop completed -> fail\n"), std::string::npos) << text.str();
  std::filesystem::remove(record);
}

}  // namespace
}  // namespace zarn::test
