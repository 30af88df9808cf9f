#include "recording.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "samples.h"

namespace zarn::record {

Recording::Recording(std::string path, Container container, std::optional<unsigned> rate,
                     std::optional<double> seconds)
    : path_(std::move(path)), container_(container), askedRate_(rate), seconds_(seconds) {}

Recording::~Recording() {
  close();
}

double toDbfs(float peak) {
  if (peak <= 0) return -INFINITY;
  return 20.0 * std::log10(static_cast<double>(peak));
}

double Recording::secondsWritten() const {
  return outputRate_ ? static_cast<double>(framesWritten_) / outputRate_ : 0.0;
}

double Recording::secondsReceived() const {
  return inputFormat_ ? static_cast<double>(framesTaken_) / inputFormat_->sampleRate : 0.0;
}

float Recording::takeRecentPeak() {
  return std::exchange(recentPeak_, 0.0f);
}

Recording::Status Recording::fail(std::string message) {
  error_ = std::move(message);
  finished_ = true;
  return Status::Failed;
}

std::string Recording::open(const parent::ChunkFormat& format) {
  SF_INFO info{};
  info.samplerate = static_cast<int>(outputRate_);
  info.channels = format.channels;
  switch (container_) {
    case Container::Wav:
      info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
      break;
    case Container::Flac:
      info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
      break;
    case Container::Ogg:
      info.format = SF_FORMAT_OGG | SF_FORMAT_VORBIS;
      break;
  }
  if (!sf_format_check(&info)) {
    return "cannot write " + std::string(containerName(container_)) + " at " +
           std::to_string(outputRate_) + " Hz with " + std::to_string(format.channels) +
           " channels";
  }
  file_ = sf_open(path_.c_str(), SFM_WRITE, &info);
  if (!file_) return "cannot create " + path_ + ": " + sf_strerror(nullptr);
  // Integer formats: clip rather than wrap a sample that overshoots full scale.
  sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);

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

Recording::Status Recording::addChunk(const parent::Chunk& chunk) {
  if (finished_) return error_.empty() ? Status::Done : Status::Failed;
  ++chunksReceived_;
  const parent::ChunkFormat& format = chunk.format;

  if (!inputFormat_) {
    if (auto why = unsupportedFormat(format)) {
      return fail("cannot record audio of " + *why + " (" + describeFormat(format) + ")");
    }
    inputFormat_ = format;
    outputRate_ = askedRate_.value_or(format.sampleRate);
    if (seconds_) {
      framesWanted_ = std::max<std::uint64_t>(
          1, static_cast<std::uint64_t>(std::llround(*seconds_ * format.sampleRate)));
    }
    if (std::string why = open(format); !why.empty()) return fail(why);
  } else if (!(format == *inputFormat_)) {
    // One file holds one rate and channel count; mixing them would be a lie about the audio.
    return fail("audio format changed mid-stream from " + describeFormat(*inputFormat_) + " to " +
                describeFormat(format) + "; the recording stops there");
  }

  const std::size_t frameBytes = bytesPerFrame(format);
  if (chunk.samples.size() % frameBytes != 0) {
    return fail("audio chunk of " + std::to_string(chunk.samples.size()) +
                " bytes is not a whole number of " + std::to_string(frameBytes) + "-byte frames");
  }
  std::size_t frames = chunk.samples.size() / frameBytes;
  bool done = false;
  if (framesWanted_ && framesTaken_ + frames >= framesWanted_) {
    frames = static_cast<std::size_t>(framesWanted_ - framesTaken_);
    done = true;
  }

  floats_.clear();
  appendAsFloat(format, chunk.samples.first(frames * frameBytes), floats_);
  float chunkPeak = 0;
  for (float v : floats_) chunkPeak = std::max(chunkPeak, std::fabs(v));
  peak_ = std::max(peak_, chunkPeak);
  recentPeak_ = std::max(recentPeak_, chunkPeak);
  framesTaken_ += frames;

  const bool ok =
      resampler_ ? resampleAndWrite(floats_.data(), frames) : write(floats_.data(), frames);
  if (!ok) return Status::Failed;
  if (done) {
    finished_ = true;
    return Status::Done;
  }
  return Status::Continue;
}

bool Recording::write(const float* interleaved, std::size_t frames) {
  pending_.insert(pending_.end(), interleaved, interleaved + frames * inputFormat_->channels);
  // Gather a tenth of a second per file write: a block from the helper is often only a few
  // milliseconds long, and one write each would cost more than the helper's own work.
  if (pending_.size() / inputFormat_->channels >= outputRate_ / 10) return flush();
  return true;
}

bool Recording::flush() {
  const std::size_t frames = pending_.size() / inputFormat_->channels;
  if (frames == 0) return true;
  const sf_count_t n = sf_writef_float(file_, pending_.data(), static_cast<sf_count_t>(frames));
  pending_.clear();
  if (n > 0) framesWritten_ += static_cast<std::uint64_t>(n);
  if (n != static_cast<sf_count_t>(frames)) {
    fail("cannot write to " + path_ + ": " + sf_strerror(file_));
    return false;
  }
  // Keep the WAV header current about once a second, so even a recorder killed outright leaves
  // a file that plays up to that point.
  if (container_ == Container::Wav && framesWritten_ - framesAtHeaderUpdate_ >= outputRate_) {
    sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    framesAtHeaderUpdate_ = framesWritten_;
  }
  return true;
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
  if (!file_) return {};
  std::string problem;
  if (resampler_) {
    if (!resampleAndWrite(nullptr, 0)) problem = error_;
    soxr_delete(resampler_);
    resampler_ = nullptr;
  }
  if (!flush() && problem.empty()) problem = error_;
  if (sf_close(file_) != 0 && problem.empty()) problem = "cannot finish " + path_;
  file_ = nullptr;
  closedWithFile_ = true;
  finished_ = true;
  return problem;
}

}  // namespace zarn::record
