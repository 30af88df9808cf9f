// One recording: takes the helper's audio chunks, resamples them if asked and writes them to the
// output file, which it opens on the first chunk (only then are rate and channels known) and keeps
// valid whatever ends the recording.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame_stream.h"
#include "options.h"

typedef struct sf_private_tag SNDFILE;
struct soxr;

namespace zarn::record {

class Recording {
 public:
  enum class Status { Continue, Done, Failed };

  Recording(std::string path, Container container, std::optional<unsigned> rate,
            std::optional<double> seconds);
  ~Recording();
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  // Done once the asked duration has been taken in (the chunk is cut to it); Failed on a format
  // change, an unusable format or a write error, with error() saying which. Later chunks are
  // ignored.
  Status addChunk(const parent::Chunk& chunk);

  // Flushes the resampler and closes the file. Returns "" or what went wrong. Idempotent.
  std::string close();

  const std::string& error() const { return error_; }
  bool fileOpened() const { return file_ != nullptr || closedWithFile_; }
  const std::optional<parent::ChunkFormat>& inputFormat() const { return inputFormat_; }
  unsigned outputRate() const { return outputRate_; }
  unsigned channels() const { return inputFormat_ ? inputFormat_->channels : 0; }

  std::uint64_t chunksReceived() const { return chunksReceived_; }
  std::uint64_t framesWritten() const { return framesWritten_; }
  double secondsWritten() const;
  // Seconds of audio taken in from the helper (ahead of secondsWritten() by the resampler's delay).
  double secondsReceived() const;
  // Largest absolute sample so far, and since the last call of takeRecentPeak().
  float peak() const { return peak_; }
  float takeRecentPeak();

 private:
  Status fail(std::string message);
  std::string open(const parent::ChunkFormat& format);
  bool write(const float* interleaved, std::size_t frames);
  bool flush();
  bool resampleAndWrite(const float* interleaved, std::size_t frames);

  std::string path_;
  Container container_;
  std::optional<unsigned> askedRate_;
  std::optional<double> seconds_;

  std::optional<parent::ChunkFormat> inputFormat_;
  unsigned outputRate_ = 0;
  std::uint64_t framesWanted_ = 0;   // input frames; 0 = no limit
  std::uint64_t framesTaken_ = 0;    // input frames
  std::uint64_t framesWritten_ = 0;  // output frames in the file
  std::uint64_t framesAtHeaderUpdate_ = 0;
  std::uint64_t chunksReceived_ = 0;
  float peak_ = 0;
  float recentPeak_ = 0;

  SNDFILE* file_ = nullptr;
  bool closedWithFile_ = false;
  soxr* resampler_ = nullptr;
  std::vector<float> floats_;
  std::vector<float> resampled_;
  std::vector<float> pending_;  // output frames not yet handed to the file
  bool finished_ = false;
  std::string error_;
};

// 20·log10(peak), or -inf for silence.
double toDbfs(float peak);

}  // namespace zarn::record
