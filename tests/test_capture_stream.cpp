// The capture stream in process on the scripted service: start's steps and messages, and stop.
// The stream's error callback, and quit through zarn-audio-sim, where exit and frames matter, are
// in test_commands.
#include <gtest/gtest.h>

#include <thread>

#include "sim_fixture.h"

namespace zarn::test {
namespace {

using CaptureStream = SimTest;

TEST_F(CaptureStream, StartStoresTheStreamBeforeRunning) {
  Sim s({});
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
}

// Each way start can fail: one error frame, compared whole so its length counts too (14 bytes for
// an empty description); any stream made is dropped, and a later stop asks and says nothing. An
// error with an empty description and a query with neither content nor error give an empty reason.
TEST_F(CaptureStream, EachFailingStartGivesOneErrorFrameAndDropsTheStream) {
  const std::pair<const char*, std::string> failures[] = {
      {"displays=0", "no displays available"},
      {"query=fail:denied", "start failed: denied"},
      {"query=fail", "start failed: "},
      {"query=none", "start failed: "},
      {"output=fail:écran ☃", "start failed: écran ☃"},
      {"start=fail:busy", "start failed: busy"}};
  for (const auto& [token, message] : failures) {
    SCOPED_TRACE(token);
    Sim s({token, "chunk=count:3"});  // deliveries that would come if capture had started
    s.capture.arm();
    s.capture.start();
    EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{errorFrame(message)});
    EXPECT_EQ(s.service.record().streamsDestroyed, s.service.record().streamsMade);
    s.capture.stop();
    EXPECT_EQ(s.service.record().stopsAsked, 0);
    EXPECT_EQ(frames().readUntilQuiet(), std::vector<Frame>{});
  }
}

}  // namespace
}  // namespace zarn::test
