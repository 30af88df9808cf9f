// The frame writer in-process: exact bytes, write boundaries, concurrent writers, a slow or
// non-blocking reader and a reader that goes away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frames.h"
#include "platform/std_handles.h"

namespace zarn {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

Bytes header(std::uint8_t type, std::uint32_t n) {
  return {type, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
          static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 24)};
}

// Points the frame writer's globals at a descriptor for one test and puts them back after.
class WriterOn {
 public:
  explicit WriterOn(int fd) : handle_(fd) {
    stdoutLock = &lock_;
    stdoutHandle = &handle_;
  }
  ~WriterOn() {
    stdoutLock = nullptr;
    stdoutHandle = nullptr;
  }
  platform::OutputHandle& handle() { return handle_; }

 private:
  StdoutLock lock_;
  platform::OutputHandle handle_;
};

// A SOCK_SEQPACKET pair keeps each write() as one message, so a test sees the write boundaries.
class MessageChannel {
 public:
  MessageChannel() {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds_), 0);
    int size = 1 << 20;
    ::setsockopt(fds_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fds_[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  ~MessageChannel() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int writeEnd() const { return fds_[0]; }

  // The writes made so far, one entry per write.
  std::vector<Bytes> writes() {
    std::vector<Bytes> all;
    for (;;) {
      Bytes message(1 << 17);
      ssize_t got = ::recv(fds_[1], message.data(), message.size(), MSG_DONTWAIT);
      if (got < 0) return all;
      message.resize(static_cast<std::size_t>(got));
      all.push_back(std::move(message));
    }
  }

 private:
  int fds_[2] = {-1, -1};
};

class FrameBytes : public ::testing::Test {
 protected:
  MessageChannel channel;
  WriterOn writer{channel.writeEnd()};
};

TEST_F(FrameBytes, EmptyPayloadIsOneFiveByteWrite) {
  writeFrame(kFramePong);
  writeFrame(kFrameRunning, {});
  EXPECT_EQ(channel.writes(), (std::vector<Bytes>{{0x4F, 0, 0, 0, 0}, {0x52, 0, 0, 0, 0}}));
}

TEST_F(FrameBytes, PayloadGoesOutAsSecondWriteAfterLittleEndianLength) {
  Bytes payload(300);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7);
  writeFrame(kFrameChunk, payload);
  EXPECT_EQ(channel.writes(), (std::vector<Bytes>{{0x43, 0x2C, 0x01, 0x00, 0x00}, payload}));
}

TEST_F(FrameBytes, LengthUsesAllFourBytes) {
  Bytes payload(0x01'02'03, 0xAB);  // 66051 bytes: three non-zero length bytes
  writeFrame(kFrameChunk, payload);
  auto writes = channel.writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], (Bytes{0x43, 0x03, 0x02, 0x01, 0x00}));
  EXPECT_EQ(writes[1], payload);
}

TEST_F(FrameBytes, ErrorTextIsSentAsIsWithoutTerminator) {
  sendError("no displays available");
  EXPECT_EQ(channel.writes(),
            (std::vector<Bytes>{{0x45, 0x15, 0, 0, 0}, bytesOf("no displays available")}));
}

TEST_F(FrameBytes, ErrorLengthCountsUtf8BytesNotCharacters) {
  // "é" is two bytes: 12 characters, 13 bytes.
  sendError("caf\xC3\xA9 stopped");
  auto writes = channel.writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0], header('E', 13));
  EXPECT_EQ(writes[1], bytesOf("caf\xC3\xA9 stopped"));

  sendError("\xF0\x9F\x8E\xB5");  // one four-byte character
  EXPECT_EQ(channel.writes(), (std::vector<Bytes>{header('E', 4), bytesOf("\xF0\x9F\x8E\xB5")}));
}

TEST_F(FrameBytes, TextThatIsNotUtf8GivesEmptyErrorFrame) {
  sendError("start failed: \xFF");
  sendError("");
  EXPECT_EQ(channel.writes(), (std::vector<Bytes>{{0x45, 0, 0, 0, 0}, {0x45, 0, 0, 0, 0}}));
}

TEST_F(FrameBytes, PayloadTooLongForLengthFieldWritesNothing) {
  // Reserved address space only, never touched: any read of it would crash the test.
  const std::size_t size = (std::size_t{1} << 32) + 1;
  void* huge = ::mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(huge, MAP_FAILED);
  writeFrame(kFrameChunk, {static_cast<const std::uint8_t*>(huge), size});
  ::munmap(huge, size);
  writeFrame(kFramePong);
  EXPECT_EQ(channel.writes(), (std::vector<Bytes>{{0x4F, 0, 0, 0, 0}}));
}

TEST(Utf8, AcceptsEveryEncodedRangeBoundary) {
  for (const char* text :
       {"", "plain ascii", "\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF",
        "\xEE\x80\x80", "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
    EXPECT_TRUE(isValidUtf8(text)) << testing::PrintToString(text);
  }
}

TEST(Utf8, RejectsMalformedSequences) {
  for (const char* text : {
           "\x80",                  // continuation byte with no lead
           "\xC3",                  // lead cut off at the end
           "ab\xE2\x82",            // three-byte sequence missing its last byte
           "\xC3\x28",              // lead followed by a non-continuation
           "\xC0\x80",              // overlong NUL
           "\xC1\xBF",              // overlong two-byte
           "\xE0\x9F\xBF",          // overlong three-byte
           "\xF0\x8F\xBF\xBF",      // overlong four-byte
           "\xED\xA0\x80",          // high surrogate
           "\xED\xBF\xBF",          // low surrogate
           "\xF4\x90\x80\x80",      // past U+10FFFF
           "\xF8\x88\x80\x80\x80",  // five-byte form
           "\xFE",
           "\xFF",
       }) {
    EXPECT_FALSE(isValidUtf8(text)) << testing::PrintToString(text);
  }
}

// A plain pipe read by a thread that keeps every byte.
class PipeReader {
 public:
  explicit PipeReader(bool nonBlockingWriter = false) {
    EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
    if (nonBlockingWriter) ::fcntl(fds_[1], F_SETFL, ::fcntl(fds_[1], F_GETFL) | O_NONBLOCK);
  }
  ~PipeReader() {
    closeWriteEnd();
    if (thread_.joinable()) thread_.join();
    ::close(fds_[0]);
  }
  int writeEnd() const { return fds_[1]; }

  // Reads chunks of at most chunkSize bytes, pausing between them, until the writer closes.
  void start(std::size_t chunkSize = 1 << 16,
             std::chrono::microseconds pause = std::chrono::microseconds(0)) {
    thread_ = std::thread([this, chunkSize, pause] {
      Bytes chunk(chunkSize);
      for (;;) {
        ssize_t got = ::read(fds_[0], chunk.data(), chunk.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        received_.insert(received_.end(), chunk.begin(), chunk.begin() + got);
        if (pause.count() > 0) std::this_thread::sleep_for(pause);
      }
    });
  }
  // All bytes, once the writer has closed.
  const Bytes& finish() {
    closeWriteEnd();
    if (thread_.joinable()) thread_.join();
    return received_;
  }

 private:
  void closeWriteEnd() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }
  int fds_[2] = {-1, -1};
  std::thread thread_;
  Bytes received_;
};

// Each writer's frames are reproducible from its index: sizes from a seeded generator, contents
// from (writer, sequence, offset), so the reader can check every byte and the order.
struct WriterScript {
  static constexpr int kFrames = 150;
  static std::vector<std::size_t> sizes(int writer) {
    std::mt19937 random(1234 + writer);
    std::uniform_int_distribution<std::size_t> size(0, 64 * 1024);
    std::vector<std::size_t> all;
    for (int i = 0; i < kFrames; ++i) all.push_back(i % 10 == 0 ? 0 : size(random));
    return all;
  }
  static std::uint8_t byteAt(int writer, int sequence, std::size_t offset) {
    return static_cast<std::uint8_t>(writer * 31 + sequence * 7 + offset * 13 + (offset >> 8));
  }
  static Bytes payload(int writer, int sequence, std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = byteAt(writer, sequence, i);
    return bytes;
  }
};

// Parses the stream and checks that every writer's frames are whole and in its order. The
// writer's index is the frame type, offset from 'a'.
void expectWholeFramesInWriterOrder(const Bytes& stream, int writers) {
  std::vector<std::vector<std::size_t>> expected;
  for (int w = 0; w < writers; ++w) expected.push_back(WriterScript::sizes(w));
  std::vector<int> next(static_cast<std::size_t>(writers), 0);
  std::size_t at = 0;
  while (at < stream.size()) {
    ASSERT_GE(stream.size() - at, 5u) << "stream ends inside a header at " << at;
    const int writer = stream[at] - 'a';
    ASSERT_TRUE(writer >= 0 && writer < writers) << "no frame starts at " << at;
    const std::size_t n = std::size_t{stream[at + 1]} | std::size_t{stream[at + 2]} << 8 |
                          std::size_t{stream[at + 3]} << 16 | std::size_t{stream[at + 4]} << 24;
    const int sequence = next[static_cast<std::size_t>(writer)]++;
    ASSERT_LT(sequence, WriterScript::kFrames) << "writer " << writer << " has extra frames";
    ASSERT_EQ(n, expected[static_cast<std::size_t>(writer)][static_cast<std::size_t>(sequence)])
        << "writer " << writer << " frame " << sequence << " at " << at;
    ASSERT_LE(n, stream.size() - at - 5) << "frame cut at the end of the stream";
    std::size_t wrong = 0;
    while (wrong < n && stream[at + 5 + wrong] == WriterScript::byteAt(writer, sequence, wrong))
      ++wrong;
    ASSERT_EQ(wrong, n) << "writer " << writer << " frame " << sequence << " differs at byte "
                        << wrong;
    at += 5 + n;
  }
  for (int w = 0; w < writers; ++w)
    EXPECT_EQ(next[static_cast<std::size_t>(w)], WriterScript::kFrames);
}

void writeConcurrently(int writers) {
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([w, &go] {
      auto sizes = WriterScript::sizes(w);
      std::vector<Bytes> payloads;
      for (int i = 0; i < WriterScript::kFrames; ++i)
        payloads.push_back(WriterScript::payload(w, i, sizes[static_cast<std::size_t>(i)]));
      while (!go.load()) std::this_thread::yield();
      for (const auto& payload : payloads) writeFrame(static_cast<std::uint8_t>('a' + w), payload);
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();
}

TEST(ConcurrentFrames, FramesFromManyThreadsNeverInterleave) {
  PipeReader reader;
  WriterOn writer(reader.writeEnd());
  reader.start(4096);  // small reads, so writers often wait inside a frame
  writeConcurrently(4);
  expectWholeFramesInWriterOrder(reader.finish(), 4);
}

TEST(ConcurrentFrames, NonBlockingPipeWithSlowReaderLosesNothing) {
  // The writer meets EAGAIN and short writes over and over; each must be waited out and resumed.
  PipeReader reader(/*nonBlockingWriter=*/true);
  WriterOn writer(reader.writeEnd());
  reader.start(4096, std::chrono::microseconds(20));
  writeConcurrently(3);
  EXPECT_FALSE(writer.handle().broken());
  expectWholeFramesInWriterOrder(reader.finish(), 3);
}

// A FIFO lets the test close the only reader (so writes fail with EPIPE) and then open a new
// one, which would receive anything the writer still tried to write.
class ReaderGoesAway : public ::testing::Test {
 protected:
  void SetUp() override {
    ::signal(SIGPIPE, SIG_IGN);  // the test wants EPIPE, not the signal
    char dir[] = "/tmp/zarn-frames-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    dir_ = dir;
    path_ = dir_ + "/out";
    ASSERT_EQ(::mkfifo(path_.c_str(), 0600), 0);
    reader_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader_, 0);
    writer_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer_, 0);
    output_ = std::make_unique<WriterOn>(writer_);
  }
  void TearDown() override {
    output_.reset();
    if (reader_ >= 0) ::close(reader_);
    if (writer_ >= 0) ::close(writer_);
    ::unlink(path_.c_str());
    ::rmdir(dir_.c_str());
  }
  Bytes drain() {
    Bytes all;
    std::uint8_t chunk[65536];
    ssize_t got;
    while ((got = ::read(reader_, chunk, sizeof chunk)) > 0)
      all.insert(all.end(), chunk, chunk + got);
    return all;
  }
  void replaceReader() {
    ::close(reader_);
    reader_ = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader_, 0);
  }
  void closeReader() {
    ::close(reader_);
    reader_ = -1;
  }

  std::string dir_, path_;
  int reader_ = -1;
  int writer_ = -1;
  std::unique_ptr<WriterOn> output_;
};

TEST_F(ReaderGoesAway, NothingIsWrittenAfterThePipeBroke) {
  writeFrame(kFramePong);
  EXPECT_EQ(drain(), (Bytes{0x4F, 0, 0, 0, 0}));
  closeReader();
  writeFrame(kFramePong);  // EPIPE
  EXPECT_TRUE(output_->handle().broken());
  replaceReader();
  writeFrame(kFramePong);
  sendError("after the break");
  writeFrame(kFrameChunk, Bytes(100, 1));
  EXPECT_EQ(drain(), Bytes{}) << "a stream cut inside a frame can no longer be framed";
}

TEST_F(ReaderGoesAway, FrameCutInsideItsPayloadIsAbandoned) {
  // The payload is far larger than the pipe, so the writer is inside it when the reader leaves.
  const Bytes payload(4 << 20, 0x5A);
  std::thread writerThread([&] { writeFrame(kFrameChunk, payload); });
  Bytes seen;
  while (seen.size() < 100'000) {  // far short of the frame, however fast the writer is
    pollfd entry{reader_, POLLIN, 0};
    ::poll(&entry, 1, 1000);
    std::uint8_t chunk[4096];
    const ssize_t got = ::read(reader_, chunk, sizeof chunk);
    if (got > 0) seen.insert(seen.end(), chunk, chunk + got);
  }
  closeReader();
  writerThread.join();  // must return, not wait for a reader forever
  EXPECT_TRUE(output_->handle().broken());
  ASSERT_GE(seen.size(), 5u);
  EXPECT_EQ(Bytes(seen.begin(), seen.begin() + 5), header('C', 4 << 20));

  // A FIFO keeps what was written but not read while a writer holds it open: those bytes come
  // from before the break and are all payload. A pong written after it would show as 0x4F.
  replaceReader();
  writeFrame(kFramePong);
  const Bytes stale = drain();
  EXPECT_LE(seen.size() + stale.size(), 5 + payload.size());
  EXPECT_EQ(std::count(stale.begin(), stale.end(), 0x5A), static_cast<std::ptrdiff_t>(stale.size()))
      << "something was written after the pipe broke";
}

TEST_F(ReaderGoesAway, WritersWaitingForTheLockAreReleasedToo) {
  // One thread blocks inside a frame on a full pipe; the others queue on the lock. When the
  // reader leaves, every one of them must return.
  const Bytes payload(1 << 20, 1);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) threads.emplace_back([&] { writeFrame(kFrameChunk, payload); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  closeReader();
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(output_->handle().broken());
}

// Whether another thread finds the lock taken.
bool heldAgainstOthers(StdoutLock& lock) {
  bool taken = false;
  std::thread([&] {
    taken = !lock.try_lock();
    if (!taken) lock.unlock();
  }).join();
  return taken;
}

// holdStdoutForExit never unlocks, so each test gives it a lock of its own that is never destroyed.
TEST(LastFrame, HoldForExitWaitsForTheFrameInProgressThenKeepsTheLock) {
  static StdoutLock& lock = *new StdoutLock;
  StdoutLock* saved = stdoutLock;
  stdoutLock = &lock;
  lock.lock();  // a frame in progress
  std::atomic<bool> returned{false};
  std::thread quit([&] {
    holdStdoutForExit(std::chrono::milliseconds(60'000));
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(returned) << "returned while a frame was still being written";
  lock.unlock();  // the frame ends
  quit.join();
  EXPECT_TRUE(returned);
  EXPECT_TRUE(heldAgainstOthers(lock));
  stdoutLock = saved;
}

TEST(LastFrame, HoldForExitGivesUpOnAFrameThatNeverEnds) {
  static StdoutLock& lock = *new StdoutLock;
  StdoutLock* saved = stdoutLock;
  stdoutLock = &lock;
  lock.lock();  // a writer stuck on a parent that stopped reading
  std::thread quit([] { holdStdoutForExit(std::chrono::milliseconds(20)); });
  quit.join();  // returns although the lock was never released
  lock.unlock();
  stdoutLock = saved;
}

}  // namespace
}  // namespace zarn
