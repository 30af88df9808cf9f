"""The frame parser, the audio conversion and read()'s gathering, without a helper."""

import array
import hashlib
import json
import struct

import pytest

from conftest import SOURCE_DIR
from zarn_audio import AudioBlock, FrameParser, HelperError, ProtocolError, samples
from zarn_audio.session import Gather, Session

TRANSCRIPTS = sorted((SOURCE_DIR / "docs" / "transcripts").glob("*.json"))


def describe(frame):
    """A frame as the transcripts' .json files write it."""
    if frame.type == "E":
        return {"type": "E", "text": frame.payload.decode("utf-8")}
    if frame.type != "C":
        return {"type": frame.type}
    block = AudioBlock.from_payload(frame.payload)
    return {"type": "C", "rate": block.rate, "channels": block.channels, "bits": block.bits,
            "float": block.is_float, "bytes": len(block.data),
            "sha256": hashlib.sha256(block.data).hexdigest()}


def test_transcripts_exist():
    assert len(TRANSCRIPTS) >= 8, "docs/transcripts/ has lost its cases"


@pytest.mark.parametrize("case", TRANSCRIPTS, ids=lambda path: path.stem)
def test_transcript_replays_whole_and_byte_by_byte(case):
    expected = json.loads(case.read_text(encoding="utf-8"))["frames"]
    out = case.with_suffix(".out").read_bytes()
    whole = FrameParser()
    assert [describe(f) for f in whole.feed(out)] == expected and whole.finish() is None
    trickle = FrameParser()
    frames = [f for i in range(len(out)) for f in trickle.feed(out[i:i + 1])]
    assert [describe(f) for f in frames] == expected and trickle.finish() is None


@pytest.mark.parametrize("case", [c for c in TRANSCRIPTS if c.with_suffix(".out").stat().st_size
                                  < 20000], ids=lambda path: path.stem)
def test_transcript_split_at_every_boundary(case):
    out = case.with_suffix(".out").read_bytes()
    whole = FrameParser().feed(out)
    for cut in range(len(out) + 1):
        parser = FrameParser()
        assert parser.feed(out[:cut]) + parser.feed(out[cut:]) == whole, f"split at {cut}"


@pytest.mark.parametrize("stream, error", [
    (b"X\0\0\0\0", "unknown frame type 88"),
    (b"C" + struct.pack("<I", 64 << 20), "over the"),
    (b"C\3\0\0\0abc", "shorter than its header"),
])
def test_malformed_streams_raise(stream, error):
    with pytest.raises(ProtocolError, match=error):
        for frame in FrameParser().feed(stream):
            if frame.type == "C":
                AudioBlock.from_payload(frame.payload)


def test_a_stream_cut_inside_a_frame_says_so():
    parser = FrameParser()
    assert parser.feed(b"O\0\0\0\0E\5\0\0\0ab") == [("O", b"")]
    assert parser.finish() == "the stream ended inside a frame (7 bytes of it)"


CONVERSIONS = [  # bits, float, sample bytes, expected floats
    (32, True, struct.pack("=2f", 0.25, -1.5), [0.25, -1.5]),
    (64, True, struct.pack("=2d", 0.5, -0.125), [0.5, -0.125]),
    (16, False, struct.pack("=3h", 16384, -32768, 1), [0.5, -1.0, 1 / 32768]),
    (32, False, struct.pack("=2i", -1073741824, 2147483647), [-0.5, 2147483647 / 2147483648]),
    (24, False, bytes([0, 0, 0x40, 0, 0, 0x80, 0xFF, 0xFF, 0xFF]), [0.5, -1.0, -1 / 8388608]),
]


@pytest.fixture(params=["numpy", "array"])
def container(request, monkeypatch):
    if request.param == "array":
        monkeypatch.setattr(samples, "numpy", None)
    elif samples.numpy is None:
        pytest.fail("NumPy is not installed (Debian: python3-numpy)")
    return request.param


@pytest.mark.parametrize("bits, is_float, data, expected", CONVERSIONS)
def test_samples_become_floats(container, bits, is_float, data, expected):
    values = samples.to_float(data, bits, is_float, 1)
    assert isinstance(values, array.array) == (container == "array")
    assert list(values) == pytest.approx(expected, rel=1e-6)


@pytest.mark.parametrize("bits, is_float, data, error", [
    (8, False, b"\0\0", "no conversion for 8-bit integer"),
    (16, True, b"\0\0", "no conversion for 16-bit float"),
    (16, False, b"\0\0\0", "not whole frames"),
])
def test_unconvertible_blocks_raise(bits, is_float, data, error):
    with pytest.raises(ValueError, match=error):
        samples.to_float(data, bits, is_float, 1)


def block(rate, frames, channels=1, first=0):
    values = array.array("f", (float(first + i) for i in range(frames * channels)))
    return AudioBlock(rate, channels, 32, True, values.tobytes())


def test_gather_cuts_a_block_and_leaves_the_rest():
    gather = Gather(0.01)  # 480 frames at 48 kHz
    assert gather.offer(block(48000, 300)) is None
    rest = gather.offer(block(48000, 300, first=300))
    assert gather.done and rest.frames == 120 and rest.samples[0] == 480
    assert list(gather.result()) == [float(i) for i in range(480)]


def test_gather_stops_at_a_format_change():
    gather = Gather(1.0)
    gather.offer(block(48000, 100, channels=2))
    other = block(44100, 100, channels=2)
    assert gather.offer(other) is other and gather.done and len(gather.result()) == 200


def test_wav_written_is_clipped_16_bit(tmp_path, container):
    import wave
    samples.write_wav(tmp_path / "x.wav", array.array("f", [0.5, -2.0, 2.0, 0.0]), 16000, 2)
    with wave.open(str(tmp_path / "x.wav")) as wav:
        assert (wav.getframerate(), wav.getnchannels(), wav.getnframes()) == (16000, 2, 2)
        assert struct.unpack("<4h", wav.readframes(2)) == (16383, -32767, 32767, 0)


def frame(kind, payload=b""):
    return kind + struct.pack("<I", len(payload)) + payload


@pytest.mark.parametrize("stream, outcome", [
    (frame(b"E", b"start failed: Connection refused"),
     "start failed: Connection refused"),
    (frame(b"E", b"no displays available"), "no displays available"),
    # Deliveries, and the stream's end, can come before the start task writes R.
    (frame(b"E", b"stream stopped with error: gone"), False),
    (frame(b"E", b"stream stopped with error: gone") + frame(b"R"), True),
])
def test_an_error_before_r_is_a_failed_start_unless_the_stream_s_own(stream, outcome):
    session = Session()
    session.feed(stream)
    if isinstance(outcome, str):
        with pytest.raises(HelperError, match=outcome):
            session.start_outcome()
    else:
        assert session.start_outcome() is outcome


@pytest.mark.parametrize("case", [c for c in TRANSCRIPTS if "sine" in
                                  c.with_suffix(".args").read_text(encoding="utf-8")],
                         ids=lambda path: path.stem)
def test_transcript_blocks_convert_and_their_sines_peak_at_half_scale(case):
    args = case.with_suffix(".args").read_text(encoding="utf-8").split()
    sines = [format_of(a) for a in args if a.startswith("chunk=") and "sine" in a]
    peaks = []
    for frame in FrameParser().feed(case.with_suffix(".out").read_bytes()):
        if frame.type != "C":
            continue
        block = AudioBlock.from_payload(frame.payload)
        values = block.samples
        assert len(values) == block.frames * block.channels
        if block.format in sines:
            peaks.append(max(abs(v) for v in values))
    assert peaks and peaks == pytest.approx([0.5] * len(peaks), abs=0.01)


def format_of(chunk):
    """(rate, channels, bits, float) of a sim chunk= token, with the sim's defaults."""
    fields = dict(field.split(":", 1) for field in chunk[len("chunk="):].split(","))
    return (int(float(fields.get("rate", 48000))), int(fields.get("channels", 1)),
            int(fields.get("bits", 32)), int(fields.get("flags", "1"), 0) & 1 == 1)
