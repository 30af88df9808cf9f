# The package as users get it, once against the real helper: installed offline by pip into a
# fresh virtual environment with the helper bundled beside it, where the README's five lines record
# 5 s of the 440 Hz tone a private PulseAudio server plays into a WAV file.

import os
import re
import shutil
import subprocess
import sys
import tempfile
import wave

from conftest import PACKAGE_DIR, SOURCE_DIR, required
from zarn_audio import discovery

SERVER = SOURCE_DIR / "scripts" / "sound-server"


def run(*command, **options):
    done = subprocess.run([str(word) for word in command], capture_output=True, text=True,
                          timeout=120, **options)
    assert done.returncode == 0, done.stdout + done.stderr
    return done.stdout


def test_pip_installs_offline_and_the_readme_example_records_the_tone(tmp_path):
    package = tmp_path / "package"
    shutil.copytree(PACKAGE_DIR, package, ignore=shutil.ignore_patterns("__pycache__", "tests"))
    bundled = package / discovery.bundled_dir().relative_to(PACKAGE_DIR) / "zarn-audio"
    bundled.parent.mkdir(parents=True)
    shutil.copy(required("ZARN_AUDIO_HELPER"), bundled)
    python = tmp_path / "env" / "bin" / "python"
    run(sys.executable, "-m", "venv", "--system-site-packages", tmp_path / "env")
    # --no-index: no package index at all, as on a machine without network.
    run(python, "-m", "pip", "install", "--no-index", "--no-cache-dir", package)
    readme = (PACKAGE_DIR / "README.md").read_text(encoding="utf-8").split("## Five lines", 1)[1]
    five_lines = re.search(r"```python\n(.*?)```", readme, re.S).group(1)

    directory = tempfile.mkdtemp(prefix="zarn-py-")  # short: the socket path must fit
    try:
        started = run(SERVER, "start", "pulseaudio", directory, "--owner", os.getpid())
        run(SERVER, "play", directory, 440, 0)
        # No ZARN_AUDIO_PATH and no helper on PATH: it must be the one inside the package.
        env = dict(line.split("=", 1) for line in started.splitlines() if "=" in line)
        run(python, "-c", five_lines, cwd=tmp_path, env={"PATH": "/usr/bin:/bin", **env})
    finally:
        subprocess.run([SERVER, "stop", directory], capture_output=True, timeout=60)
        shutil.rmtree(directory, ignore_errors=True)
    with wave.open(str(tmp_path / "capture.wav")) as wav:
        rate = wav.getframerate()
        assert (wav.getnchannels(), wav.getsampwidth(), wav.getnframes()) == (1, 2, 5 * rate)
        wav.readframes(rate // 2)  # the tone's start, and the server's first fragments
        audio = memoryview(wav.readframes(4 * rate)).cast("h")
    rms = (sum(v * v for v in audio) / len(audio)) ** 0.5 / 32768
    crossings = sum(1 for a, b in zip(audio, audio[1:]) if a < 0 <= b)
    assert 0.3 < rms < 0.4, f"level {rms}: not the 0.5-amplitude tone"
    assert abs(crossings - 4 * 440) <= 12, f"{crossings} cycles in 4 s, not {4 * 440}"
