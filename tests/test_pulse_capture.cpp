// The product on a real sound server: what the parent gets while the server plays, and when the
// server is missing, empty or dies.
#include <gtest/gtest.h>

#include <thread>

#include "test_pulse_support.h"

namespace zarn::test::pulse {
namespace {

class PulseCapture : public ::testing::TestWithParam<ServerKind> {};

// A quit that ends the process promptly with status 0, whole frames to the end and nothing on
// standard error.
void expectCleanQuit(ChildProcess& child) {
  ASSERT_TRUE(child.write("Q"));
  const auto asked = Clock::now();
  const ExitResult result = child.wait(3000ms);
  EXPECT_LT(Clock::now() - asked, 2000ms);
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  std::vector<std::uint8_t> rest = child.readToEnd(1000ms);
  std::size_t at = 0;
  while (rest.size() - at >= 5) {
    const std::size_t length =
        rest[at + 1] | rest[at + 2] << 8 | rest[at + 3] << 16 | std::size_t{rest[at + 4]} << 24;
    if (rest.size() - at - 5 < length) break;
    at += 5 + length;
  }
  EXPECT_EQ(at, rest.size()) << "the output ends inside a frame";
  EXPECT_EQ(child.stderrText(), "");
}

TEST_P(PulseCapture, ForwardsThePlayedToneOnlyWhileArmed) {
  SoundServer server(GetParam().name, GetParam().rate, 1);
  ASSERT_GT(server.play(440, 30), 0);
  ChildProcess child(product(), {});

  Capture unarmed;
  ASSERT_TRUE(readUntil(child, unarmed, 'R', 5000ms)) << describe(unarmed.others);
  collect(child, unarmed, 400ms);
  EXPECT_EQ(unarmed.chunks, 0u);
  EXPECT_EQ(describe(unarmed.others), "R");

  ASSERT_TRUE(child.write("A"));
  Capture armed;
  collect(child, armed, 3000ms);
  ASSERT_TRUE(child.write("P"));
  EXPECT_TRUE(readUntil(child, armed, 'O', 2000ms)) << "no answer to a ping while streaming";
  EXPECT_EQ(describe(armed.others), "O");
  EXPECT_TRUE(armed.problems.empty()) << armed.problems.front();

  // The header names the output's own rate; each delivery carries at most 20 ms.
  EXPECT_EQ(armed.rate, GetParam().rate);
  EXPECT_EQ(armed.rateChanges, 0u);
  EXPECT_LE(armed.largestChunk, armed.rate / 50 * 4);
  const Tone tone = lastTone(armed, 1.0);
  EXPECT_NEAR(tone.hz, 440, 2);
  EXPECT_GT(tone.peak, 0.2);
  EXPECT_LE(tone.peak, 1.0);
  // Nothing is lost: as much audio as time went by between the first and last chunk.
  ASSERT_TRUE(armed.firstChunkAt);
  const double wall =
      std::chrono::duration<double>(armed.lastChunkAt - *armed.firstChunkAt).count();
  EXPECT_NEAR(armed.seconds(), wall, 0.1 * wall + 0.05)
      << armed.chunks << " chunks over " << wall << " s";

  // After D and the ping behind it, only a delivery already under way may still arrive.
  ASSERT_TRUE(child.write("DP"));
  Capture disarmed;
  ASSERT_TRUE(readUntil(child, disarmed, 'O', 2000ms));
  collect(child, disarmed, 100ms);
  Capture after;
  collect(child, after, 600ms);
  EXPECT_EQ(after.chunks, 0u);
  EXPECT_TRUE(after.others.empty()) << describe(after.others);

  expectCleanQuit(child);
}

TEST_P(PulseCapture, ServerDyingWhileArmedIsReportedOnce) {
  SoundServer server(GetParam().name, GetParam().rate, 1);
  ASSERT_GT(server.play(440, 30), 0);
  ChildProcess child(product(), {});
  Capture capture;
  ASSERT_TRUE(readUntil(child, capture, 'R', 5000ms)) << describe(capture.others);
  ASSERT_TRUE(child.write("A"));
  collect(child, capture, 500ms);
  ASSERT_GT(capture.chunks, 0u);

  server.stop();
  ASSERT_TRUE(readUntil(child, capture, 'E', 5000ms)) << describe(capture.others);
  collect(child, capture, 1000ms);  // a second report would come now
  ASSERT_TRUE(child.write("PP"));
  readUntil(child, capture, 'O', 2000ms);
  readUntil(child, capture, 'O', 2000ms);
  EXPECT_EQ(describe(capture.others).substr(0, 2), "R ");
  EXPECT_EQ(countType(capture, 'E'), 1u) << errorTexts(capture);
  EXPECT_EQ(countType(capture, 'O'), 2u);
  const std::string text = errorTexts(capture);
  EXPECT_EQ(text.rfind("[stream stopped with error: ", 0), 0u) << text;
  EXPECT_GT(text.size(), std::string("[stream stopped with error: ]").size()) << text;
  expectCleanQuit(child);
}

TEST_P(PulseCapture, ServerWithoutOutputsHasNoDisplays) {
  SoundServer server(GetParam().name, GetParam().rate, 0);
  ChildProcess child(product(), {});
  Capture capture;
  ASSERT_TRUE(readUntil(child, capture, 'E', 5000ms)) << describe(capture.others);
  ASSERT_TRUE(child.write("AP"));
  EXPECT_TRUE(readUntil(child, capture, 'O', 2000ms));
  collect(child, capture, 300ms);
  EXPECT_EQ(describe(capture.others), "E(no displays available) O");
  EXPECT_EQ(capture.chunks, 0u);
  expectCleanQuit(child);
}

// A parent that stopped reading leaves a delivery blocked on the full pipe; quitting must not
// wait for that parent.
TEST_P(PulseCapture, QuitsWhileTheParentDoesNotRead) {
  SoundServer server(GetParam().name, GetParam().rate, 1);
  ASSERT_GT(server.play(440, 30), 0);
  ChildProcess child(product(), {});
  Capture capture;
  ASSERT_TRUE(readUntil(child, capture, 'R', 5000ms)) << describe(capture.others);
  ASSERT_TRUE(child.write("A"));
  std::this_thread::sleep_for(1500ms);  // a second of audio is more than a pipe holds
  ASSERT_TRUE(child.write("Q"));
  const auto asked = Clock::now();
  const ExitResult result = child.wait(6000ms);
  EXPECT_TRUE(result.exited && result.status == 0) << result.describe();
  EXPECT_LT(Clock::now() - asked, 4000ms);
  EXPECT_EQ(child.stderrText(), "");
}

INSTANTIATE_TEST_SUITE_P(Servers, PulseCapture, kServerKinds, kindName);

// No server at all: the library's own reason, and the helper goes on answering. The address is
// a socket path nobody listens on, so the machine's own server cannot answer instead; the client
// configuration is one the library complains about, and its complaint must not reach stderr.
TEST(PulseWithoutServer, StartFailsWithTheLibrarysReasonAndNothingOnStderr) {
  char pattern[] = "/tmp/zarn-pulse-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  {
    std::FILE* config = std::fopen((dir + "/client.conf").c_str(), "w");
    ASSERT_NE(config, nullptr);
    std::fputs("this line is no setting\n", config);
    std::fclose(config);
  }
  ::setenv("PULSE_SERVER", ("unix:" + dir + "/native").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (dir + "/missing").c_str(), 1);
  ::setenv("PULSE_CLIENTCONFIG", (dir + "/client.conf").c_str(), 1);
  {
    ChildProcess child(product(), {});
    Capture capture;
    ASSERT_TRUE(readUntil(child, capture, 'E', 5000ms)) << describe(capture.others);
    ASSERT_TRUE(child.write("AP"));
    EXPECT_TRUE(readUntil(child, capture, 'O', 2000ms));
    EXPECT_EQ(describe(capture.others), "E(start failed: Connection refused) O");
    expectCleanQuit(child);
  }
  // Nothing was started in its place.
  EXPECT_FALSE(std::filesystem::exists(dir + "/native"));
  EXPECT_FALSE(std::filesystem::exists(dir + "/missing"));
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace zarn::test::pulse
