// Reads a recording back with libsndfile, for the recorder's tests.
#pragma once

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>
#include <vector>

namespace zarn::test {

struct SoundFile {
  SF_INFO info{};
  std::vector<float> samples;  // interleaved
  double seconds() const { return info.samplerate ? double(info.frames) / info.samplerate : 0; }
};

// Every frame the file holds; a file that does not open reads as empty (and fails the test).
inline SoundFile readSoundFile(const std::string& path) {
  SoundFile f;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &f.info);
  if (!file) return ADD_FAILURE() << path << ": " << sf_strerror(nullptr), SoundFile{};
  f.samples.resize(static_cast<std::size_t>(f.info.frames * f.info.channels));
  EXPECT_EQ(sf_readf_float(file, f.samples.data(), f.info.frames), f.info.frames) << path;
  sf_close(file);
  return f;
}

}  // namespace zarn::test
