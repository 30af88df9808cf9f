#include "audio_writer.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

namespace zarn::record {

namespace {

int subformat(const WriterFormat& format) {
  if (format.container == Container::Ogg) return SF_FORMAT_VORBIS;
  if (format.bits == 32) return SF_FORMAT_FLOAT;
  return format.bits == 24 ? SF_FORMAT_PCM_24 : SF_FORMAT_PCM_16;
}

void put(std::vector<unsigned char>& out, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// A WAV header for a stream: the lengths say "as long as there is", as for any pipe, and
// readers (sox, ffmpeg, Python's wave) read on to the end of the stream.
std::vector<unsigned char> streamHeader(const WriterFormat& format) {
  const bool isFloat = format.bits == 32;
  const std::uint32_t blockAlign = format.channels * format.bits / 8;
  std::vector<unsigned char> h;
  const auto tag = [&h](const char* text) {
    for (int i = 0; i < 4; ++i) h.push_back(static_cast<unsigned char>(text[i]));
  };
  tag("RIFF"), put(h, 0xFFFFFFFF, 4), tag("WAVE");
  tag("fmt "), put(h, isFloat ? 18 : 16, 4);
  put(h, isFloat ? 3 : 1, 2), put(h, format.channels, 2), put(h, format.rate, 4);
  put(h, format.rate * blockAlign, 4), put(h, blockAlign, 2), put(h, format.bits, 2);
  if (isFloat) put(h, 0, 2);  // a non-PCM format chunk carries its extension size
  tag("data"), put(h, 0xFFFFFFFF, 4);
  return h;
}

bool writeAll(int fd, const std::vector<unsigned char>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Samples in [-1, 1] as little-endian 16- or 24-bit integers or 32-bit floats.
void encode(const float* samples, std::size_t count, unsigned bits,
            std::vector<unsigned char>& out) {
  out.clear();
  const float scale = bits == 16 ? 32767.0f : 8388607.0f;
  for (std::size_t i = 0; i < count; ++i) {
    std::uint32_t word = 0;
    if (bits == 32) {
      std::memcpy(&word, &samples[i], 4);
    } else {
      word = static_cast<std::uint32_t>(std::lrint(std::clamp(samples[i], -1.0f, 1.0f) * scale));
    }
    put(out, word, static_cast<int>(bits / 8));
  }
}

}  // namespace

std::unique_ptr<AudioWriter> AudioWriter::open(const OutputTarget& target,
                                               const WriterFormat& format, std::string& error) {
  const std::string what =
      "cannot write " + formatName(format.container, format.bits) + " to " + target.name() + ": ";
  // libsndfile writes no WAV to a pipe: a stream gets our header and samples of our own.
  if (format.container == Container::Raw ||
      (format.container == Container::Wav && !target.seekable())) {
    if (format.container == Container::Wav && !writeAll(target.fd(), streamHeader(format))) {
      error = what + std::strerror(errno);
      return nullptr;
    }
    return std::unique_ptr<AudioWriter>(new AudioWriter(nullptr, target, format));
  }
  SF_INFO info{};
  info.samplerate = static_cast<int>(format.rate);
  info.channels = static_cast<int>(format.channels);
  info.format = (format.container == Container::Wav    ? SF_FORMAT_WAV
                 : format.container == Container::Flac ? SF_FORMAT_FLAC
                                                       : SF_FORMAT_OGG) |
                subformat(format);
  if (!sf_format_check(&info)) {
    error = what + "not at " + std::to_string(format.rate) + " Hz with " +
            std::to_string(format.channels) + " channels";
    return nullptr;
  }
  SNDFILE* file = sf_open_fd(target.fd(), SFM_WRITE, &info, SF_FALSE);
  if (!file) {
    error = what + sf_strerror(nullptr);
    return nullptr;
  }
  // Integer formats: clip rather than wrap a sample that overshoots full scale.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  return std::unique_ptr<AudioWriter>(new AudioWriter(file, target, format));
}

AudioWriter::AudioWriter(SNDFILE* file, const OutputTarget& target, const WriterFormat& format)
    : file_(file),
      fd_(target.fd()),
      name_(target.name()),
      format_(format),
      updateHeader_(format.container == Container::Wav && target.seekable()),
      cutAtError_(target.seekable() &&
                  (format.container == Container::Flac || format.container == Container::Ogg)),
      wholeBytes_(cutAtError_ ? ::lseek(fd_, 0, SEEK_CUR) : -1) {}

AudioWriter::~AudioWriter() {
  close();
}

bool AudioWriter::write(const float* interleaved, std::size_t frames) {
  if (closed_ || !error_.empty()) return false;
  if (!file_) {
    encode(interleaved, frames * format_.channels, format_.bits, bytes_);
    if (!writeAll(fd_, bytes_)) {
      error_ = "cannot write to " + name_ + ": " + std::strerror(errno);
      return false;
    }
    framesWritten_ += frames;
    return true;
  }
  errno = 0;
  const sf_count_t n = sf_writef_float(file_, interleaved, static_cast<sf_count_t>(frames));
  const int writeErrno = errno;
  if (n > 0) framesWritten_ += static_cast<std::uint64_t>(n);
  if (n == static_cast<sf_count_t>(frames) && cutAtError_) {
    wholeBytes_ = ::lseek(fd_, 0, SEEK_CUR);
  } else if (n != static_cast<sf_count_t>(frames)) {
    error_ = "cannot write to " + name_ + ": " +
             (writeErrno ? std::strerror(writeErrno) : sf_strerror(file_));
    return false;
  }
  // Keep the WAV header current about once a second, so even a recorder killed outright leaves
  // a file that plays up to that point.
  if (updateHeader_ && framesWritten_ - framesAtHeaderUpdate_ >= format_.rate) {
    sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
    framesAtHeaderUpdate_ = framesWritten_;
  }
  return true;
}

std::string AudioWriter::close() {
  if (closed_) return {};
  closed_ = true;
  const int failed = file_ ? sf_close(file_) : 0;
  file_ = nullptr;
  // FLAC and Ogg are read frame by frame, and a frame cut by a write error (or half-written on
  // closing after it) would end the file in a decoding error: it ends at the last whole one.
  if (!error_.empty() && cutAtError_ && wholeBytes_ >= 0) (void)::ftruncate(fd_, wholeBytes_);
  if (failed != 0 && error_.empty()) error_ = "cannot finish " + name_;
  return error_;
}

}  // namespace zarn::record
