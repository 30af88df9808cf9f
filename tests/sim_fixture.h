// In-process harness: each test gets a scripted service and a capture object of its own, and
// reads back the frames they write.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture_object.h"
#include "child_process.h"
#include "frames.h"
#include "platform/simulated/script.h"
#include "platform/simulated/simulated_service.h"

namespace zarn::test {

namespace sim = platform::simulated;

// The frame writer's globals on a pipe, set once per process and never undone, as start-up does.
class FramePipe {
 public:
  static FramePipe& get() {
    static FramePipe* const pipe = new FramePipe;
    return *pipe;
  }

  // The next whole frame, or nothing if none is complete by the deadline.
  std::optional<Frame> readFrame(milliseconds timeout = milliseconds(5000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    if (!fillTo(5, deadline)) return std::nullopt;
    const std::size_t length = std::size_t{pending_[1]} | std::size_t{pending_[2]} << 8 |
                               std::size_t{pending_[3]} << 16 | std::size_t{pending_[4]} << 24;
    if (!fillTo(5 + length, deadline)) return std::nullopt;
    Frame frame{pending_[0], {pending_.begin() + 5, pending_.begin() + 5 + length}};
    pending_.erase(pending_.begin(), pending_.begin() + 5 + length);
    return frame;
  }

  // Frames until none starts within the quiet period.
  std::vector<Frame> readUntilQuiet(milliseconds quiet = milliseconds(150)) {
    std::vector<Frame> frames;
    while (auto frame = readFrame(quiet)) frames.push_back(std::move(*frame));
    return frames;
  }

  // Throws away whatever an earlier test left behind.
  void discard() {
    fillTo(SIZE_MAX, std::chrono::steady_clock::now());
    pending_.clear();
  }

 private:
  FramePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    // Room for several large chunks, so writers rarely wait on a test that reads late.
    ::fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    readFd_ = fds[0];
    stdoutLock = new StdoutLock;
    stdoutHandle = new platform::OutputHandle(fds[1]);
  }

  bool fillTo(std::size_t n, std::chrono::steady_clock::time_point deadline) {
    while (pending_.size() < n) {
      std::uint8_t chunk[65536];
      const ssize_t got = ::read(readFd_, chunk, sizeof chunk);
      if (got > 0) {
        pending_.insert(pending_.end(), chunk, chunk + got);
        continue;
      }
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd entry{readFd_, POLLIN, 0};
      ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 1000000)));
    }
    return true;
  }

  int readFd_ = -1;
  std::vector<std::uint8_t> pending_;
};

// Members in this order so the capture object, and any stream it holds, go before the service.
struct Sim {
  explicit Sim(sim::Script script) : service(std::move(script)), capture(service) {}
  sim::SimulatedService service;
  SysAudioCapture capture;
};

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override { FramePipe::get().discard(); }
  FramePipe& frames() { return FramePipe::get(); }
};

inline Frame errorFrame(const std::string& text) {
  return Frame{kFrameError, {text.begin(), text.end()}};
}
inline Frame emptyFrame(std::uint8_t type) {
  return Frame{type, {}};
}

// A delivery of good audio: 48 kHz float mono, counter-filled.
inline sim::Delivery goodDelivery(std::uint32_t bytes = 64) {
  return {.bytes = bytes};
}

}  // namespace zarn::test
