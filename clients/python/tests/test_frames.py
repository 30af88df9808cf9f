# The frame parser against the golden transcripts and broken streams, and the audio conversion,
# without a helper.

import array
import hashlib
import json
import struct

import pytest

from conftest import SOURCE_DIR
from zarn_audio import AudioBlock, FrameParser, ProtocolError, samples

TRANSCRIPTS = sorted((SOURCE_DIR / "docs" / "transcripts").glob("*.json"))
assert len(TRANSCRIPTS) >= 10, "docs/transcripts/ has lost its cases"


def describe(frame):
    # A frame as the transcripts' .json files write it.
    if frame.type != "C":
        return {"type": "E", "text": frame.payload.decode()} if frame.type == "E" else \
            {"type": frame.type}
    block = AudioBlock.from_payload(frame.payload)
    return {"type": "C", **dict(zip(["rate", "channels", "bits", "float"], block.format)),
            "bytes": len(block.data), "sha256": hashlib.sha256(block.data).hexdigest()}


@pytest.mark.parametrize("case", TRANSCRIPTS, ids=lambda path: path.stem)
def test_transcript_replays_whole_byte_by_byte_and_split_anywhere(case):
    expected = json.loads(case.read_text(encoding="utf-8"))["frames"]
    out = case.with_suffix(".out").read_bytes()
    # Whole, a byte at a time, and two reads cut at every boundary where that stays quick.
    splits = [[out], [out[i:i + 1] for i in range(len(out))]]
    splits += [[out[:cut], out[cut:]] for cut in range(1, len(out) if len(out) < 20000 else 1)]
    for pieces in splits:
        parser = FrameParser()
        frames = [frame for piece in pieces for frame in parser.feed(piece)]
        assert [describe(f) for f in frames] == expected and parser.finish() is None


@pytest.mark.parametrize("stream, error", [
    (b"X\0\0\0\0", "unknown frame type 88"),
    (b"C" + struct.pack("<I", 64 << 20), "over the"),
    (b"C\3\0\0\0abc", "shorter than its header"),
])
def test_malformed_streams_raise_and_a_cut_one_says_so(stream, error):
    with pytest.raises(ProtocolError, match=error):
        for frame in FrameParser().feed(stream):
            AudioBlock.from_payload(frame.payload)
    parser = FrameParser()
    assert parser.feed(b"O\0\0\0\0E\5\0\0\0ab") == [("O", b"")]
    assert parser.finish() == "the stream ended inside a frame (7 bytes of it)"


@pytest.mark.parametrize("numpy", [samples.numpy, None], ids=["numpy", "array"])
@pytest.mark.parametrize("bits, is_float, data, expected", [
    (32, True, struct.pack("=2f", 0.25, -1.5), [0.25, -1.5]),
    (64, True, struct.pack("=2d", 0.5, -0.125), [0.5, -0.125]),
    (16, False, struct.pack("=3h", 16384, -32768, 1), [0.5, -1.0, 1 / 32768]),
    (32, False, struct.pack("=2i", -1073741824, 2147483647), [-0.5, 2147483647 / 2147483648]),
    (24, False, bytes([0, 0, 0x40, 0, 0, 0x80, 0xFF, 0xFF, 0xFF]), [0.5, -1.0, -1 / 8388608]),
])
def test_samples_become_floats(monkeypatch, numpy, bits, is_float, data, expected):
    assert samples.numpy is not None, "NumPy is not installed (Debian: python3-numpy)"
    monkeypatch.setattr(samples, "numpy", numpy)
    values = samples.to_float(data, bits, is_float, 1)
    assert isinstance(values, array.array) == (numpy is None)
    assert list(values) == pytest.approx(expected, rel=1e-6)
