// The command reader and quit as a parent sees them: the real program on the scripted capture
// service, by default one whose start never completes, so every frame comes from the commands.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.h"

namespace zarn::test {
namespace {

using namespace std::chrono_literals;

class Commands : public ::testing::Test {
 protected:
  explicit Commands(SpawnOptions options = {}, std::vector<std::string> script = {"query=hang"})
      : child(ZARN_AUDIO_SIM_PATH, script, options) {}

  void TearDown() override {
    child.closeStdin();  // a test that stopped early still lets the child end by itself
    child.wait();
    EXPECT_EQ(child.stderrText(), "") << "nothing may ever go to standard error";
  }

  // Closes standard input (unless already closed) and expects a clean exit with no further frame.
  void expectQuietExit() {
    child.closeStdin();
    EXPECT_TRUE(child.outputEndsWithin(5s)) << child.bufferedBytes() << " unexpected bytes";
    EXPECT_EQ(child.wait().describe(), "exit status 0");
  }

  ChildProcess child;
};

// Frames are decoded as the parent decodes them, so equal frames are equal bytes on the wire.
TEST_F(Commands, EveryOtherByteGetsOneErrorFrameInOrderAndArmingNoReply) {
  std::string input = "PAD";  // line feed and space are unknown bytes like any other
  std::vector<Frame> expected{kPong};
  for (int byte = 0; byte <= 255; ++byte) {
    if (std::string_view("ADPQ").find(char(byte)) != std::string_view::npos) continue;
    input.push_back(static_cast<char>(byte));
    expected.push_back(errorFrame("unknown command byte: " + std::to_string(byte)));
  }
  ASSERT_TRUE(child.write(input + "AADDP"));
  expected.push_back(kPong);
  EXPECT_EQ(child.readFrames(expected.size()), expected);
  expectQuietExit();
}

struct CommandsWithSigpipeIgnored : Commands {
  CommandsWithSigpipeIgnored() : Commands(SpawnOptions{.sigpipeDefault = false}) {}
};

TEST_F(CommandsWithSigpipeIgnored, ClosedOutputStillEndsAtEndOfInputWithoutSpinning) {
  child.closeInput();
  ASSERT_TRUE(child.write("PxP"));  // each write now fails with EPIPE instead of killing it
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(child.running()) << child.wait(0ms).describe();
  ASSERT_TRUE(child.write("PAD"));
  child.closeStdin();
  EXPECT_EQ(child.wait(5s).describe(), "exit status 0");
  // A reader or writer retrying a broken pipe would have burnt most of that second.
  EXPECT_LT(child.wait().cpuTime, 500ms) << "the process spun after its output broke";
}

struct CommandsOnNonBlockingPipes : Commands {
  CommandsOnNonBlockingPipes() : Commands(SpawnOptions{.nonBlocking = true}) {}
};

// (A full non-blocking output is waited out as test_frames has it.)
TEST_F(CommandsOnNonBlockingPipes, EmptyInputIsWaitedForNotTakenAsTheEnd) {
  for (char byte : std::string("PxP")) {  // each byte after the reader found the pipe empty
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(child.write(std::string(1, byte)));
  }
  EXPECT_EQ(child.readFrames(3),
            (std::vector<Frame>{kPong, errorFrame("unknown command byte: 120"), kPong}));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(child.running()) << "an empty non-blocking pipe is not the end of input";
  expectQuietExit();
}

// The start fails with an error text larger than the pipe, so the start task sits inside that
// frame, holding the output, until the parent reads. Quit must neither cut it nor wait forever.
struct QuitDuringAFrame : Commands {
  QuitDuringAFrame() : Commands({}, {"query=fail:" + std::string(100'000, 'z')}) {}
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
  EXPECT_EQ(child.readFrame(), errorFrame("start failed: " + std::string(100'000, 'z')));
  expectQuietExit();
}

TEST_F(QuitDuringAFrame, ParentThatNeverReadsAgainDoesNotHangQuit) {
  EXPECT_EQ(child.wait(4s).describe(), "exit status 0");  // quit's bound is 3 s
}

// Quit ends the process within its bound however the platform behaves, with no frame after the
// answers to the commands before it, and the bytes after Q left unread. A stop that completes late
// must still be waited for: the scripted service's record shows what ran.
TEST(Quit, EndsWithStatusZeroInBoundWhateverThePlatformDoes) {
  const std::string record = ::testing::TempDir() + "zarn-quit-" + std::to_string(::getpid());
  // The script; the frames before quit, by type (R and a stream error may overtake the pong); a
  // line the record must hold.
  const std::tuple<std::vector<std::string>, std::vector<Frame>, std::string> cases[] = {
      {{"start=hang"}, {kPong}, ""},
      {{"stop-delay=600000"}, {kPong, kRunning}, "stop asked\n"},
      {{"halt=ms:30:gone", "stop=fail:busy", "stop-delay=300"},
       {errorFrame("stream stopped with error: gone"), kPong, kRunning},
       "stop completed -> fail\n"}};
  for (auto [script, frames, recorded] : cases) {
    SCOPED_TRACE(script[0]);
    std::filesystem::remove(record);
    script.push_back("record=" + record);
    ChildProcess child(ZARN_AUDIO_SIM_PATH, script);
    ASSERT_TRUE(child.write("AP"));
    auto got = child.readFrames(frames.size());
    std::ranges::sort(got, {}, &Frame::type);
    EXPECT_EQ(describe(got), describe(frames));
    ASSERT_TRUE(child.write("QP"));
    EXPECT_EQ(child.wait(4s).describe(), "exit status 0");  // quit's bound is 3 s
    EXPECT_TRUE(child.outputEndsWithin(0ms)) << child.bufferedBytes() << " bytes after the answers";
    EXPECT_EQ(child.unreadInput(), 1u) << "the P after Q must stay in the pipe";
    std::stringstream text;
    text << std::ifstream(record).rdbuf();
    EXPECT_NE(text.str().find(recorded), std::string::npos) << text.str();
    EXPECT_EQ(child.stderrText(), "");
  }
  std::filesystem::remove(record);
}

}  // namespace
}  // namespace zarn::test
