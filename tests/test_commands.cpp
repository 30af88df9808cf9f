// The command reader as a parent sees it: the real program, on the scripted capture service whose
// start never completes, so every frame on its output comes from the commands.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <thread>

#include "child_process.h"

namespace zarn::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Frame error(const std::string& text) {
  return Frame{'E', Bytes(text.begin(), text.end())};
}
Frame unknownByte(int byte) {
  return error("unknown command byte: " + std::to_string(byte));
}
const Frame kPong{'O', {}};

class Commands : public ::testing::Test {
 protected:
  explicit Commands(SpawnOptions options = {}, std::string script = "query=hang")
      : child(ZARN_AUDIO_SIM_PATH, {script}, options) {}

  void TearDown() override {
    child.closeStdin();  // a test that stopped early still lets the child end by itself
    child.wait();
    EXPECT_EQ(child.stderrText(), "") << "nothing may ever go to standard error";
  }

  // Closes standard input (unless already closed) and expects a clean exit with no further frame.
  void expectQuietExit() {
    child.closeStdin();
    EXPECT_TRUE(child.outputEndsWithin(5s)) << child.bufferedBytes() << " unexpected bytes";
    const ExitResult result = child.wait();
    EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  }

  // n pongs and nothing else, after the parent has not read for the pause.
  void expectPongs(std::size_t n, std::chrono::milliseconds pause) {
    std::this_thread::sleep_for(pause);
    const auto frames = child.readFrames(n, 20s);
    ASSERT_EQ(frames.size(), n);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), kPong), std::ssize(frames));
  }

  ChildProcess child;
};

TEST_F(Commands, PingsAndAnUnknownByteGetExactBytesOneFrameEach) {
  ASSERT_TRUE(child.write("PPPx"));
  const std::string text = "unknown command byte: 120";
  Bytes expected{'O', 0, 0, 0, 0, 'O', 0, 0, 0, 0, 'O', 0, 0, 0, 0, 'E', 0x19, 0, 0, 0};
  expected.insert(expected.end(), text.begin(), text.end());
  EXPECT_EQ(child.readBytes(expected.size()), expected);
  expectQuietExit();
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
  EXPECT_EQ(child.readFrames(expected.size()), expected);
  expectQuietExit();
}

TEST_F(Commands, LineFeedAndSpaceAreCommandsOfTheirOwnAndArmingIsNeverAcknowledged) {
  ASSERT_TRUE(child.write("P\nA D AADDP"));
  EXPECT_EQ(child.readFrames(5),
            (std::vector<Frame>{kPong, unknownByte(10), unknownByte(32), unknownByte(32), kPong}));
  EXPECT_FALSE(child.readFrame(100ms));
  expectQuietExit();
}

TEST_F(Commands, QuitLeavesTheBytesAfterItUnread) {
  ASSERT_TRUE(child.write("QP"));
  EXPECT_TRUE(child.outputEndsWithin(5s)) << "no frame may answer a byte after Q";
  EXPECT_EQ(child.unreadInput(), 1u) << "the P after Q must stay in the pipe";
  expectQuietExit();
}

TEST_F(Commands, EndOfInputAtLaunchEndsTheProcessAtOnce) {
  expectQuietExit();
}

TEST_F(Commands, ParentThatStopsReadingLosesNoReply) {
  // 250,000 bytes of pongs, far more than the pipe holds: the reader blocks in its write until
  // the parent reads again, and then every pong must come through whole.
  ASSERT_TRUE(child.write(std::string(50'000, 'P')));
  expectPongs(50'000, 1s);
  expectQuietExit();
}

TEST_F(Commands, ClosedOutputEndsTheProcessBySigpipe) {
  child.closeStdout();
  ASSERT_TRUE(child.write("P"));
  const ExitResult result = child.wait(5s);
  EXPECT_EQ(result.signal, SIGPIPE) << result.describe();
}

struct CommandsWithSigpipeIgnored : Commands {
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

struct CommandsOnNonBlockingPipes : Commands {
  CommandsOnNonBlockingPipes()
      : Commands(SpawnOptions{.nonBlockingStdin = true, .nonBlockingStdout = true}) {}
};

TEST_F(CommandsOnNonBlockingPipes, EmptyInputAndFullOutputAreWaitedForNotTakenAsEndOrDropped) {
  for (char byte : std::string("PxP")) {  // each byte after the reader found the pipe empty
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(child.write(std::string(1, byte)));
  }
  EXPECT_EQ(child.readFrames(3), (std::vector<Frame>{kPong, unknownByte(120), kPong}));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(child.running()) << "an empty non-blocking pipe is not the end of input";
  ASSERT_TRUE(child.write(std::string(30'000, 'P')));
  expectPongs(30'000, 300ms);  // the output pipe fills and writes meet EAGAIN
  expectQuietExit();
}

// The start fails with an error text larger than the pipe, so the start task sits inside that
// frame, holding the output, until the parent reads. Quit must neither cut it nor wait forever.
struct QuitDuringAFrame : Commands {
  QuitDuringAFrame() : Commands({}, "query=fail:" + std::string(100'000, 'z')) {}
  void SetUp() override {  // waits until the start task is blocked inside its frame
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (child.unreadOutput() < 60'000 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(5ms);
    ASSERT_GE(child.unreadOutput(), 60'000u);
    ASSERT_TRUE(child.write("Q"));
  }
};

TEST_F(QuitDuringAFrame, FrameInProgressIsFinishedBeforeExit) {
  std::this_thread::sleep_for(200ms);  // quit has begun and finds the frame in progress
  const auto frames = child.readFrames(2);
  ASSERT_EQ(frames.size(), 1u) << describe(frames);
  EXPECT_EQ(frames[0], error("start failed: " + std::string(100'000, 'z')));
  EXPECT_TRUE(child.outputEnded());
  EXPECT_EQ(child.bufferedBytes(), 0u)
      << "bytes after the last whole frame: " << child.frameError();
  expectQuietExit();
}

TEST_F(QuitDuringAFrame, ParentThatNeverReadsAgainDoesNotHangQuit) {
  const ExitResult result = child.wait(4s);  // quit's bound is 3 s
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
}

// Quit ends the process within its bound however the platform behaves: a stop that never
// completes, or a start still waiting for the platform's answer.
struct QuitWithAPlatformThatNeverAnswers : ::testing::TestWithParam<const char*> {};

TEST_P(QuitWithAPlatformThatNeverAnswers, EndsWithStatusZeroInBound) {
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {GetParam()});
  ASSERT_TRUE(child.write("AP"));
  ASSERT_TRUE(child.readFrame().has_value());
  ASSERT_TRUE(child.write("Q"));
  const ExitResult result = child.wait(4s);
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  EXPECT_EQ(child.frameError(), "");
}
INSTANTIATE_TEST_SUITE_P(Scripts, QuitWithAPlatformThatNeverAnswers,
                         ::testing::Values("stop-delay=600000", "start-delay=600000",
                                           "query=hang"));

}  // namespace
}  // namespace zarn::test
