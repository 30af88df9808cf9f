"""The package as users get it: installed offline by pip into a fresh virtual environment with a
helper bundled beside it, where the README's five lines record 5 s into a WAV file."""

import re
import shutil
import subprocess
import sys
import wave

from conftest import SOURCE_DIR, write_program
from zarn_audio import discovery

PACKAGE_DIR = SOURCE_DIR / "clients" / "python"


def five_lines():
    readme = (PACKAGE_DIR / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Five lines", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_pip_installs_offline_and_the_readme_example_records(tmp_path, sim):
    # An app's copy of the package with its own helper beside it: the sim playing a 440 Hz
    # sine in 40 ms blocks.
    package = tmp_path / "package"
    shutil.copytree(PACKAGE_DIR, package, ignore=shutil.ignore_patterns("__pycache__", "tests"))
    bundled = package / discovery.bundled_dir().relative_to(PACKAGE_DIR) / "zarn-audio"
    bundled.parent.mkdir(parents=True)
    write_program(bundled, f'exec "{sim}" chunk=rate:48000,bytes:7680,data:sine:440 pace=5 '
                           "repeat=forever start-delay=50\n")
    env_dir = tmp_path / "env"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(env_dir)],
                   check=True)
    python = str(env_dir / "bin" / "python")
    # --no-index: no package index at all, as on a machine without network.
    install = subprocess.run([python, "-m", "pip", "install", "--no-index", "--no-cache-dir",
                              str(package)],
                             capture_output=True, text=True)
    assert install.returncode == 0, install.stdout + install.stderr
    # One version for the helper, the package's metadata and the module.
    version = re.search(r"project\(zarn-audio VERSION (\S+)",
                        (SOURCE_DIR / "CMakeLists.txt").read_text()).group(1)
    installed = subprocess.run([python, "-c", "import importlib.metadata as m, zarn_audio; "
                                "print(m.version('zarn-audio'), zarn_audio.__version__)"],
                               cwd=tmp_path, capture_output=True, text=True, check=True)
    assert installed.stdout.split() == [version, version]
    assert five_lines().count("\n") == 5
    run = subprocess.run([python, "-c", five_lines()], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60, env={"PATH": "/usr/bin:/bin"})
    assert run.returncode == 0, run.stdout + run.stderr
    with wave.open(str(tmp_path / "capture.wav")) as wav:
        assert (wav.getframerate(), wav.getnchannels(), wav.getnframes()) == (48000, 1, 240000)
        first_second = wav.readframes(48000)
    peak = max(abs(int.from_bytes(first_second[i:i + 2], "little", signed=True))
               for i in range(0, len(first_second), 2))
    assert 16000 < peak < 16400  # the sine's amplitude, 0.5 of full scale
