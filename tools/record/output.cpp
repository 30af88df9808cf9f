#include "output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace zarn::record {

std::optional<OutputTarget> OutputTarget::open(const Options& options, std::string& error) {
  std::optional<OutputTarget> target;
  if (options.toStandardOutput()) {
    target.emplace(OutputTarget(STDOUT_FILENO, "standard output", false));
  } else {
    const char* path = options.output.c_str();
    // Created here, or there before: only a file of our own is removed when no audio comes.
    int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    const bool created = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(path, O_WRONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
      error = "cannot write the recording to " + options.output + ": " + std::strerror(errno);
      return std::nullopt;
    }
    target.emplace(OutputTarget(fd, options.output, true));
    target->created_ = created;
  }
  if (std::string why = target->probe(options); !why.empty()) {
    error = "cannot write the recording to " + target->name_ + ": " + why;
    target->abandon();
    return std::nullopt;
  }
  return target;
}

OutputTarget OutputTarget::adopt(int fd, std::string name) {
  OutputTarget target(fd, std::move(name), false);
  struct stat st {};
  target.seekable_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  return target;
}

// What keeps this output from taking the recording, or "".
std::string OutputTarget::probe(const Options& options) {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return std::strerror(errno);
  seekable_ = S_ISREG(st.st_mode);
  // Standard output redirected to a file can get a header with the length only when the
  // recording is the whole file: not when appended to, or after what others wrote.
  if (!owned_ && seekable_) {
    seekable_ = ::lseek(fd_, 0, SEEK_CUR) == 0 && !(::fcntl(fd_, F_GETFL) & O_APPEND);
  }
  if (::isatty(fd_)) return "it is a terminal; send it to a file or a program";
  if (!seekable_ && (options.container == Container::Flac || options.container == Container::Ogg)) {
    return "FLAC and Ogg need a file they can go back in; use WAV or --raw for a stream";
  }
  // A device or pipe that cannot take bytes says so on an empty write (/dev/full: no space, a
  // pipe nobody reads: broken). A file's write errors come later, and stop the recording then.
  if (!seekable_ && ::write(fd_, "", 0) < 0) return std::strerror(errno);
  return {};
}

OutputTarget::OutputTarget(OutputTarget&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      name_(std::move(other.name_)),
      owned_(std::exchange(other.owned_, false)),
      created_(std::exchange(other.created_, false)),
      seekable_(other.seekable_) {}

OutputTarget::~OutputTarget() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

bool OutputTarget::begin(std::string& error) {
  if (owned_ && seekable_ && !created_ && ::ftruncate(fd_, 0) != 0) {
    error = "cannot write the recording to " + name_ + ": " + std::strerror(errno);
    return false;
  }
  created_ = false;  // from now on it holds the recording
  return true;
}

void OutputTarget::abandon() {
  if (created_) ::unlink(name_.c_str());
  created_ = false;
}

}  // namespace zarn::record
