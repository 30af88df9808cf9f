"""The wire format: frames out of a byte stream split anywhere, and audio blocks out of C frames."""

import struct
from typing import List, NamedTuple, Optional

from .errors import ProtocolError
from . import samples

HEADER = struct.Struct("<BI")  # type byte, payload length
CHUNK_HEADER = struct.Struct("<IBBBx")  # rate, channels, bits per channel, float flag, reserved
FRAME_TYPES = b"ROEC"
# Far above any block the helper writes; a length beyond it means the stream is corrupt, and
# must not become a huge allocation.
MAX_PAYLOAD = 16 << 20


class Frame(NamedTuple):
    type: str  # "R", "O", "E" or "C"
    payload: bytes


class FrameParser:
    """Hands back whole frames in order, whatever pieces the pipe delivers."""

    def __init__(self, max_payload: int = MAX_PAYLOAD):
        self._buffer = bytearray()
        self._max_payload = max_payload

    def feed(self, data: bytes) -> List[Frame]:
        self._buffer += data
        frames, offset = [], 0
        while len(self._buffer) - offset >= HEADER.size:
            kind, length = HEADER.unpack_from(self._buffer, offset)
            if kind not in FRAME_TYPES:
                raise ProtocolError(f"unknown frame type {kind} at a frame's start")
            if length > self._max_payload:
                raise ProtocolError(f"frame of {length} bytes, over the {self._max_payload} limit")
            end = offset + HEADER.size + length
            if end > len(self._buffer):
                break
            frames.append(Frame(chr(kind), bytes(self._buffer[offset + HEADER.size:end])))
            offset = end
        del self._buffer[:offset]
        return frames

    def finish(self) -> Optional[str]:
        """At the end of the stream: None if it ended between frames, else what was cut."""
        if not self._buffer:
            return None
        return f"the stream ended inside a frame ({len(self._buffer)} bytes of it)"


class AudioBlock:
    """One C frame: audio as the helper delivered it, and as float samples on demand.

    `samples` are 32-bit floats, channels interleaved (a NumPy array when NumPy is installed,
    an array('f') otherwise); integer samples are scaled to -1..1.
    """

    __slots__ = ("rate", "channels", "bits", "is_float", "data", "_samples")

    def __init__(self, rate, channels, bits, is_float, data):
        self.rate, self.channels, self.bits, self.is_float = rate, channels, bits, is_float
        self.data = data  # the sample bytes after the header, unchanged
        self._samples = None

    @classmethod
    def from_payload(cls, payload: bytes) -> "AudioBlock":
        if len(payload) < CHUNK_HEADER.size:
            raise ProtocolError(f"C frame of {len(payload)} bytes, shorter than its header")
        rate, channels, bits, is_float = CHUNK_HEADER.unpack_from(payload)
        return cls(rate, channels, bits, bool(is_float), payload[CHUNK_HEADER.size:])

    @property
    def format(self):
        return (self.rate, self.channels, self.bits, self.is_float)

    @property
    def frames(self) -> int:
        """Sample frames (one sample per channel) in the block."""
        width = self.channels * self.bits // 8
        return len(self.data) // width if width else 0

    @property
    def duration(self) -> float:
        return self.frames / self.rate if self.rate else 0.0

    @property
    def samples(self):
        if self._samples is None:
            self._samples = samples.to_float(self.data, self.bits, self.is_float, self.channels)
        return self._samples

    def __repr__(self):
        kind = "float" if self.is_float else "int"
        return (f"AudioBlock({self.frames} frames, {self.rate} Hz, {self.channels} ch, "
                f"{self.bits}-bit {kind})")
