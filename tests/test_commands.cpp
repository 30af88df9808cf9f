// The command reader as a parent sees it: the real program, on the scripted capture service whose
// start never completes, so every frame on its output comes from the commands.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"

namespace zarn::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

const Bytes kPong{0x4F, 0, 0, 0, 0};

Frame error(const std::string& text) {
  return Frame{'E', Bytes(text.begin(), text.end())};
}
Frame unknownByte(int byte) {
  return error("unknown command byte: " + std::to_string(byte));
}
const Frame kPongFrame{'O', {}};

class Commands : public ::testing::Test {
 protected:
  explicit Commands(SpawnOptions options = {})
      : child(ZARN_AUDIO_SIM_PATH, {"query=hang"}, options) {}

  void TearDown() override {
    child.closeStdin();  // a test that stopped early still lets the child end by itself
    child.wait();
    EXPECT_EQ(child.stderrText(), "") << "nothing may ever go to standard error";
  }

  // Closes standard input and expects a clean exit with no further frame.
  void expectQuietExitAtEndOfInput() {
    child.closeStdin();
    EXPECT_TRUE(child.outputEndsWithin(5s)) << child.bufferedBytes() << " unexpected bytes";
    const ExitResult result = child.wait();
    EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  }

  ChildProcess child;
};

TEST_F(Commands, PingsAreAnsweredOneEachInOrder) {
  ASSERT_TRUE(child.write("PPP"));
  Bytes three;
  for (int i = 0; i < 3; ++i) three.insert(three.end(), kPong.begin(), kPong.end());
  EXPECT_EQ(child.readBytes(15), three);
  EXPECT_FALSE(child.readFrame(100ms)) << "one frame per ping";
  expectQuietExitAtEndOfInput();
}

TEST_F(Commands, UnknownByteGetsExactErrorBytes) {
  ASSERT_TRUE(child.write("x"));
  const std::string text = "unknown command byte: 120";
  Bytes expected{0x45, 0x19, 0, 0, 0};
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(child.readBytes(expected.size()), expected);
  expectQuietExitAtEndOfInput();
}

TEST_F(Commands, EveryOtherByteValueIsReportedInDecimalInOrder) {
  std::string input;
  std::vector<Frame> expected;
  for (int byte = 0; byte <= 255; ++byte) {
    if (byte == 'A' || byte == 'D' || byte == 'P' || byte == 'Q') continue;
    input.push_back(static_cast<char>(byte));
    expected.push_back(unknownByte(byte));
  }
  ASSERT_TRUE(child.write(input));
  const auto frames = child.readFrames(expected.size());
  ASSERT_EQ(frames.size(), expected.size()) << describe(frames);
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(frames[i], expected[i]) << "frame " << i << ": " << describe(frames[i]);
  }
  expectQuietExitAtEndOfInput();
}

TEST_F(Commands, LineFeedAfterACommandIsACommandOfItsOwn) {
  ASSERT_TRUE(child.write("P\n"));
  EXPECT_EQ(child.readFrames(2), (std::vector<Frame>{kPongFrame, unknownByte(10)}));
  expectQuietExitAtEndOfInput();
}

TEST_F(Commands, UnknownByteBetweenArmAndDisarmDisturbsNeither) {
  // Arm and disarm are never acknowledged: the only frames are the error and the final pong.
  ASSERT_TRUE(child.write("A D AADDP"));
  EXPECT_EQ(child.readFrames(3, 5s),
            (std::vector<Frame>{unknownByte(32), unknownByte(32), kPongFrame}));
  EXPECT_FALSE(child.readFrame(100ms));
  expectQuietExitAtEndOfInput();
}

TEST_F(Commands, QuitLeavesTheBytesAfterItUnread) {
  ASSERT_TRUE(child.write("QP"));
  EXPECT_TRUE(child.outputEndsWithin(5s)) << "no frame may answer a byte after Q";
  const ExitResult result = child.wait();
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  EXPECT_EQ(child.unreadInput(), 1u) << "the P after Q must stay in the pipe";
}

TEST_F(Commands, EndOfInputAtLaunchEndsTheProcessAtOnce) {
  child.closeStdin();
  EXPECT_TRUE(child.outputEndsWithin(5s));
  const ExitResult result = child.wait(5s);
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
}

TEST_F(Commands, ParentThatStopsReadingLosesNoReply) {
  // 50,000 pongs are 250,000 bytes, far more than the pipe holds: the reader blocks in its write
  // until the parent reads again, and then every pong must come through whole.
  constexpr std::size_t kPings = 50'000;
  ASSERT_TRUE(child.write(std::string(kPings, 'P')));
  std::this_thread::sleep_for(1s);
  const Bytes all = child.readBytes(kPings * kPong.size(), 20s);
  ASSERT_EQ(all.size(), kPings * kPong.size());
  std::size_t firstWrong = 0;
  while (firstWrong < all.size() && all[firstWrong] == kPong[firstWrong % kPong.size()])
    ++firstWrong;
  EXPECT_EQ(firstWrong, all.size()) << "stream differs from pongs at byte " << firstWrong;
  expectQuietExitAtEndOfInput();
}

TEST_F(Commands, ClosedOutputEndsTheProcessBySigpipe) {
  child.closeStdout();
  ASSERT_TRUE(child.write("P"));
  const ExitResult result = child.wait(5s);
  EXPECT_FALSE(result.timedOut);
  EXPECT_EQ(result.signal, SIGPIPE) << result.describe();
}

class CommandsWithSigpipeIgnored : public Commands {
 protected:
  CommandsWithSigpipeIgnored() : Commands(SpawnOptions{.sigpipeDefault = false}) {}
};

TEST_F(CommandsWithSigpipeIgnored, ClosedOutputStillEndsAtEndOfInputWithoutSpinning) {
  child.closeStdout();
  ASSERT_TRUE(child.write("PxP"));  // each write now fails with EPIPE instead of killing it
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(child.running()) << child.wait(0ms).describe();
  ASSERT_TRUE(child.write("PAD"));
  child.closeStdin();
  const ExitResult result = child.wait(5s);
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  // A reader or writer retrying a broken pipe would have burnt most of that second.
  EXPECT_LT(result.cpuTime, 500ms) << "the process spun after its output broke";
}

class CommandsOnNonBlockingPipes : public Commands {
 protected:
  CommandsOnNonBlockingPipes()
      : Commands(SpawnOptions{.nonBlockingStdin = true, .nonBlockingStdout = true}) {}
};

TEST_F(CommandsOnNonBlockingPipes, SlowInputIsWaitedForNotTakenAsEnd) {
  // Each byte arrives after the reader has found the pipe empty (EAGAIN).
  for (char byte : std::string("PxP")) {
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(child.write(std::string(1, byte)));
  }
  EXPECT_EQ(child.readFrames(3), (std::vector<Frame>{kPongFrame, unknownByte(120), kPongFrame}));
  EXPECT_TRUE(child.running());
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(child.running()) << "an empty non-blocking pipe is not the end of input";
  expectQuietExitAtEndOfInput();
}

TEST_F(CommandsOnNonBlockingPipes, FullOutputIsWaitedForNotDropped) {
  constexpr std::size_t kPings = 30'000;
  ASSERT_TRUE(child.write(std::string(kPings, 'P')));
  std::this_thread::sleep_for(300ms);  // the output pipe fills and writes meet EAGAIN
  const auto frames = child.readFrames(kPings, 20s);
  ASSERT_EQ(frames.size(), kPings);
  for (std::size_t i = 0; i < kPings; ++i) ASSERT_EQ(frames[i], kPongFrame) << "frame " << i;
  expectQuietExitAtEndOfInput();
}

// The start fails with an error text larger than the pipe, so the start task sits inside that
// frame, holding the output, until the parent reads. Quit must neither cut it nor wait forever.
class QuitDuringAFrame : public ::testing::Test {
 protected:
  static constexpr std::size_t kTextSize = 100'000;
  static std::string failure() { return std::string(kTextSize, 'z'); }

  QuitDuringAFrame() : child(ZARN_AUDIO_SIM_PATH, {"query=fail:" + failure()}) {}

  void TearDown() override {
    child.closeStdin();  // a test that stopped early still lets the child end by itself
    child.wait();
    EXPECT_EQ(child.stderrText(), "");
  }

  // Waits until the pipe is full, that is the start task is blocked inside its frame.
  void waitUntilOutputIsFull() {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (child.unreadOutput() < 60'000 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(5ms);
    ASSERT_GE(child.unreadOutput(), 60'000u);
  }

  ChildProcess child;
};

TEST_F(QuitDuringAFrame, FrameInProgressIsFinishedBeforeExit) {
  waitUntilOutputIsFull();
  ASSERT_TRUE(child.write("Q"));
  std::this_thread::sleep_for(200ms);  // quit has begun and finds the frame in progress
  const auto frames = child.readFrames(2, 5s);
  ASSERT_EQ(frames.size(), 1u) << describe(frames);
  EXPECT_EQ(frames[0], error("start failed: " + failure()));
  EXPECT_TRUE(child.outputEnded());
  EXPECT_EQ(child.bufferedBytes(), 0u) << "bytes of a cut frame after the last whole one";
  const ExitResult result = child.wait();
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
}

TEST_F(QuitDuringAFrame, ParentThatNeverReadsAgainDoesNotHangQuit) {
  waitUntilOutputIsFull();
  ASSERT_TRUE(child.write("Q"));
  const ExitResult result = child.wait(15s);
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
}

}  // namespace
}  // namespace zarn::test
