// The capture stream: start's steps and messages, the stream's error callback and stop, first in
// process on the scripted service, then through zarn-audio-sim where exit and frames matter.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "sim_fixture.h"

namespace zarn::test {
namespace {

using sim::Script;
using sim::Step;
using Outcome = sim::Step::Outcome;

Script scriptWith(std::function<void(Script&)> change) {
  Script script;
  change(script);
  return script;
}

// The stop callback may overtake R (both follow the start of capture), so order is not checked.
std::vector<Frame> byType(std::vector<Frame> frames) {
  std::stable_sort(frames.begin(), frames.end(),
                   [](const Frame& a, const Frame& b) { return a.type > b.type; });
  return frames;
}

bool eventually(const std::function<bool()>& condition, milliseconds limit = milliseconds(5000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return true;
}

using CaptureStream = SimTest;

TEST_F(CaptureStream, RunningFrameIsWrittenOnceAndOnlyAfterTheStreamIsStored) {
  Sim s(Script{});
  // With the frame writer held, R cannot go out; the stream must be stored before R is tried.
  stdoutLock->lock();
  std::thread starting([&] { s.capture.start(); });
  ASSERT_TRUE(
      s.service.waitFor([](auto& r) { return r.capturesStarted == 1; }, milliseconds(5000)));
  const bool storedFirst = eventually([&] { return s.capture.hasStream(); });
  stdoutLock->unlock();
  starting.join();
  EXPECT_TRUE(storedFirst);

  EXPECT_EQ(frames().readBytes(5), (std::vector<std::uint8_t>{0x52, 0, 0, 0, 0}));
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});
  EXPECT_TRUE(s.capture.hasStream());
  EXPECT_EQ(s.service.record().startsAsked, 1);
}

TEST_F(CaptureStream, StartAsksForContentAndConfiguresTheStreamExactly) {
  Sim s(Script{});
  s.capture.start();
  const sim::Record r = s.service.record();

  ASSERT_EQ(r.queries.size(), 1u);
  EXPECT_FALSE(r.queries[0].excludeDesktopWindows);
  EXPECT_TRUE(r.queries[0].onScreenWindowsOnly);

  ASSERT_EQ(r.configurations.size(), 1u);
  const platform::StreamConfiguration& c = r.configurations[0];
  EXPECT_TRUE(c.capturesAudio);
  EXPECT_EQ(c.channelCount, 1);
  EXPECT_TRUE(c.excludesCurrentProcessAudio);
  EXPECT_EQ(c.width, 2u);
  EXPECT_EQ(c.height, 2u);
  EXPECT_EQ(c.minimumFrameInterval.value, 1);
  EXPECT_EQ(c.minimumFrameInterval.timescale, 1);
  EXPECT_FALSE(c.showsCursor);

  // One output, for audio only, on the shared user-initiated queue, and it is the capture object.
  ASSERT_EQ(r.outputs.size(), 1u);
  EXPECT_EQ(r.outputs[0].type, platform::OutputType::audio);
  EXPECT_EQ(r.outputs[0].queue, platform::SampleHandlerQueue::globalUserInitiated);
  EXPECT_TRUE(r.outputs[0].isDelegate);
  EXPECT_EQ(r.streamsMade, 1);
  EXPECT_EQ(r.startsAsked, 1);
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{emptyFrame(kFrameRunning)});
}

TEST_F(CaptureStream, OnlyTheFirstOfSeveralDisplaysIsFiltered) {
  Sim s(scriptWith([](Script& script) { script.displays = 3; }));
  s.capture.start();
  EXPECT_EQ(s.service.record().filterDisplays, std::vector<int>{0});
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{emptyFrame(kFrameRunning)});
}

TEST_F(CaptureStream, NoDisplaysGivesOneExactErrorAndNoStream) {
  Sim s(scriptWith([](Script& script) { script.displays = 0; }));
  s.capture.start();

  const std::string text = "no displays available";
  std::vector<std::uint8_t> expected{0x45, 0x15, 0x00, 0x00, 0x00};
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(frames().readBytes(expected.size()), expected);
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});

  const sim::Record r = s.service.record();
  EXPECT_TRUE(r.filterDisplays.empty());
  EXPECT_EQ(r.streamsMade, 0);
  EXPECT_FALSE(s.capture.hasStream());
  s.capture.stop();  // nothing to stop
  EXPECT_EQ(s.service.record().stopsAsked, 0);
}

// The failing step (0 query, 1 output registration, 2 capture start) and the error's text.
class StartFails : public SimTest,
                   public ::testing::WithParamInterface<std::tuple<int, std::string>> {};

TEST_P(StartFails, WithOneErrorFrameAndTheStreamDropped) {
  const int step = std::get<0>(GetParam());
  const std::string description = std::get<1>(GetParam());
  Sim s(scriptWith([&](Script& script) {
    Step& failing = step == 0 ? script.query : step == 1 ? script.output : script.start;
    failing.outcome = Outcome::fail;
    failing.description = description;
    script.deliveries.assign(3, goodDelivery());  // would come if capture had started
  }));
  s.capture.arm();
  s.capture.start();

  const std::vector<Frame> got = frames().readUntilQuiet();
  ASSERT_EQ(got.size(), 1u) << describe(got);
  EXPECT_EQ(got[0], errorFrame("start failed: " + description));
  EXPECT_EQ(got[0].payload.size(), 14 + description.size());
  EXPECT_FALSE(s.capture.hasStream());

  const sim::Record r = s.service.record();
  EXPECT_EQ(r.streamsMade, step == 0 ? 0 : 1);
  EXPECT_EQ(r.streamsDestroyed, r.streamsMade);  // dropped, not kept
  EXPECT_EQ(r.startsAsked, step == 2 ? 1 : 0);
  EXPECT_EQ(r.capturesStarted, 0);
  EXPECT_EQ(r.deliveriesBegun, 0u);
  EXPECT_EQ(r.stopsAsked, 0);  // a stream that never ran is not stopped

  s.capture.stop();
  EXPECT_EQ(s.service.record().stopsAsked, 0);
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});
}

std::string startFailureName(int step, const std::string& description) {
  const std::string steps[] = {"Query", "Output", "Start"};
  return steps[step] + (description.empty()     ? "EmptyDescription"
                        : description[0] == 'p' ? "Ascii"
                                                : "Utf8");
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StartFails,
    ::testing::Combine(::testing::Values(0, 1, 2),
                       ::testing::Values(std::string("permission denied"), std::string(),
                                         std::string("écran: ☃ indisponible"))),
    [](const auto& info) {
      return startFailureName(std::get<0>(info.param), std::get<1>(info.param));
    });

TEST_F(CaptureStream, QueryWithNeitherContentNorErrorIsAFailureWithNothingToDescribe) {
  Sim s(scriptWith([](Script& script) { script.query.outcome = Outcome::none; }));
  s.capture.start();
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{errorFrame("start failed: ")});
  EXPECT_FALSE(s.capture.hasStream());
}

TEST_F(CaptureStream, PlatformStopIsReportedAndAStopAfterItStillStopsTheStream) {
  Sim s(scriptWith([](Script& script) {
    script.halt = sim::Halt{sim::Halt::When::afterMs, 20, "device unplugged"};
    script.stop = Step{Outcome::fail, "already stopped", 0};
  }));
  s.capture.start();
  ASSERT_TRUE(s.service.waitFor([](auto& r) { return r.halts == 1; }, milliseconds(5000)));

  const std::vector<Frame> got = byType(frames().readUntilQuiet());
  EXPECT_EQ(got, (std::vector<Frame>{emptyFrame(kFrameRunning),
                                     errorFrame("stream stopped with error: device unplugged")}))
      << describe(got);
  EXPECT_TRUE(s.capture.hasStream());  // kept until a stop

  s.capture.stop();
  const sim::Record r = s.service.record();
  EXPECT_EQ(r.stopsAsked, 1);
  EXPECT_EQ(r.stopsCompleted, 1);
  EXPECT_FALSE(s.capture.hasStream());
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});  // the stop's error is dropped
}

TEST_F(CaptureStream, StopWaitsForTheCompletionAndASecondStopAsksNothing) {
  Sim s(scriptWith([](Script& script) {
    script.stop = Step{Outcome::fail, "stop failed", 150};
    script.deliveries.assign(1, goodDelivery());
    script.repeat = Script::kForever;
    script.paceMs = 1;
  }));
  s.capture.start();
  s.capture.stop();
  sim::Record r = s.service.record();
  EXPECT_EQ(r.stopsAsked, 1);
  EXPECT_EQ(r.stopsCompleted, 1);
  EXPECT_FALSE(s.capture.hasStream());

  s.capture.stop();
  EXPECT_EQ(s.service.record().stopsAsked, 1);
  // Unarmed throughout: R and nothing else, not even for the stop's error.
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{emptyFrame(kFrameRunning)});
}

TEST_F(CaptureStream, StopBeforeStartAsksNothing) {
  Sim s(Script{});
  s.capture.stop();
  EXPECT_EQ(s.service.record().stopsAsked, 0);
  EXPECT_FALSE(s.capture.hasStream());
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});
}

// Through the real program on the scripted service.

std::string tempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string(name) + "-" + std::to_string(::getpid()) + ".txt"))
      .string();
}

std::string fileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

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

TEST(QuitAfterRunning, WaitsForTheStopToCompleteAndDropsItsError) {
  const std::string record = tempPath("zarn-quit-after-running");
  std::remove(record.c_str());
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {"stop=fail:busy", "stop-delay=300", "record=" + record});
  const auto running = child.readFrame();
  ASSERT_TRUE(running);
  EXPECT_EQ(*running, emptyFrame(kFrameRunning));
  ASSERT_TRUE(child.write("Q"));
  const ExitResult result = child.wait(milliseconds(5000));
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  EXPECT_TRUE(child.readToEnd(milliseconds(1000)).empty());
  // The process cannot have ended before the stop's completion ran.
  const std::string text = fileText(record);
  EXPECT_NE(text.find("stop asked\n"), std::string::npos) << text;
  EXPECT_NE(text.find("stop completed -> fail\n"), std::string::npos) << text;
  std::remove(record.c_str());
}

TEST(QuitAfterPlatformStop, StillAsksTheStoppedStreamToStop) {
  const std::string record = tempPath("zarn-quit-after-halt");
  std::remove(record.c_str());
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {"halt=ms:30:gone", "record=" + record});
  const std::vector<Frame> got = byType(child.readFrames(2));
  EXPECT_EQ(got, (std::vector<Frame>{emptyFrame(kFrameRunning),
                                     errorFrame("stream stopped with error: gone")}))
      << describe(got);
  ASSERT_TRUE(child.write("P"));
  EXPECT_EQ(child.readFrame(), emptyFrame(kFramePong));  // still serving commands
  ASSERT_TRUE(child.write("Q"));
  const ExitResult result = child.wait(milliseconds(5000));
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  EXPECT_TRUE(child.readToEnd(milliseconds(1000)).empty());
  const std::string text = fileText(record);
  EXPECT_NE(text.find("stop completed -> ok\n"), std::string::npos) << text;
  std::remove(record.c_str());
}

TEST(NoDisplays, PingsAreStillAnsweredAndNoRunningFrameFollows) {
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {"displays=0"});
  EXPECT_EQ(child.readFrame(), errorFrame("no displays available"));
  ASSERT_TRUE(child.write("AP"));
  EXPECT_EQ(child.readFrame(), emptyFrame(kFramePong));
  ASSERT_TRUE(child.write("Q"));
  EXPECT_TRUE(child.wait().exited);
  EXPECT_TRUE(child.readToEnd(milliseconds(1000)).empty());
}

}  // namespace
}  // namespace zarn::test
