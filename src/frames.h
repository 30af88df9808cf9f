// The frame writer: the only code that puts bytes on standard output. A frame is a type byte, a
// 32-bit little-endian payload length and the payload.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string_view>

#include "platform/std_handles.h"
#include "stdout_lock.h"
#include "wire_format.h"

namespace zarn {

// Process-wide, created once by start-up before any frame can be written, never destroyed.
// stdoutLock is held for each whole frame.
inline StdoutLock* stdoutLock = nullptr;
inline platform::OutputHandle* stdoutHandle = nullptr;

// Writes one frame: the 5-byte header and the payload as two writes, both under stdoutLock. A
// payload too long for the length field is not written at all. The caller must not hold the lock.
void writeFrame(std::uint8_t type, std::span<const std::uint8_t> payload = {});

// For a thread that must never wait (a real-time one): the frame whole, header and both payload
// parts, in one write that cannot block, or nothing (false; the caller then writes it the ordinary
// way). Tries stdoutLock only, and writes only where the output allows such a write (see
// OutputHandle::tryWriteWhole) and the frame is at most kWholeFrameMost bytes. Allocates nothing.
inline constexpr std::size_t kWholeFrameMost = platform::OutputHandle::kWholeWriteMost;
bool tryWriteFrameNow(std::uint8_t type, std::span<const std::uint8_t> head,
                      std::span<const std::uint8_t> body) noexcept;

// Writes an E frame with the message's UTF-8 bytes; a message that is not valid UTF-8 gives an
// empty payload.
void sendError(std::string_view message);

bool isValidUtf8(std::string_view text);

// For the quit task: waits up to the limit for a frame in progress to finish and then keeps
// stdoutLock, so exit never cuts a frame and no new one starts. After the limit it gives up
// waiting, since a parent that stopped reading must not hang quit.
void holdStdoutForExit(std::chrono::milliseconds limit);

}  // namespace zarn
