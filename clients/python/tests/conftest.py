# Paths the tests need, from the environment ctest gives them (see clients/python/CMakeLists.txt).
# A missing one fails the test that needs it, saying which.

import os
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[3]
PACKAGE_DIR = SOURCE_DIR / "clients" / "python"
# Every script that forwards audio delays the start, so that the A the package sends at start is
# taken before the first delivery.
ARMED = "start-delay=200"
# Blocks far apart, so that the sim's delivery threads cannot pass one another.
SINE = ["chunk=rate:48000,bytes:4096,data:sine:440", "pace=20", "repeat=forever", ARMED]


def required(name):
    value = os.environ.get(name)
    if not value or not os.path.exists(value):
        pytest.fail(f"{name} must name an existing file (got {value!r}); ctest sets it")
    return value


@pytest.fixture(scope="session")
def sim():
    # zarn-audio-sim: the real program on a scripted capture service.
    return required("ZARN_AUDIO_SIM")


def alive(pid):
    # A zombie has ended: it only waits for its parent to reap it.
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def write_program(path, text):
    # A stand-in helper (a shell script) for what the sim cannot do, such as dying.
    path.write_text("#!/bin/sh\n" + text)
    path.chmod(0o755)
    return str(path)
