// Where the audio goes: a file or standard output, opened and tried before the helper starts, so
// that a path that cannot take a recording fails at once, not after the sound server was asked.
#pragma once

#include <optional>
#include <string>

#include "options.h"

namespace zarn::record {

class OutputTarget {
 public:
  // Opens options.output ("-": standard output) for writing, without truncating a file that is
  // already there. On failure returns none and sets error to one line with the system's reason.
  static std::optional<OutputTarget> open(const Options& options, std::string& error);
  // A descriptor that is already open (tests: a pipe); not closed at the end.
  static OutputTarget adopt(int fd, std::string name);

  OutputTarget(OutputTarget&& other) noexcept;
  OutputTarget& operator=(OutputTarget&&) = delete;
  ~OutputTarget();

  int fd() const { return fd_; }
  // "standard output" or the path, for messages.
  const std::string& name() const { return name_; }
  // A regular file: a header can be rewritten with the final length.
  bool seekable() const { return seekable_; }

  // Audio has come: an existing file's old content goes.
  bool begin(std::string& error);
  // No audio came: a file this program created goes again; an existing one is left as it was.
  void abandon();

 private:
  OutputTarget(int fd, std::string name, bool owned)
      : fd_(fd), name_(std::move(name)), owned_(owned) {}
  std::string probe(const Options& options);

  int fd_ = -1;
  std::string name_;
  bool owned_ = false;    // ours to close
  bool created_ = false;  // did not exist before
  bool seekable_ = false;
};

}  // namespace zarn::record
