// The frame writer in-process: exact bytes, concurrent writers, a slow or non-blocking reader, a
// reader that goes away, and standard descriptors the parent left closed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "frame_stream.h"
#include "frames.h"
#include "pipes.h"

namespace zarn {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

Bytes frame(Bytes header, std::string_view payload = {}) {
  header.insert(header.end(), payload.begin(), payload.end());
  return header;
}

// Points the frame writer's globals at a descriptor for one test and puts them back after.
struct WriterOn {
  explicit WriterOn(int fd) : handle(fd) { stdoutLock = &lock, stdoutHandle = &handle; }
  ~WriterOn() { stdoutLock = nullptr, stdoutHandle = nullptr; }
  StdoutLock lock;
  platform::OutputHandle handle;
};

// A pipe whose reader thread keeps every byte, reading at most chunk bytes at a time; finish()
// closes the write end and returns them.
struct PipeReader {
  explicit PipeReader(bool nonBlockingWriter = false, std::size_t chunk = 1 << 16,
                      std::chrono::microseconds pause = 0us) {
    EXPECT_TRUE(test::openPipe(fds_));
    if (nonBlockingWriter) ::fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    thread_ = std::thread([this, chunk, pause] {
      Bytes buffer(chunk);
      for (ssize_t got; (got = ::read(fds_[0], buffer.data(), chunk)) != 0;) {
        if (got < 0 && errno != EINTR) return;
        if (got > 0) received_.insert(received_.end(), buffer.begin(), buffer.begin() + got);
        std::this_thread::sleep_for(pause);
      }
    });
  }
  ~PipeReader() { finish(), ::close(fds_[0]); }
  int writeEnd() const { return fds_[1]; }
  const Bytes& finish() {
    if (fds_[1] >= 0) ::close(std::exchange(fds_[1], -1));
    if (thread_.joinable()) thread_.join();
    return received_;
  }
  int fds_[2] = {-1, -1};
  std::thread thread_;
  Bytes received_;
};

TEST(FrameBytes, EdgeFramesHaveExactBytes) {
  PipeReader reader;
  WriterOn writer(reader.writeEnd());
  const std::string chunk300(300, 'c'), chunk66051(0x01'02'03, 'd');
  auto span = [](const std::string& s) {
    return std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  };
  writeFrame(kFramePong);
  writeFrame(kFrameRunning, {});
  writeFrame(kFrameChunk, span(chunk300));
  writeFrame(kFrameChunk, span(chunk66051));
  sendError("no displays available");
  sendError("caf\xC3\xA9 stopped");  // the length counts UTF-8 bytes, not characters
  sendError("\xF0\x9F\x8E\xB5");
  sendError("start failed: \xFF");  // not UTF-8: an empty error
  sendError("");
  // Reserved address space only, never touched: any read of it would crash the test.
  const std::size_t size = (std::size_t{1} << 32) + 1;
  void* huge = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(huge, MAP_FAILED);
  writeFrame(kFrameChunk, {static_cast<const std::uint8_t*>(huge), size});  // too long: nothing
  ::munmap(huge, size);
  writeFrame(kFramePong);
  Bytes expected;
  for (const Bytes& bytes :
       {frame({'O', 0, 0, 0, 0}), frame({'R', 0, 0, 0, 0}), frame({'C', 0x2C, 1, 0, 0}, chunk300),
        frame({'C', 3, 2, 1, 0}, chunk66051), frame({'E', 21, 0, 0, 0}, "no displays available"),
        frame({'E', 13, 0, 0, 0}, "caf\xC3\xA9 stopped"),
        frame({'E', 4, 0, 0, 0}, "\xF0\x9F\x8E\xB5"), frame({'E', 0, 0, 0, 0}),
        frame({'E', 0, 0, 0, 0}), frame({'O', 0, 0, 0, 0})})
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  EXPECT_EQ(reader.finish(), expected);
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
  std::mt19937 random(static_cast<unsigned>(w * kFramesEach + s));
  const std::size_t least = kTypes[w] == kFrameChunk ? 8 : 0;
  Bytes bytes(s % 10 == 0 ? least
                          : std::uniform_int_distribution<std::size_t>(least, 64 * 1024)(random));
  for (std::size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<std::uint8_t>(w * 31 + s * 7 + i * 13 + (i >> 8));
  return bytes;
}

void expectWholeFramesInWriterOrder(const Bytes& stream) {
  tools::FrameStreamReader reader;
  reader.feed(stream);
  EXPECT_EQ(reader.finish(), "");
  std::vector<int> next(std::size(kTypes), 0);
  while (auto frame = reader.next()) {
    const auto w = static_cast<std::size_t>(std::ranges::find(kTypes, frame->type) - kTypes);
    ASSERT_LT(w, std::size(kTypes)) << "no writer writes frames of type " << int(frame->type);
    const int s = next[w]++;
    ASSERT_LT(s, kFramesEach) << "writer " << w << " has extra frames";
    ASSERT_EQ(frame->payload, payloadOf(static_cast<int>(w), s))
        << "writer " << w << " frame " << s << " differs";
  }
  for (std::size_t w = 0; w < std::size(kTypes); ++w) EXPECT_EQ(next[w], kFramesEach) << w;
}

TEST(ConcurrentFrames, FramesFromManyThreadsAreWholeAndInOrderOnBlockingAndNonBlockingPipes) {
  // Small, slow reads: writers often wait inside a frame, and on the non-blocking pipe they meet
  // EAGAIN and short writes over and over, each to be waited out and resumed.
  for (const bool nonBlocking : {false, true}) {
    SCOPED_TRACE(nonBlocking ? "non-blocking" : "blocking");
    PipeReader reader(nonBlocking, 4096, nonBlocking ? 20us : 0us);
    WriterOn writer(reader.writeEnd());
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < std::ssize(kTypes); ++w) {
      threads.emplace_back([w, &go] {
        std::vector<Bytes> payloads;
        for (int s = 0; s < kFramesEach; ++s) payloads.push_back(payloadOf(w, s));
        while (!go.load()) std::this_thread::yield();
        for (const auto& payload : payloads) writeFrame(kTypes[w], payload);
      });
    }
    go = true;
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(writer.handle.broken());
    expectWholeFramesInWriterOrder(reader.finish());
  }
}

TEST(ReaderGoesAway, FrameCutInsideItsPayloadIsAbandonedAndNothingIsWrittenAfter) {
  ::signal(SIGPIPE, SIG_IGN);  // the test wants EPIPE, not the signal; a FIFO, to reopen it
  const std::string path = ::testing::TempDir() + "zarn-frames-" + std::to_string(::getpid());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  auto openReader = [&] { return ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); };
  int reader = openReader();
  const int writeEnd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(writeEnd, 0);
  WriterOn writer(writeEnd);
  // Payloads far larger than the pipe: one writer is inside its payload when the reader leaves,
  // the others wait for the lock, and every one of them must return.
  const Bytes payload(4 << 20, 0x5A);
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([&] { writeFrame(kFrameChunk, payload); });
  int queued = 0;  // once the payload has begun it cannot end: nobody reads 4 MiB
  while (::ioctl(reader, FIONREAD, &queued) == 0 && queued <= 5) std::this_thread::sleep_for(1ms);
  ::close(reader);
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(writer.handle.broken());
  // The FIFO keeps unread bytes while a writer holds it: one header and payload, nothing after.
  reader = openReader();
  writeFrame(kFramePong);
  sendError("after the break");
  writeFrame(kFrameChunk, Bytes(100, 1));
  Bytes stale(5 + payload.size() + 1000);
  stale.resize(
      static_cast<std::size_t>(std::max<ssize_t>(0, ::read(reader, stale.data(), stale.size()))));
  ASSERT_GT(stale.size(), 5u);
  EXPECT_EQ(Bytes(stale.begin(), stale.begin() + 5), (Bytes{'C', 0, 0, 0x40, 0}));
  EXPECT_EQ(std::count(stale.begin() + 5, stale.end(), 0x5A), std::ssize(stale) - 5)
      << "something was written after the pipe broke";
  ::close(reader);
  ::close(writeEnd);
  ::unlink(path.c_str());
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
        const bool wasClosed = std::find(closed.begin(), closed.end(), fd) != closed.end();
        if ((wasClosed || fd == 2) && !isNull) failures |= 2 << fd;
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
