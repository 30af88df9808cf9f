"""Once against the real helper: a 440 Hz tone on a private PulseAudio server, heard through the
package."""

import math
import os
import subprocess
import tempfile

import pytest

from conftest import SOURCE_DIR
from zarn_audio import Capture

SOUND_SERVER = str(SOURCE_DIR / "scripts" / "sound-server")


@pytest.fixture
def server_env():
    directory = tempfile.mkdtemp(prefix="zarn-py-")
    try:
        started = subprocess.run([SOUND_SERVER, "start", "pulseaudio", directory, "--owner",
                                  str(os.getpid())], capture_output=True, text=True, timeout=60)
        assert started.returncode == 0, started.stderr
        env = dict(line.split("=", 1) for line in started.stdout.splitlines() if "=" in line)
        subprocess.run([SOUND_SERVER, "play", directory, "440", "0"], check=True,
                       capture_output=True, timeout=30)
        yield {**os.environ, **env}
    finally:
        subprocess.run([SOUND_SERVER, "stop", directory], capture_output=True, timeout=60)
        subprocess.run(["rm", "-rf", directory])


def test_the_real_helper_hears_a_tone(real_helper, server_env):
    with Capture(real_helper, env=server_env) as capture:
        capture.read(0.3)  # the tone's start, and the server's first fragments
        audio = capture.read(1.0)
        rate, channels = capture.rate, capture.channels
    assert capture.returncode == 0
    assert channels == 1 and len(audio) == rate
    rms = math.sqrt(sum(v * v for v in audio) / len(audio))
    crossings = sum(1 for a, b in zip(audio, audio[1:]) if a < 0 <= b)
    assert 0.3 < rms < 0.4, f"level {rms}: not the 0.5-amplitude tone"
    assert abs(crossings - 440) <= 3, f"{crossings} cycles in a second, not 440"
