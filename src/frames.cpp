#include "frames.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>

namespace zarn {

void writeFrame(std::uint8_t type, std::span<const std::uint8_t> payload) {
  if (payload.size() > std::numeric_limits<std::uint32_t>::max()) return;
  const auto header = frameHeader(type, static_cast<std::uint32_t>(payload.size()));
  std::lock_guard<StdoutLock> hold(*stdoutLock);
  if (!stdoutHandle->writeAll(header.data(), header.size())) return;
  if (!payload.empty()) stdoutHandle->writeAll(payload.data(), payload.size());
}

bool tryWriteFrameNow(std::uint8_t type, std::span<const std::uint8_t> head,
                      std::span<const std::uint8_t> body) noexcept {
  const std::size_t size = kFrameHeaderSize + head.size() + body.size();
  if (size > kWholeFrameMost) return false;
  std::uint8_t frame[kWholeFrameMost];
  const auto header = frameHeader(type, static_cast<std::uint32_t>(size - kFrameHeaderSize));
  std::memcpy(frame, header.data(), kFrameHeaderSize);
  if (!head.empty()) std::memcpy(frame + kFrameHeaderSize, head.data(), head.size());
  if (!body.empty()) std::memcpy(frame + kFrameHeaderSize + head.size(), body.data(), body.size());
  if (!stdoutLock->try_lock()) return false;
  const bool written = stdoutHandle->tryWriteWhole(frame, size);
  stdoutLock->unlock();  // wakes a writer that queued meanwhile (a pong): a wake-up, never a wait
  return written;
}

void sendError(std::string_view message) {
  if (!isValidUtf8(message)) message = {};
  writeFrame(kFrameError, {reinterpret_cast<const std::uint8_t*>(message.data()), message.size()});
}

bool isValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    unsigned char lead = *p++;
    if (lead < 0x80) continue;
    int more = 0;
    std::uint32_t code = 0;
    std::uint32_t least = 0;
    if ((lead & 0xE0) == 0xC0) {
      more = 1, code = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      more = 2, code = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      more = 3, code = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (end - p < more) return false;
    for (int i = 0; i < more; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      code = (code << 6) | (*p & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
  }
  return true;
}

void holdStdoutForExit(std::chrono::milliseconds limit) {
  // Deliberately never unlocked: the process ends while holding it.
  (void)stdoutLock->try_lock_for(limit);
}

}  // namespace zarn
