// Writes float samples to the output in the chosen container and sample width: files through
// libsndfile; a stream (WAV on a pipe, whose header leaves the length open, or raw samples) as
// little-endian bytes of our own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "output.h"

typedef struct sf_private_tag SNDFILE;

namespace zarn::record {

struct WriterFormat {
  Container container = Container::Wav;
  unsigned bits = 16;
  unsigned rate = 0;
  unsigned channels = 0;
};

class AudioWriter {
 public:
  // On failure returns null and sets error.
  static std::unique_ptr<AudioWriter> open(const OutputTarget& target, const WriterFormat& format,
                                           std::string& error);
  ~AudioWriter();
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  // Interleaved samples in [-1, 1]; false on a write error, with error() saying which. What was
  // written before stays playable.
  bool write(const float* interleaved, std::size_t frames);
  // Puts the final length into the header; "" or what went wrong. Idempotent.
  std::string close();

  const std::string& error() const { return error_; }
  std::uint64_t framesWritten() const { return framesWritten_; }

 private:
  AudioWriter(SNDFILE* file, const OutputTarget& target, const WriterFormat& format);

  SNDFILE* file_;  // none for a stream: WAV to a pipe, or raw samples
  int fd_;
  std::string name_;
  WriterFormat format_;
  bool updateHeader_;                 // a WAV file whose header can be kept current
  bool cutAtError_;                   // a file of frames that must be whole
  long long wholeBytes_;              // its size after the last write that went through
  std::vector<unsigned char> bytes_;  // a stream's samples, encoded
  bool closed_ = false;
  std::uint64_t framesWritten_ = 0;
  std::uint64_t framesAtHeaderUpdate_ = 0;
  std::string error_;
};

}  // namespace zarn::record
