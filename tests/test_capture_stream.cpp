// The capture stream in process on the scripted service: start's steps and messages, the stream's
// error callback and stop. Quit through zarn-audio-sim, where exit and frames matter, is in
// test_commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "sim_fixture.h"

namespace zarn::test {
namespace {

using CaptureStream = SimTest;

TEST_F(CaptureStream, StartUsesTheFirstDisplayAndStoresTheStreamBeforeRunning) {
  Sim s({"displays=3"});
  // With the frame writer held, R cannot go out; a stop must find the stream all the same.
  stdoutLock->lock();
  std::thread starting([&] { s.capture.start(); });
  const auto deadline = std::chrono::steady_clock::now() + kWait;
  while (s.service.record().stopsAsked == 0 && std::chrono::steady_clock::now() < deadline)
    s.capture.stop();  // returns at once until start has stored the stream
  stdoutLock->unlock();
  starting.join();
  EXPECT_EQ(s.service.record().stopsAsked, 1) << "the stream is stored only after R is out";
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{kRunning});
  const sim::Record r = s.service.record();
  EXPECT_EQ(r.filterDisplays, std::vector<int>{0});
  ASSERT_EQ(r.outputs.size(), 1u);  // one output, for audio only, and it is the capture object
  EXPECT_TRUE(r.outputs[0].type == platform::OutputType::audio && r.outputs[0].isDelegate);
}

// Each way start can fail: one error frame, no stream kept, nothing stopped. An error with an
// empty description and a query with neither content nor error both give an empty reason; every
// failing step takes the same path to the message.
struct StartFailure {
  const char* name;
  std::string token;
  std::string message;
  int streamsMade, startsAsked;
  friend void PrintTo(const StartFailure& c, std::ostream* out) { *out << c.name; }
};

class StartFails : public SimTest, public ::testing::WithParamInterface<StartFailure> {};

TEST_P(StartFails, WithOneErrorFrameAndTheStreamDropped) {
  const StartFailure& c = GetParam();
  Sim s({c.token, "chunk=count:3"});  // deliveries that would come if capture had started
  s.capture.arm();
  s.capture.start();
  // Compared whole, so the length field is checked too (14 bytes for an empty description).
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{errorFrame(c.message)});
  const sim::Record r = s.service.record();
  EXPECT_EQ(std::tuple(r.streamsMade, r.streamsDestroyed, r.startsAsked),
            std::tuple(c.streamsMade, c.streamsMade, c.startsAsked));  // made, then dropped
  s.capture.stop();  // a stream that never ran is not stopped, and stop says nothing
  EXPECT_EQ(s.service.record().stopsAsked, 0);
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, StartFails,
    ::testing::Values(StartFailure{"NoDisplays", "displays=0", "no displays available", 0, 0},
                      StartFailure{"Query", "query=fail:denied", "start failed: denied", 0, 0},
                      StartFailure{"QueryEmpty", "query=fail", "start failed: ", 0, 0},
                      StartFailure{"QueryBringsNothing", "query=none", "start failed: ", 0, 0},
                      StartFailure{"Output", "output=fail:écran ☃", "start failed: écran ☃", 1, 0},
                      StartFailure{"Start", "start=fail:busy", "start failed: busy", 1, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CaptureStream, PlatformStopIsReportedAndALaterStopStillStopsTheStream) {
  Sim s({"halt=ms:20:device unplugged", "stop=fail:already stopped", "stop-delay=150"});
  s.capture.start();
  ASSERT_TRUE(s.service.waitFor([](auto& r) { return r.halts == 1; }, kWait));
  auto got = frames().readUntilQuiet();
  std::ranges::sort(got, {}, &Frame::type);  // the stop callback may overtake R
  EXPECT_EQ(got, (std::vector<Frame>{errorFrame("stream stopped with error: device unplugged"),
                                     kRunning}));
  s.capture.stop();  // the stream was kept; this returns only once the (late) completion has run
  EXPECT_EQ(s.service.record().stopsCompleted, 1);
  s.capture.stop();
  EXPECT_EQ(s.service.record().stopsAsked, 1);
  EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});  // the stop's error is dropped
}

}  // namespace
}  // namespace zarn::test
