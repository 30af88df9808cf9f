// One recording: takes the helper's audio chunks, resamples them if asked and writes them to the
// output, which it starts on the first chunk (only then are rate and channels known) and keeps
// valid whatever ends the recording.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio_writer.h"
#include "frame_stream.h"
#include "options.h"
#include "output.h"

struct soxr;

namespace zarn::record {

class Recording {
 public:
  enum class Status { Continue, Done, Failed };

  // The target must outlive the recording.
  Recording(const Options& options, OutputTarget& target);
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // Done once the asked duration has been taken in (the chunk is cut to it); Failed on a format
  // change, an unusable format or a write error, with error() saying which. Later chunks are
  // ignored.
  Status addChunk(const tools::Chunk& chunk);

  // Flushes the resampler and closes the output (a file made for a recording that never got
  // audio is removed). Returns "" or what went wrong. Idempotent.
  std::string close();

  const std::string& error() const { return error_; }
  bool hasAudio() const { return writer_ != nullptr; }
  const std::optional<tools::ChunkFormat>& inputFormat() const { return inputFormat_; }
  unsigned outputRate() const { return outputRate_; }

  std::uint64_t chunksReceived() const { return chunksReceived_; }
  std::uint64_t framesWritten() const { return writer_ ? writer_->framesWritten() : 0; }
  double secondsWritten() const;
  // Samples beyond full scale, clipped unless the output is floating point.
  std::uint64_t samplesOverFullScale() const { return overFullScale_; }
  // Largest absolute sample so far, and since the last call of takeRecentPeak().
  float peak() const { return peak_; }
  float takeRecentPeak();

 private:
  Status fail(std::string message);
  std::optional<Status> accept(const tools::ChunkFormat& format);
  std::string start(const tools::ChunkFormat& format);
  std::size_t takeFrames(const tools::Chunk& chunk, bool& done);
  bool write(const float* interleaved, std::size_t frames);
  bool flush();
  bool resampleAndWrite(const float* interleaved, std::size_t frames);

  const Options& options_;
  OutputTarget& target_;
  bool clip_;

  std::optional<tools::ChunkFormat> inputFormat_;
  unsigned outputRate_ = 0;
  std::uint64_t framesWanted_ = 0;  // input frames; 0 = no limit
  std::uint64_t framesTaken_ = 0;   // input frames
  std::uint64_t chunksReceived_ = 0;
  std::uint64_t overFullScale_ = 0;
  float peak_ = 0;
  float recentPeak_ = 0;

  std::unique_ptr<AudioWriter> writer_;
  soxr* resampler_ = nullptr;
  std::vector<float> floats_;
  std::vector<float> resampled_;
  std::vector<float> pending_;  // output frames not yet handed to the writer
  bool finished_ = false;
  bool closed_ = false;
  std::string error_;
};

// 20·log10(peak), or -inf for silence.
double toDbfs(float peak);

}  // namespace zarn::record
