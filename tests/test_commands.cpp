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

// Closes standard input (unless already closed) and expects a clean exit with no further frame.
void expectQuietExit(ChildProcess& child) {
  child.closeStdin();
  EXPECT_TRUE(child.outputEndsWithin(5s)) << child.bufferedBytes() << " unexpected bytes";
  EXPECT_EQ(child.wait().describe(), "exit status 0");
  EXPECT_EQ(child.stderrText(), "") << "nothing may ever go to standard error";
}

// Frames are decoded as the parent decodes them, so equal frames are equal bytes on the wire. On
// non-blocking pipes, as some parents hand over, an empty input is waited for, not taken as the
// end.
TEST(Commands, EveryOtherByteGetsOneErrorFrameInOrderAndArmingNoReply) {
  for (const bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
    ChildProcess child(ZARN_AUDIO_SIM_PATH, {"query=hang"}, {.nonBlocking = nonBlocking});
    std::string input;  // line feed and space are unknown bytes like any other
    std::vector<Frame> expected{kPong};
    for (int byte = 0; byte <= 255; ++byte) {
      if (std::string_view("ADPQ").find(char(byte)) != std::string_view::npos) continue;
      input.push_back(static_cast<char>(byte));
      expected.push_back(errorFrame("unknown command byte: " + std::to_string(byte)));
    }
    expected.push_back(kPong);
    for (const std::string& part : {std::string("P"), "AD" + input, std::string("AADDP")}) {
      std::this_thread::sleep_for(50ms);  // the reader has found the input empty
      ASSERT_TRUE(child.write(part));
    }
    EXPECT_EQ(child.readFrames(expected.size()), expected);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(child.wait(0ms).describe(), "not ended") << "an empty input is not its end";
    expectQuietExit(child);
  }
}

TEST(Commands, ClosedOutputWithSigpipeIgnoredStillEndsAtEndOfInputWithoutSpinning) {
  ChildProcess child(ZARN_AUDIO_SIM_PATH, {"query=hang"}, {.sigpipeDefault = false});
  child.closeInput();
  ASSERT_TRUE(child.write("PxP"));  // each write now fails with EPIPE instead of killing it
  std::this_thread::sleep_for(1s);
  ASSERT_EQ(child.wait(0ms).describe(), "not ended");
  ASSERT_TRUE(child.write("PAD"));
  child.closeStdin();
  EXPECT_EQ(child.wait(5s).describe(), "exit status 0");
  // A reader or writer retrying a broken pipe would have burnt most of that second.
  EXPECT_LT(child.wait().cpuTime, 500ms) << "the process spun after its output broke";
  EXPECT_EQ(child.stderrText(), "");
}

// The start fails with an error text larger than the pipe, so the start task sits inside that
// frame, holding the output, until the parent reads. Quit must neither cut it nor wait forever.
TEST(QuitDuringAFrame, FrameInProgressIsFinishedAndAParentThatNeverReadsDoesNotHangQuit) {
  const std::string text(100'000, 'z');
  for (const bool parentReads : {true, false}) {
    ChildProcess child(ZARN_AUDIO_SIM_PATH, {"query=fail:" + text});
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (child.unreadOutput() < 60'000 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(5ms);
    ASSERT_GE(child.unreadOutput(), 60'000u) << "the start task is not inside its frame";
    ASSERT_TRUE(child.write("Q"));
    std::this_thread::sleep_for(200ms);  // quit has begun and finds the frame in progress
    if (parentReads) {
      EXPECT_EQ(child.readFrame(), errorFrame("start failed: " + text));
    }
    EXPECT_EQ(child.wait(4s).describe(), "exit status 0");  // quit's bound is 3 s
    EXPECT_TRUE(child.outputEndsWithin(0ms) || !parentReads) << child.bufferedBytes() << " bytes";
  }
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
