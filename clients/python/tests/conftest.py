"""Paths the tests need, from the environment ctest gives them (see clients/python/CMakeLists.txt).
A missing one fails the test that needs it, saying which."""

import os
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[3]


def _required(name):
    value = os.environ.get(name)
    if not value or not os.path.exists(value):
        pytest.fail(f"{name} must name an existing file (got {value!r}); ctest sets it")
    return value


@pytest.fixture(scope="session")
def sim():
    """zarn-audio-sim: the real program on a scripted capture service."""
    return _required("ZARN_AUDIO_SIM")


@pytest.fixture(scope="session")
def real_helper():
    return _required("ZARN_AUDIO_HELPER")


def script(sim_path, *tokens):
    """A helper command: the sim with its script."""
    return [sim_path, *tokens]


def write_program(path, text):
    """A stand-in helper (a shell script) for what the sim cannot do, such as dying."""
    path.write_text("#!/bin/sh\n" + text)
    path.chmod(0o755)
    return str(path)
