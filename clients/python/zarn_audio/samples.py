"""Float samples in the container the caller has: NumPy when it is installed, array('f') if not."""

import array
import sys
import wave

try:
    import numpy
except ImportError:  # the standard library is enough; NumPy only changes the container
    numpy = None

# (bits, is_float) -> struct-style code of one sample, and the scale that maps it to -1..1.
_FORMATS = {
    (32, True): ("f", 1.0),
    (64, True): ("d", 1.0),
    (16, False): ("h", 1.0 / 32768),
    (32, False): ("i", 1.0 / 2147483648),
    (24, False): (None, 1.0 / 8388608),  # packed in three bytes, least significant first
}


def to_float(data: bytes, bits: int, is_float: bool, channels: int):
    """The samples of a block as 32-bit floats, channels interleaved as delivered."""
    try:
        code, scale = _FORMATS[(bits, is_float)]
    except KeyError:
        kind = "float" if is_float else "integer"
        raise ValueError(f"no conversion for {bits}-bit {kind} samples") from None
    width = max(channels, 1) * bits // 8
    if width == 0 or len(data) % width:
        raise ValueError(f"{len(data)} bytes are not whole frames of {channels} x {bits} bits")
    if code is None:
        return _from_int24(data, scale)
    if numpy is not None:
        values = numpy.frombuffer(data, dtype=code)
        if code == "f":
            return values.copy()  # writable, and free of the frame it came from
        return values.astype(numpy.float32) * numpy.float32(scale)
    values = array.array(code, data)
    return values if code == "f" else array.array("f", (v * scale for v in values))


def _from_int24(data: bytes, scale: float):
    if numpy is not None:
        raw = numpy.frombuffer(data, dtype=numpy.uint8).reshape(-1, 3).astype(numpy.int32)
        values = raw[:, 0] | (raw[:, 1] << 8) | (raw[:, 2] << 16)
        values = numpy.where(values >= 1 << 23, values - (1 << 24), values)
        return values.astype(numpy.float32) * numpy.float32(scale)
    out = array.array("f")
    for i in range(0, len(data), 3):
        out.append(int.from_bytes(data[i:i + 3], "little", signed=True) * scale)
    return out


def empty():
    return numpy.zeros(0, dtype=numpy.float32) if numpy is not None else array.array("f")


def join(parts):
    """One container of the pieces, in order."""
    if numpy is not None:
        return numpy.concatenate(parts) if parts else empty()
    out = array.array("f")
    for part in parts:
        out.extend(part)
    return out


def write_wav(path, samples, rate: int, channels: int = 1) -> None:
    """Writes float samples (channels interleaved) as a 16-bit PCM WAV file, clipping at full scale."""
    if numpy is not None:
        pcm = (numpy.clip(numpy.asarray(samples, dtype=numpy.float32), -1.0, 1.0) * 32767)
        frames = pcm.astype("<i2").tobytes()
    else:
        pcm = array.array("h", (int(max(-1.0, min(1.0, v)) * 32767) for v in samples))
        if sys.byteorder == "big":
            pcm.byteswap()
        frames = pcm.tobytes()
    with wave.open(str(path), "wb") as out:
        out.setnchannels(channels)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(frames)
