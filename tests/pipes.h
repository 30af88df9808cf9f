// Pipes for tests and benchmarks with plain POSIX calls, so they build wherever the program does.
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace zarn::test {

// A pipe whose ends close on exec; O_NONBLOCK in `flags` makes both ends non-blocking. A pipe
// that can hold `capacity` bytes where the system lets us size it, for writers that should rarely
// wait on a reader that comes late.
inline bool openPipe(int fds[2], int flags = 0, [[maybe_unused]] int capacity = 0) {
  if (::pipe(fds) != 0) return false;
  for (int i = 0; i < 2; ++i)
    ::fcntl(fds[i], F_SETFD, FD_CLOEXEC), ::fcntl(fds[i], F_SETFL, flags & O_NONBLOCK);
#ifdef F_SETPIPE_SZ
  if (capacity > 0) ::fcntl(fds[1], F_SETPIPE_SZ, capacity);
#endif
  return true;
}

}  // namespace zarn::test
