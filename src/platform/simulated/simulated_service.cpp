#include "platform/simulated/simulated_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numbers>
#include <optional>
#include <utility>

namespace zarn::platform::simulated {
namespace {

using Clock = std::chrono::steady_clock;
using Fault = Delivery::Fault;

struct SimContent final : ShareableContent {
  std::vector<std::shared_ptr<Display>> displays;
};

struct SimDisplay final : Display {
  explicit SimDisplay(int i) : index(i) {}
  int index;
};

struct SimFilter final : ContentFilter {
  explicit SimFilter(int d) : display(d) {}
  int display;
};

struct SimError final : Error {
  explicit SimError(std::string d) : description(std::move(d)) {}
  std::string description;
};

ErrorPtr makeError(const std::string& description) {
  return std::make_shared<SimError>(description);
}

struct SimSampleBuffer;

struct SimFormat final : FormatDescription {
  SimSampleBuffer* owner = nullptr;
};

struct SimBlock final : BlockBuffer {
  std::vector<std::uint8_t> bytes;
  SimSampleBuffer* owner = nullptr;
  // Cleared when the delivery returns; a release after that must not reach the owner.
  std::shared_ptr<std::atomic<bool>> ownerLive;
};

// One delivery's sample buffer, alive for the duration of the flow's callback.
struct SimSampleBuffer final : SampleBuffer {
  Delivery delivery;
  std::uint64_t startFrame = 0;  // frames the stream delivered before this one, for the sine
  SimFormat format;
  DeliveryRecord counts;
  std::shared_ptr<std::atomic<bool>> live = std::make_shared<std::atomic<bool>>(true);
};

SimSampleBuffer& simBuffer(SampleBuffer& buffer) {
  return static_cast<SimSampleBuffer&>(buffer);
}

std::uint64_t bytesPerFrame(const StreamDescription& format) {
  return std::max<std::uint64_t>(1, std::uint64_t{format.channelsPerFrame} *
                                        std::max<std::uint32_t>(8, format.bitsPerChannel) / 8);
}

template <class Sample>
void fillSine(std::vector<std::uint8_t>& bytes, const SimSampleBuffer& buffer, double scale) {
  const StreamDescription& format = buffer.delivery.format;
  const double rate =
      std::isfinite(format.sampleRate) && format.sampleRate > 0 ? format.sampleRate : 48000.0;
  const std::uint32_t channels = std::max<std::uint32_t>(1, format.channelsPerFrame);
  const std::size_t frameBytes = sizeof(Sample) * channels;
  for (std::size_t frame = 0; (frame + 1) * frameBytes <= bytes.size(); ++frame) {
    const double t = static_cast<double>(buffer.startFrame + frame) / rate;
    const auto value = static_cast<Sample>(
        scale * 0.5 * std::sin(2 * std::numbers::pi * buffer.delivery.sineHz * t));
    for (std::uint32_t c = 0; c < channels; ++c) {
      std::memcpy(bytes.data() + frame * frameBytes + c * sizeof(Sample), &value, sizeof value);
    }
  }
}

void fillSamples(std::vector<std::uint8_t>& bytes, const SimSampleBuffer& buffer,
                 std::uint64_t index) {
  const Delivery& delivery = buffer.delivery;
  switch (delivery.content) {
    case Delivery::Content::zero:
      return;
    case Delivery::Content::counter:
      for (std::size_t j = 0; j < bytes.size(); ++j) {
        bytes[j] = static_cast<std::uint8_t>(index + j);
      }
      return;
    case Delivery::Content::sine: {
      const bool isFloat = delivery.format.formatFlags & kAudioFormatFlagIsFloat;
      const std::uint32_t bits = delivery.format.bitsPerChannel;
      if (isFloat && bits == 32) return fillSine<float>(bytes, buffer, 1.0);
      if (isFloat && bits == 64) return fillSine<double>(bytes, buffer, 1.0);
      if (!isFloat && bits == 16) return fillSine<std::int16_t>(bytes, buffer, 32767.0);
      if (!isFloat && bits == 32) return fillSine<std::int32_t>(bytes, buffer, 2147483647.0);
      return;
    }
  }
}

const char* outcomeName(Step::Outcome outcome) {
  switch (outcome) {
    case Step::Outcome::ok:
      return "ok";
    case Step::Outcome::fail:
      return "fail";
    case Step::Outcome::hang:
      return "hang";
    case Step::Outcome::none:
      return "none";
  }
  return "?";
}

}  // namespace

// What a stream shares with the threads that work for it: its driver, which paces the deliveries
// and makes the stop-with-error callback, and the deliveries in flight.
struct StreamState : std::enable_shared_from_this<StreamState> {
  StreamState(SimulatedService& s, Stream& o, StreamDelegate& d)
      : service(s), owner(o), delegate(d) {}

  SimulatedService& service;
  Stream& owner;  // outlives every thread below: its destructor waits for them
  StreamDelegate& delegate;

  std::mutex mutex;
  std::condition_variable changed;
  StreamDelegate* output = nullptr;
  bool began = false;
  bool stopping = false;
  int inFlight = 0;
  std::thread driver;

  // Capture has started: the driver begins, unless the stream has already been stopped or dropped.
  void begin(Script script) {
    std::lock_guard<std::mutex> hold(mutex);
    if (began || stopping) return;
    began = true;
    driver =
        std::thread([self = shared_from_this(), script = std::move(script)] { self->run(script); });
  }

  // Ends the driver and waits until no delivery is left in the flow's hands; nothing for this
  // stream begins afterwards.
  void shutDown() {
    std::thread ending;
    {
      std::lock_guard<std::mutex> hold(mutex);
      stopping = true;
      ending = std::move(driver);
    }
    changed.notify_all();
    if (ending.joinable()) {
      if (ending.get_id() == std::this_thread::get_id()) {
        ending.detach();  // dropped from inside its own stop callback
      } else {
        ending.join();
      }
    }
    std::unique_lock<std::mutex> hold(mutex);
    changed.wait(hold, [this] { return inFlight == 0; });
  }

  enum class Wake { go, stop, halt };
  using Deadline = std::optional<Clock::time_point>;

  // Under the mutex: waits until ready() holds and `until` has passed, or until stop or halt.
  template <class Ready>
  Wake waitFor(std::unique_lock<std::mutex>& hold, Ready ready, Deadline until, Deadline haltAt) {
    for (;;) {
      if (stopping) return Wake::stop;
      const auto now = Clock::now();
      if (haltAt && now >= *haltAt) return Wake::halt;
      if (ready() && (!until || now >= *until)) return Wake::go;
      Deadline deadline = haltAt;
      if (until && *until > now && (!deadline || *until < *deadline)) deadline = until;
      if (deadline) {
        changed.wait_until(hold, *deadline);
      } else {
        changed.wait(hold);
      }
    }
  }

  // Hands the script's deliveries to the flow, round after round, then waits for the end; says
  // how it ended.
  Wake deliverAll(std::unique_lock<std::mutex>& hold, const Script& script, Deadline haltAt,
                  std::uint64_t haltAfter) {
    const auto pace = std::chrono::milliseconds(script.paceMs);
    const int slots = script.threads;
    std::uint64_t index = 0;
    std::uint64_t frames = 0;
    Deadline due;
    const bool forever = script.repeat == Script::kForever;
    for (std::int64_t round = 0; !script.deliveries.empty() && (forever || round < script.repeat);
         ++round) {
      for (const Delivery& delivery : script.deliveries) {
        if (index >= haltAfter) return Wake::halt;
        if (delivery.stallMs > 0) {
          const auto now = Clock::now();
          due = std::max(due.value_or(now), now) + std::chrono::milliseconds(delivery.stallMs);
        }
        const Wake wake = waitFor(
            hold, [&] { return inFlight < slots; }, due, haltAt);
        if (wake != Wake::go) return wake;
        ++inFlight;
        service.deliver([self = shared_from_this(), delivery, index, frames] {
          self->deliverOne(delivery, index, frames);
        });
        ++index;
        frames += delivery.bytes / bytesPerFrame(delivery.format);
        if (pace.count() > 0) due = Clock::now() + pace;
      }
    }
    if (index >= haltAfter) return Wake::halt;
    return waitFor(
        hold, [] { return false; }, std::nullopt, haltAt);
  }

  void run(const Script& script) {
    Deadline haltAt;
    std::uint64_t haltAfter = UINT64_MAX;
    if (script.halt && script.halt->when == Halt::When::afterMs) {
      haltAt = Clock::now() + std::chrono::milliseconds(script.halt->count);
    } else if (script.halt) {
      haltAfter = script.halt->count;
    }
    std::unique_lock<std::mutex> hold(mutex);
    if (deliverAll(hold, script, haltAt, haltAfter) != Wake::halt) return;

    // The platform ends a stream's deliveries before it reports that the stream stopped.
    changed.wait(hold, [this] { return inFlight == 0 || stopping; });
    if (stopping) return;
    hold.unlock();
    SimError error(script.halt->description);
    delegate.streamDidStopWithError(owner, error);
    service.note([](Record& r) { ++r.halts; }, [] { return std::string("halted"); });
  }

  void deliverOne(const Delivery& delivery, std::uint64_t index, std::uint64_t startFrame) {
    StreamDelegate* target = nullptr;
    {
      std::lock_guard<std::mutex> hold(mutex);
      target = output;
    }
    SimSampleBuffer buffer;
    buffer.delivery = delivery;
    buffer.startFrame = startFrame;
    buffer.format.owner = &buffer;
    buffer.counts.index = index;
    buffer.counts.type = delivery.fault == Fault::notAudio ? OutputType::screen : OutputType::audio;
    service.note(
        [&](Record& r) {
          buffer.counts.begunAs = r.deliveriesBegun++;
          r.maxInFlight = std::max(r.maxInFlight, ++service.inCore_);
        },
        nullptr);
    if (target) target->streamDidOutputSampleBuffer(owner, buffer, buffer.counts.type);
    buffer.live->store(false);
    const DeliveryRecord& c = buffer.counts;
    service.note(
        [&](Record& r) {
          --service.inCore_;
          if (r.deliveries.size() < kKeptDeliveries) r.deliveries.push_back(c);
        },
        [&] {
          return "delivery " + std::to_string(c.index) +
                 " type=" + std::to_string(static_cast<int>(c.type)) +
                 " valid=" + std::to_string(c.validCalls) +
                 " ready=" + std::to_string(c.readyCalls) +
                 " format=" + std::to_string(c.formatCalls) +
                 " description=" + std::to_string(c.descriptionCalls) +
                 " list=" + std::to_string(c.listCalls) +
                 " retained=" + std::to_string(c.blocksRetained) +
                 " released=" + std::to_string(c.blocksReleased) +
                 " list-prepared=" + std::to_string(c.listPrepared ? 1 : 0);
        });
    std::lock_guard<std::mutex> hold(mutex);
    --inFlight;
    changed.notify_all();
  }

  // A run forever must not grow the record without bound.
  static constexpr std::size_t kKeptDeliveries = 100000;
};

class SimStream final : public Stream {
 public:
  SimStream(SimulatedService& service, StreamDelegate& delegate)
      : state(std::make_shared<StreamState>(service, *this, delegate)) {}

  // A stream dropped without a stop is torn down here: no thread touches it afterwards.
  ~SimStream() override {
    state->shutDown();
    state->service.note([](Record& r) { ++r.streamsDestroyed; },
                        [] { return std::string("stream destroyed"); });
  }

  std::shared_ptr<StreamState> state;
};

namespace {

std::shared_ptr<StreamState> stateOf(Stream& stream) {
  return static_cast<SimStream&>(stream).state;
}

}  // namespace

SimulatedService::SimulatedService(Script script) {
  install(std::move(script));
}

SimulatedService::RecordFile::~RecordFile() {
  if (fd >= 0) ::close(fd);
}

SimulatedService& SimulatedService::processWide() {
  static SimulatedService* const service = new SimulatedService;
  return *service;
}

void SimulatedService::install(Script script) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (recordFile_.fd >= 0) ::close(recordFile_.fd);
  recordFile_.fd = -1;
  if (!script.recordPath.empty()) {
    recordFile_.fd =
        ::open(script.recordPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  }
  script_ = std::move(script);
}

Script SimulatedService::script() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return script_;
}

Record SimulatedService::record() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return record_;
}

bool SimulatedService::waitFor(const std::function<bool(const Record&)>& condition,
                               std::chrono::milliseconds limit) const {
  std::unique_lock<std::mutex> hold(mutex_);
  return recordChanged_.wait_for(hold, limit, [&] { return condition(record_); });
}

void SimulatedService::note(const std::function<void(Record&)>& change,
                            const std::function<std::string()>& line) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (change) change(record_);
    if (recordFile_.fd >= 0 && line) {
      // One write per line, so the file is complete up to the last event whenever exit comes.
      const std::string text = line() + "\n";
      std::size_t done = 0;
      while (done < text.size()) {
        const ssize_t n = ::write(recordFile_.fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
    }
  }
  recordChanged_.notify_all();
}

void SimulatedService::complete(int delayMs, std::function<void()> item) {
  completions_.async(std::move(item), std::chrono::milliseconds(delayMs));
}

void SimulatedService::deliver(std::function<void()> item) {
  deliveries_.async(std::move(item));
}

void SimulatedService::getShareableContent(bool excludeDesktopWindows, bool onScreenWindowsOnly,
                                           ContentCompletion completion) {
  const Script s = script();
  note(nullptr, [&] {
    return std::string("query exclude-desktop-windows=") + (excludeDesktopWindows ? "1" : "0") +
           " on-screen-windows-only=" + (onScreenWindowsOnly ? "1" : "0") + " -> " +
           outcomeName(s.query.outcome);
  });
  switch (s.query.outcome) {
    case Step::Outcome::hang: {
      std::lock_guard<std::mutex> hold(mutex_);
      hung_.push_back([completion] { completion(nullptr, nullptr); });
      return;
    }
    case Step::Outcome::none:
      return complete(s.query.delayMs, [completion] { completion(nullptr, nullptr); });
    case Step::Outcome::fail:
      return complete(s.query.delayMs,
                      [completion, d = s.query.description] { completion(nullptr, makeError(d)); });
    case Step::Outcome::ok:
      return complete(s.query.delayMs, [completion, n = s.displays] {
        auto content = std::make_shared<SimContent>();
        for (int i = 0; i < n; ++i) content->displays.push_back(std::make_shared<SimDisplay>(i));
        completion(std::move(content), nullptr);
      });
  }
}

std::vector<std::shared_ptr<Display>> SimulatedService::displays(ShareableContent& content) {
  return static_cast<SimContent&>(content).displays;
}

std::shared_ptr<ContentFilter> SimulatedService::makeContentFilter(Display& display) {
  const int index = static_cast<SimDisplay&>(display).index;
  note([&](Record& r) { r.filterDisplays.push_back(index); },
       [&] { return "filter display=" + std::to_string(index); });
  return std::make_shared<SimFilter>(index);
}

std::shared_ptr<Stream> SimulatedService::makeStream(ContentFilter&,
                                                     const StreamConfiguration& configuration,
                                                     StreamDelegate& delegate) {
  const StreamConfiguration& c = configuration;
  note([&](Record& r) { ++r.streamsMade; },
       [&] {
         return "stream audio=" + std::to_string(c.capturesAudio) +
                " channels=" + std::to_string(c.channelCount) +
                " exclude-own-audio=" + std::to_string(c.excludesCurrentProcessAudio) +
                " width=" + std::to_string(c.width) + " height=" + std::to_string(c.height) +
                " interval=" + std::to_string(c.minimumFrameInterval.value) + "/" +
                std::to_string(c.minimumFrameInterval.timescale) +
                " cursor=" + std::to_string(c.showsCursor);
       });
  return std::make_shared<SimStream>(*this, delegate);
}

bool SimulatedService::addStreamOutput(Stream& stream, StreamDelegate& output, OutputType type,
                                       SampleHandlerQueue queue, ErrorPtr& error) {
  const Script s = script();
  auto state = stateOf(stream);
  const bool isDelegate = &output == &state->delegate;
  const bool ok = s.output.outcome != Step::Outcome::fail;
  note(
      [&](Record& r) {
        r.outputs.push_back({type, queue, isDelegate});
      },
      [&] {
        return "output type=" + std::to_string(static_cast<int>(type)) + " queue=" +
               (queue == SampleHandlerQueue::globalUserInitiated ? "user-initiated" : "?") +
               " delegate=" + (isDelegate ? "1" : "0") + " -> " + (ok ? "ok" : "fail");
      });
  if (!ok) {
    error = makeError(s.output.description);
    return false;
  }
  // Screen buffers are never made, so only the audio output receives anything.
  if (type == OutputType::audio) {
    std::lock_guard<std::mutex> hold(state->mutex);
    state->output = &output;
  }
  return true;
}

void SimulatedService::startCapture(Stream& stream, ErrorCompletion completion) {
  Script s = script();
  note([](Record& r) { ++r.startsAsked; },
       [&] { return std::string("start -> ") + outcomeName(s.start.outcome); });
  if (s.start.outcome == Step::Outcome::hang) {
    std::lock_guard<std::mutex> hold(mutex_);
    hung_.push_back([completion] { completion(nullptr); });
    return;
  }
  if (s.start.outcome == Step::Outcome::fail) {
    return complete(s.start.delayMs,
                    [completion, d = s.start.description] { completion(makeError(d)); });
  }
  const int delay = s.start.delayMs;
  complete(delay, [this, completion, state = stateOf(stream), s = std::move(s)]() mutable {
    // Capture runs from here, so deliveries may reach the output before the completion has.
    state->begin(std::move(s));
    note([](Record& r) { ++r.capturesStarted; }, [] { return std::string("capture started"); });
    completion(nullptr);
  });
}

void SimulatedService::stopCapture(Stream& stream, ErrorCompletion completion) {
  const Script s = script();
  note([](Record& r) { ++r.stopsAsked; }, [] { return std::string("stop asked"); });
  complete(s.stop.delayMs, [this, completion, state = stateOf(stream), s] {
    state->shutDown();
    const bool ok = s.stop.outcome != Step::Outcome::fail;
    note([](Record& r) { ++r.stopsCompleted; },
         [&] { return std::string("stop completed -> ") + (ok ? "ok" : "fail"); });
    completion(ok ? nullptr : makeError(s.stop.description));
  });
}

std::string SimulatedService::localizedDescription(const Error& error) {
  return static_cast<const SimError&>(error).description;
}

bool SimulatedService::sampleBufferIsValid(SampleBuffer& buffer) {
  SimSampleBuffer& b = simBuffer(buffer);
  ++b.counts.validCalls;
  return b.delivery.fault != Fault::invalid;
}

bool SimulatedService::sampleBufferDataIsReady(SampleBuffer& buffer) {
  SimSampleBuffer& b = simBuffer(buffer);
  ++b.counts.readyCalls;
  return b.delivery.fault != Fault::notReady;
}

const FormatDescription* SimulatedService::sampleBufferFormatDescription(SampleBuffer& buffer) {
  SimSampleBuffer& b = simBuffer(buffer);
  ++b.counts.formatCalls;
  return b.delivery.fault == Fault::noFormat ? nullptr : &b.format;
}

bool SimulatedService::streamBasicDescription(const FormatDescription& format,
                                              StreamDescription& description) {
  SimSampleBuffer& b = *static_cast<const SimFormat&>(format).owner;
  ++b.counts.descriptionCalls;
  if (b.delivery.fault == Fault::noDescription) return false;
  description = b.delivery.format;
  return true;
}

std::int32_t SimulatedService::audioBufferListWithRetainedBlockBuffer(SampleBuffer& buffer,
                                                                      OneBufferList& list,
                                                                      BlockBuffer*& retainedBlock) {
  SimSampleBuffer& b = simBuffer(buffer);
  ++b.counts.listCalls;
  if (list.numberBuffers != 1 || list.buffer.numberChannels != 0 || list.buffer.dataByteSize != 0 ||
      list.buffer.data != nullptr || retainedBlock != nullptr) {
    b.counts.listPrepared = false;
  }
  const Fault fault = b.delivery.fault;
  if (fault == Fault::twoBuffers) return kBufferListTooSmall;

  auto* block = new SimBlock;
  block->owner = &b;
  block->ownerLive = b.live;
  // A zero-byte buffer still has somewhere to point.
  block->bytes.resize(std::max<std::uint32_t>(b.delivery.bytes, fault == Fault::zeroBytes));
  fillSamples(block->bytes, b, b.counts.index);
  ++b.counts.blocksRetained;
  retainedBlock = block;
  if (fault == Fault::listFail) return kListFailed;  // the block is retained all the same

  list.buffer.numberChannels = b.delivery.format.channelsPerFrame;
  list.buffer.dataByteSize = fault == Fault::zeroBytes ? 0 : b.delivery.bytes;
  list.buffer.data = fault == Fault::nullData ? nullptr : block->bytes.data();
  return kNoErr;
}

void SimulatedService::releaseBlockBuffer(BlockBuffer* block) {
  if (block == nullptr) return;
  auto* b = static_cast<SimBlock*>(block);
  if (b->ownerLive->load()) {
    ++b->owner->counts.blocksReleased;
  } else {
    note([](Record& r) { ++r.strayReleases; },
         [] { return std::string("block released after its delivery"); });
  }
  delete b;
}

}  // namespace zarn::platform::simulated
