// The capture object in process: on a fake service, when a stop reaches the service; on the screen
// flow over the scripted platform, start's steps and messages, stop, and sample forwarding (the C
// payload byte for byte, the silent drops in the flow's and the handler's order, and the arm
// state). (Whole frames from concurrent writers are test_frames', quit inside a frame and the
// stream's error callback test_commands'.)
#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "frame_pipe.h"
#include "platform/screencapturekit/screen_audio_service.h"
#include "platform/simulated/simulated_service.h"
#include "sys_audio_capture.h"

namespace zarn::test {
namespace {

namespace sim = platform::simulated;

using namespace std::chrono_literals;

// Completes each call from a thread of its own, as a service would: a start after running
// `duringStart`; a stop a little later, so a stop that returned without waiting shows.
struct FakeService final : AudioService {
  void start(AudioSink&, StartDone done) override {
    duringStart();
    std::thread([&] { done(std::nullopt); }).join();
  }
  void stop(StopDone done) override {
    ++stops;
    stopper = std::jthread([this, done = std::move(done)] {
      std::this_thread::sleep_for(50ms);
      stopCompleted = true;
      done();
    });
  }
  std::function<void()> duringStart = [] {};
  int stops = 0;
  std::atomic<bool> stopCompleted{false};
  std::jthread stopper;  // last: joined before the rest goes
};

using CaptureObject = FramePipeTest;

TEST_F(CaptureObject, OnlyARunningCaptureIsStoppedOnceAndTheStopWaitsForItsCompletion) {
  FakeService service;
  SysAudioCapture capture(service);
  capture.stop();                                 // before any start: returns at once, asks nothing
  service.duringStart = [&] { capture.stop(); };  // while the start is under way: the same
  capture.start();
  EXPECT_EQ(service.stops, 0);
  capture.stop();
  EXPECT_TRUE(service.stopCompleted);
  capture.stop();
  EXPECT_EQ(service.stops, 1);
}

// A scripted platform made from zarn-audio-sim's tokens, the screen flow over it and a capture
// object on that. Members in this order so the capture object, and the flow with any stream it
// holds, go before the platform.
struct Sim {
  explicit Sim(const std::vector<std::string>& tokens)
      : service(parse(tokens)), flow(service), capture(flow) {}
  static sim::Script parse(const std::vector<std::string>& tokens) {
    std::string error;
    if (auto script = sim::parseScript(tokens, error)) return *script;
    throw std::invalid_argument(error);
  }
  // A capture still running is stopped first, so no delivery reaches an object that is gone.
  ~Sim() { capture.stop(); }
  sim::SimulatedService service;
  platform::ScreenAudioService flow;
  SysAudioCapture capture;
};

using Header = std::vector<std::uint8_t>;

const Header kFloatMonoHeader{0x80, 0xBB, 0x00, 0x00, 0x01, 0x20, 0x01, 0x00};

// The C frame the scripted platform's delivery k becomes: the header, then its 1024 counter bytes,
// (k + j) mod 256.
Frame counterChunk(int k, Header payload) {
  for (int j = 0; j < 1024; ++j) payload.push_back(static_cast<std::uint8_t>(k + j));
  return {kFrameChunk, payload};
}

using ScreenFlow = FramePipeTest;

// A delivery with the chunk fields (of zarn-audio-sim's chunk= token; 48 kHz float mono by
// default), then a good one. The first is forwarded with the header, or, with none, dropped
// silently; any block it retained is released either way.
TEST_F(ScreenFlow, EachDeliveryIsForwardedWholeOrDroppedSilentlyAndTheNextIsForwarded) {
  std::vector<std::pair<std::string, Header>> deliveries = {
      {"", kFloatMonoHeader},
      {"rate:44100,flags:0,channels:2,bits:16", {0x44, 0xAC, 0, 0, 2, 0x10, 0, 0}},
      {"rate:22050.75", {0x22, 0x56, 0, 0, 1, 32, 1, 0}},  // the fraction truncated
      {"rate:-0.5", {0, 0, 0, 0, 1, 32, 1, 0}},
      {"rate:4294967295.5", {255, 255, 255, 255, 1, 32, 1, 0}},
      {"rate:96000,flags:0xFFFFFFFE", {0x00, 0x77, 1, 0, 1, 32, 0, 0}},  // no bit 0: not float
      {"rate:8000,flags:0x80000029", {64, 31, 0, 0, 1, 32, 1, 0}},
      {"channels:255,bits:255", {128, 187, 0, 0, 255, 255, 1, 0}}};
  // Dropped: not audio; a buffer, format or list that cannot be used; a rate, channel count or
  // width the header cannot hold.
  std::istringstream dropped(
      "fault:not-audio fault:invalid fault:not-ready fault:no-format fault:no-description "
      "fault:list-fail fault:two-buffers fault:null-data fault:zero-bytes rate:nan rate:inf "
      "rate:-1 rate:4294967296 channels:256 bits:256");
  for (std::string fields; dropped >> fields;) deliveries.emplace_back(fields, Header{});
  for (const auto& [fields, header] : deliveries) {
    SCOPED_TRACE(fields);
    Sim s({"chunk=" + fields, "chunk=", "pace=0"});
    s.capture.arm();  // before start, so the chunks may precede R
    s.capture.start();
    ASSERT_TRUE(s.service.waitFor([](auto& r) { return r.deliveries.size() == 2; }, kWait));
    std::vector<Frame> expected{kRunning};  // R, and no E
    if (!header.empty()) expected.push_back(counterChunk(0, header));
    expected.push_back(counterChunk(1, kFloatMonoHeader));
    EXPECT_THAT(frames().readUntilQuiet(), ::testing::UnorderedElementsAreArray(expected));
    const sim::Record record = s.service.record();  // both deliveries, as waited for above
    for (const sim::DeliveryRecord& d : record.deliveries) {
      EXPECT_EQ(d.blocksReleased, d.blocksRetained) << d.index;  // released on every path
      EXPECT_TRUE(d.listPrepared);
    }
    EXPECT_EQ(record.strayReleases, 0);
  }
}

TEST_F(ScreenFlow, DisarmStopsForwardingAndTouchesNoLaterSampleBuffer) {
  Sim s({"chunk=bytes:16", "pace=1", "repeat=forever"});
  s.capture.arm();
  s.capture.start();
  ASSERT_TRUE(s.service.waitFor([](auto& r) { return r.deliveries.size() >= 3; }, kWait));
  s.capture.disarm();
  const std::uint64_t begunBeforeDisarm = s.service.record().deliveriesBegun;
  ASSERT_TRUE(s.service.waitFor(
      [&](auto& r) { return r.deliveries.size() >= begunBeforeDisarm + 5; }, kWait));
  s.capture.stop();
  // Only deliveries already past the arm-state mirror when disarm returned may still be looked
  // at, and of those only the ones that read the arm state before it are forwarded: at least the
  // three that had returned.
  std::ptrdiff_t lookedAt = 0;
  for (const auto& d : s.service.record().deliveries) {
    EXPECT_TRUE(d.begunAs < begunBeforeDisarm || d.sampleBufferCalls() + d.blocksRetained == 0);
    lookedAt += d.listCalls > 0;
  }
  const auto forwarded = std::ranges::count(frames().readUntilQuiet(), kFrameChunk, &Frame::type);
  EXPECT_GE(forwarded, 3);
  EXPECT_LE(forwarded, lookedAt);
}

TEST_F(ScreenFlow, StartStoresTheStreamBeforeRunning) {
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
TEST_F(ScreenFlow, EachFailingStartGivesOneErrorFrameAndDropsTheStream) {
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
