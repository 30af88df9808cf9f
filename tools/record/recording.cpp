#include "recording.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "samples.h"

namespace zarn::record {

Recording::Recording(const Options& options, OutputTarget& target)
    : options_(options),
      target_(target),
      // Floating point keeps what overshoots; every other format has a ceiling.
      clip_(!(options.bits == 32 && options.container != Container::Ogg)) {}

Recording::~Recording() {
  close();
}

double toDbfs(float peak) {
  if (peak <= 0) return -INFINITY;
  return 20.0 * std::log10(static_cast<double>(peak));
}

double Recording::secondsWritten() const {
  return outputRate_ ? static_cast<double>(framesWritten()) / outputRate_ : 0.0;
}

float Recording::takeRecentPeak() {
  return std::exchange(recentPeak_, 0.0f);
}

Recording::Status Recording::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  finished_ = true;
  return Status::Failed;
}

std::string Recording::start(const tools::ChunkFormat& format) {
  if (std::string error; !target_.begin(error)) return error;
  const WriterFormat out{options_.container, options_.bits, outputRate_, format.channels};
  std::string error;
  writer_ = AudioWriter::open(target_, out, error);
  if (!writer_) return error;
  if (outputRate_ != format.sampleRate) {
    soxr_error_t err = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    resampler_ =
        soxr_create(format.sampleRate, outputRate_, format.channels, &err, &io, &quality, nullptr);
    if (!resampler_) return std::string("cannot set up resampling: ") + (err ? err : "unknown");
  }
  return {};
}

// The first chunk's format starts the output; a later one must be the same. None: go on.
std::optional<Recording::Status> Recording::accept(const tools::ChunkFormat& format) {
  if (inputFormat_) {
    if (format == *inputFormat_) return std::nullopt;
    // One file holds one rate and channel count; mixing them would be a lie about the audio.
    return fail("audio format changed mid-stream from " + describeFormat(*inputFormat_) + " to " +
                describeFormat(format) + "; the recording stops there");
  }
  if (auto why = unsupportedFormat(format)) {
    return fail("cannot record audio of " + *why + " (" + describeFormat(format) + ")");
  }
  inputFormat_ = format;
  outputRate_ = options_.rate.value_or(format.sampleRate);
  if (options_.seconds) {
    framesWanted_ = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::llround(*options_.seconds * format.sampleRate)));
  }
  if (std::string why = start(format); !why.empty()) return fail(why);
  return std::nullopt;
}

// Frames of the chunk to record, cut at the asked duration (done is then set).
std::size_t Recording::takeFrames(const tools::Chunk& chunk, bool& done) {
  std::size_t frames = chunk.samples.size() / bytesPerFrame(chunk.format);
  if (framesWanted_ && framesTaken_ + frames >= framesWanted_) {
    frames = static_cast<std::size_t>(framesWanted_ - framesTaken_);
    done = true;
  }
  framesTaken_ += frames;
  return frames;
}

Recording::Status Recording::addChunk(const tools::Chunk& chunk) {
  if (finished_) return error_.empty() ? Status::Done : Status::Failed;
  ++chunksReceived_;
  if (auto status = accept(chunk.format)) return *status;
  const std::size_t frameBytes = bytesPerFrame(chunk.format);
  if (chunk.samples.size() % frameBytes != 0) {
    return fail("audio chunk of " + std::to_string(chunk.samples.size()) +
                " bytes is not a whole number of " + std::to_string(frameBytes) + "-byte frames");
  }
  bool done = false;
  const std::size_t frames = takeFrames(chunk, done);
  floats_.clear();
  appendAsFloat(chunk.format, chunk.samples.first(frames * frameBytes), floats_);
  float chunkPeak = 0;
  for (float v : floats_) chunkPeak = std::max(chunkPeak, std::fabs(v));
  peak_ = std::max(peak_, chunkPeak);
  recentPeak_ = std::max(recentPeak_, chunkPeak);

  const bool ok =
      resampler_ ? resampleAndWrite(floats_.data(), frames) : write(floats_.data(), frames);
  if (!ok) return Status::Failed;
  if (done) finished_ = true;
  return done ? Status::Done : Status::Continue;
}

bool Recording::write(const float* interleaved, std::size_t frames) {
  const std::size_t start = pending_.size();
  pending_.insert(pending_.end(), interleaved, interleaved + frames * inputFormat_->channels);
  overFullScale_ += limitToFullScale(std::span(pending_).subspan(start), clip_);
  // Gather a tenth of a second per write: a block from the helper is often only a few
  // milliseconds long, and one write each would cost more than the helper's own work.
  if (pending_.size() / inputFormat_->channels >= outputRate_ / 10) return flush();
  return true;
}

bool Recording::flush() {
  const std::size_t frames = pending_.size() / inputFormat_->channels;
  const bool ok = frames == 0 || writer_->write(pending_.data(), frames);
  pending_.clear();
  if (!ok) fail(writer_->error());
  return ok;
}

bool Recording::resampleAndWrite(const float* interleaved, std::size_t frames) {
  const unsigned channels = inputFormat_->channels;
  const double ratio = static_cast<double>(outputRate_) / inputFormat_->sampleRate;
  const std::size_t room = static_cast<std::size_t>(std::ceil(frames * ratio)) + 64;
  resampled_.resize(room * channels);
  // A null input with length 0 asks soxr to flush what it holds back.
  const bool flushing = interleaved == nullptr;
  std::size_t offset = 0;
  for (;;) {
    std::size_t used = 0;
    std::size_t produced = 0;
    soxr_error_t err =
        soxr_process(resampler_, flushing ? nullptr : interleaved + offset * channels,
                     frames - offset, &used, resampled_.data(), room, &produced);
    if (err) {
      fail(std::string("resampling failed: ") + err);
      return false;
    }
    offset += used;
    if (!write(resampled_.data(), produced)) return false;
    if (flushing ? produced == 0 : (offset >= frames && produced < room)) return true;
  }
}

std::string Recording::close() {
  if (closed_) return {};
  closed_ = true;
  finished_ = true;
  if (!writer_) {
    target_.abandon();
    return {};
  }
  // After a write error nothing more goes out: the file stays as it was at the error.
  if (writer_->error().empty() && resampler_) resampleAndWrite(nullptr, 0);
  if (writer_->error().empty()) flush();
  if (resampler_) soxr_delete(resampler_);
  resampler_ = nullptr;
  const std::string closing = writer_->close();
  if (error_.empty()) error_ = closing;
  return error_;
}

}  // namespace zarn::record
