#include "platform/linux/delivery.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

#include "platform/mono_mix.h"

namespace zarn::platform::linux_audio {
namespace {

constexpr std::size_t kPieceCapacity = 8192;  // mono samples: 20 ms up to 409 kHz

int makeWakeFd() {
  const int fd = ::eventfd(0, EFD_CLOEXEC);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  return fd;
}

}  // namespace

Delivery::Delivery(Deliver deliver, Report report, std::function<void()> taken, DeliverNow now)
    : deliver_(std::move(deliver)),
      report_(std::move(report)),
      taken_(std::move(taken)),
      now_(std::move(now)),
      wakeFd_(makeWakeFd()),
      thread_([this] { run(); }) {}

Delivery::~Delivery() {
  if (thread_.joinable()) {  // finish() was not called: end it now
    halt();
    finish();
  }
  ::close(wakeFd_);
}

void Delivery::push(const float* interleaved, std::size_t frames, std::uint32_t channels,
                    std::uint32_t rate) noexcept {
  if (now_ && handOnNow(interleaved, frames, channels, rate)) return;
  if (!ring_.append(interleaved, frames, channels, rate, kBacklogSeconds * rate)) return;
  // Every change of sleeping_ is a read-modify-write, so all of them are totally ordered and each
  // reads the one before it. If sleep()'s exchange comes before this one, the thread is woken,
  // by this one reading its true or by an earlier push that did. If it comes after, it reads from a
  // chain of exchanges that starts here (a release sequence), so it synchronizes with this one and
  // that thread sees the audio just added and does not wait. No wake-up is lost either way (TSan
  // can follow this; it cannot follow fences), and a lock-free exchange never waits.
  if (sleeping_.exchange(false, std::memory_order_acq_rel)) wake();
}

// Blocks stay in order: one goes out at once only when all before it are out. The ring is seen
// drained (which makes the take of the last piece visible) before carrying_ is read, and this
// thread's peer sets carrying_ before it takes a piece and clears it only once the piece is
// delivered: so a piece taken is either seen still carried or seen delivered. And nothing goes out
// at once after a report or a halt: handingOn_ is set before ending_ is read here, and both set
// ending_ before they wait for handingOn_ to clear (settleNow). All of these are sequentially
// consistent; none of them waits here.
bool Delivery::handOnNow(const float* interleaved, std::size_t frames, std::uint32_t channels,
                         std::uint32_t rate) noexcept {
  if (frames == 0 || frames > kNowMost || channels == 0) return false;
  handingOn_.store(true);
  bool handed = false;
  if (!ending_.load() && ring_.drained() && !carrying_.load()) {
    float mono[kNowMost];
    mixToMono(interleaved, frames, channels, mono);
    handed = now_({mono, frames}, rate);
  }
  handingOn_.store(false);
  return handed;
}

// Bounded by one mix and one write that cannot block.
void Delivery::settleNow() const {
  while (handingOn_.load()) std::this_thread::yield();
}

void Delivery::wake() noexcept {
  const std::uint64_t one = 1;
  (void)!::write(wakeFd_, &one, sizeof one);  // a non-blocking counter: this never waits
}

void Delivery::sleep() {
  (void)sleeping_.exchange(true, std::memory_order_acq_rel);  // pairs with push(): see there
  if (ring_.empty() && !ending_.load()) {
    std::uint64_t count = 0;
    while (::read(wakeFd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
  }
  (void)sleeping_.exchange(false, std::memory_order_acq_rel);  // an exchange too: see push()
}

void Delivery::run() {
  const std::unique_ptr<float[]> piece(new float[kPieceCapacity]);
  for (;;) {
    carrying_.store(true);  // before the take: see handOnNow()
    std::uint32_t rate = 0;
    const std::size_t count = ring_.take(piece.get(), kPieceCapacity, rate);
    if (count > 0) {
      if (taken_) taken_();
      if (!begin()) return;
      deliver_({piece.get(), count}, rate);
      end();
      carrying_.store(false);
    } else if (ending_.load()) {
      settleNow();
      if (!begin()) return;
      std::string reason;
      bool due = false;
      {
        std::lock_guard<std::mutex> hold(gate_);
        reason = reason_;
        due = reportDue_;
      }
      if (due) report_(reason);
      end();
      return;
    } else {
      carrying_.store(false);
      sleep();
    }
  }
}

bool Delivery::begin() {
  std::lock_guard<std::mutex> hold(gate_);
  if (halted_) return false;
  ++inside_;
  return true;
}

void Delivery::end() {
  std::lock_guard<std::mutex> hold(gate_);
  if (--inside_ == 0 && halted_) settled_.notify_all();
}

void Delivery::reportAfterDrain(const std::string& reason) {
  {
    std::lock_guard<std::mutex> hold(gate_);
    if (reportDue_ || halted_) return;
    reportDue_ = true;
    reason_ = reason;
  }
  ending_.store(true);
  wake();
}

bool Delivery::halt() {
  bool busy = false;
  {
    std::lock_guard<std::mutex> hold(gate_);
    halted_ = true;
    busy = inside_ > 0;
  }
  ending_.store(true);
  wake();
  settleNow();
  return busy;
}

bool Delivery::haltAndSettle(std::chrono::milliseconds bound) {
  halt();
  std::unique_lock<std::mutex> hold(gate_);
  return settled_.wait_for(hold, bound, [this] { return inside_ == 0; });
}

bool Delivery::finish() {
  if (!thread_.joinable()) return !detached_;
  bool stuck = false;
  {
    std::lock_guard<std::mutex> hold(gate_);
    stuck = inside_ > 0;
  }
  if (stuck) {
    detached_ = true;
    thread_.detach();
    return false;
  }
  thread_.join();
  return true;
}

}  // namespace zarn::platform::linux_audio
