// The frame writer in-process: exact bytes, concurrent writers, a slow or non-blocking reader, and
// a reader that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <future>
#include <thread>

#include "frame_stream.h"
#include "frames.h"
#include "pipes.h"

namespace zarn {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// Points the frame writer's globals at a pipe's write end for one test; closes it and puts them
// back after.
struct WriterOn {
  explicit WriterOn(int fd) : handle(fd), fd(fd) { stdoutLock = &lock, stdoutHandle = &handle; }
  ~WriterOn() { stdoutLock = nullptr, stdoutHandle = nullptr, ::close(fd); }
  StdoutLock lock;
  platform::OutputHandle handle;
  int fd;
};

// Every byte written to the pipe until its write end closes, read on a thread of its own at most
// chunk bytes at a time with a pause after each read.
std::future<Bytes> readAll(int fd, std::size_t chunk = 1 << 16,
                           std::chrono::microseconds pause = 0us) {
  return std::async(std::launch::async, [=] {
    Bytes all, buffer(chunk);
    for (ssize_t got; (got = ::read(fd, buffer.data(), chunk)) != 0;
         std::this_thread::sleep_for(pause)) {
      if (got > 0) all.insert(all.end(), buffer.begin(), buffer.begin() + got);
      if (got < 0 && errno != EINTR) break;
    }
    ::close(fd);
    return all;
  });
}

TEST(FrameBytes, EdgeFramesHaveExactBytes) {
  int fds[2];
  ASSERT_TRUE(test::openPipe(fds));
  std::future<Bytes> received = readAll(fds[0]);
  auto writer = std::make_unique<WriterOn>(fds[1]);
  writeFrame(kFramePong);
  writeFrame(kFrameRunning, {});
  writeFrame(kFrameChunk, Bytes(300, 'c'));
  writeFrame(kFrameChunk, Bytes(0x01'02'03, 'd'));
  sendError("no displays available");
  sendError("caf\xC3\xA9 stopped");  // the length counts UTF-8 bytes, not characters
  sendError("start failed: \xFF");   // not UTF-8: an empty error
  writer.reset();
  using namespace std::string_literals;  // type byte, then the length, least significant first
  const std::string expected = "O\0\0\0\0R\0\0\0\0C\x2C\1\0\0"s + std::string(300, 'c') +
                               "C\3\2\1\0"s + std::string(0x01'02'03, 'd') +
                               "E\x15\0\0\0no displays available"s +
                               "E\x0D\0\0\0caf\xC3\xA9 stopped"s + "E\0\0\0\0"s;
  EXPECT_EQ(received.get(), Bytes(expected.begin(), expected.end()));
}

TEST(Utf8, AcceptsEveryRangeBoundaryAndRejectsMalformedSequences) {
  for (const char* text : {"", "ascii\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF",
                           "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"})
    EXPECT_TRUE(isValidUtf8(text)) << testing::PrintToString(text);
  for (const char* text : {"\x80", "\xC3", "ab\xE2\x82", "\xC3\x28", "\xC0\x80", "\xC1\xBF",
                           "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF", "\xED\xA0\x80", "\xED\xBF\xBF",
                           "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "\xFE", "\xFF"})
    EXPECT_FALSE(isValidUtf8(text)) << testing::PrintToString(text);
}

// Writer w writes frames of type kTypes[w]. Its frame s is reproducible, so the reader can check
// every byte and the order; each tenth frame is empty (a chunk: only its 8-byte header).
constexpr int kFramesEach = 150;
constexpr std::uint8_t kTypes[] = {kFrameError, kFramePong, kFrameRunning, kFrameChunk};
Bytes payloadOf(int w, int s) {
  const std::size_t least = kTypes[w] == kFrameChunk ? 8 : 0;
  Bytes bytes(least + (s % 10 == 0 ? 0 : (s * 7919u + w * 104729u) % (64 * 1024)));
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(w * 31 + s * 7 + i * 13 + (i >> 8));
  return bytes;
}

TEST(ConcurrentFrames, FramesFromManyThreadsAreWholeAndInOrderOnBlockingAndNonBlockingPipes) {
  // Small, slow reads: writers often wait inside a frame, and on the non-blocking pipe they meet
  // EAGAIN and short writes over and over, each to be waited out and resumed.
  for (const bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
    int fds[2];
    ASSERT_TRUE(test::openPipe(fds));
    if (nonBlocking) ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    std::future<Bytes> received = readAll(fds[0], 4096, nonBlocking ? 20us : 0us);
    auto writer = std::make_unique<WriterOn>(fds[1]);
    std::vector<std::thread> threads;
    for (int w = 0; w < std::ssize(kTypes); ++w)
      threads.emplace_back([w] {
        for (int s = 0; s < kFramesEach; ++s) writeFrame(kTypes[w], payloadOf(w, s));
      });
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(writer->handle.broken());
    writer.reset();
    tools::FrameStreamReader reader;
    reader.feed(received.get());
    EXPECT_EQ(reader.finish(), "");
    int next[std::size(kTypes)] = {};  // each writer's frames, whole and in its order
    while (auto frame = reader.next()) {
      const auto w = std::ranges::find(kTypes, frame->type) - kTypes;
      ASSERT_LT(w, std::ssize(kTypes)) << "no writer writes frames of type " << int(frame->type);
      ASSERT_LT(next[w], kFramesEach) << "writer " << w << " has extra frames";
      ASSERT_EQ(frame->payload, payloadOf(int(w), next[w]++)) << "writer " << w << " differs";
    }
    for (int count : next) EXPECT_EQ(count, kFramesEach);
  }
}

// One writer is inside a payload far larger than the pipe when the reader leaves, the others wait
// for the lock: every one of them must return, and the output is marked broken.
TEST(ReaderGoesAway, WritersInsideAndWaitingForAFrameReturn) {
  ::signal(SIGPIPE, SIG_IGN);  // the test wants EPIPE, not the signal
  int fds[2];
  ASSERT_TRUE(test::openPipe(fds));
  WriterOn writer(fds[1]);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([] { writeFrame(kFrameChunk, Bytes(4 << 20)); });
  int queued = 0;  // once the payload has begun it cannot end: nobody reads 4 MiB
  while (::ioctl(fds[0], FIONREAD, &queued) == 0 && queued <= 5) std::this_thread::sleep_for(1ms);
  ::close(fds[0]);
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(writer.handle.broken());
}

// A frame from a thread that must never wait goes out whole in one write or not at all (the
// caller then writes it the ordinary way, so a refusal must leave no byte behind), and only where
// such a write cannot block: a pipe with room, the lock free, the frame within one atomic write.
TEST(FrameNow, GoesOutWholeOrLeavesNothing) {
  int fds[2];
  ASSERT_TRUE(test::openPipe(fds));
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  auto writer = std::make_unique<WriterOn>(fds[1]);
  auto queued = [&] {
    int bytes = 0;
    return ::ioctl(fds[0], FIONREAD, &bytes) == 0 ? bytes : -1;
  };
  const Bytes head(kChunkHeaderSize, 'h'), body(2048, 'b'), tooLong(kWholeFrameMost, 'x');
  ASSERT_TRUE(tryWriteFrameNow(kFrameChunk, head, body));
  Bytes got(5000);
  got.resize(std::max<ssize_t>(0, ::read(fds[0], got.data(), got.size())));
  Bytes expected{kFrameChunk, 0x08, 0x08, 0, 0};  // 8 + 2048 bytes
  expected.insert(expected.end(), head.begin(), head.end());
  expected.insert(expected.end(), body.begin(), body.end());
  EXPECT_EQ(got, expected);

  EXPECT_FALSE(tryWriteFrameNow(kFrameChunk, head, tooLong));
  writer->lock.lock();  // another writer's frame is under way
  EXPECT_FALSE(tryWriteFrameNow(kFrameChunk, head, body));
  writer->lock.unlock();
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  while (::write(fds[1], tooLong.data(), 1000) > 0) {
  }
  const int full = queued();
  EXPECT_FALSE(tryWriteFrameNow(kFrameChunk, head, body));
  EXPECT_EQ(queued(), full);
  EXPECT_FALSE(writer->handle.broken());
  writer.reset();
  ::close(fds[0]);

  // A socket (what Node gives its children) may take part of a frame: never written at once.
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  writer = std::make_unique<WriterOn>(fds[1]);
  EXPECT_FALSE(tryWriteFrameNow(kFrameChunk, head, body));
  writer.reset();
  ::close(fds[0]);
}

// A parent may start us with any of 0-2 closed. Each closed one must be taken by /dev/null before
// anything else can get its number, and standard error always ends up there.
TEST(StandardHandles, ClosedOnesAreTakenByDevNullAndStandardErrorIsSilenced) {
  struct stat null {};
  ASSERT_EQ(::stat("/dev/null", &null), 0);
  for (const auto& closed : {std::vector{0}, {1}, {2}, {0, 1}, {0, 1, 2}}) {
    const pid_t pid = ::fork();
    if (pid == 0) {  // only calls that are safe after fork, and _exit
      for (int fd : closed) ::close(fd);
      platform::guardStandardHandles();
      int failures = ::open("/dev/null", O_RDONLY) > STDERR_FILENO ? 0 : 1;
      for (int fd = 0; fd <= 2; ++fd) {
        struct stat now {};
        const bool isNull = ::fstat(fd, &now) == 0 && now.st_rdev == null.st_rdev;
        if ((fd == 2 || std::ranges::count(closed, fd) > 0) && !isNull) failures |= 2 << fd;
      }
      ::_exit(failures);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << "closed " << closed.size() << " starting at " << closed[0];
  }
}

}  // namespace
}  // namespace zarn
