"""Where the helper program is: an explicit path, then ZARN_AUDIO_PATH, then beside this package
for the running platform and architecture, then PATH."""

import os
import platform
import shutil
import sys
from pathlib import Path

from .errors import HelperNotFound

ENV_VAR = "ZARN_AUDIO_PATH"
PROGRAM = "zarn-audio.exe" if sys.platform == "win32" else "zarn-audio"

# The same folder names as the Node package's, so one build tree serves both.
_SYSTEMS = {"linux": "linux", "darwin": "darwin", "win32": "win32"}
_MACHINES = {"x86_64": "x64", "amd64": "x64", "aarch64": "arm64", "arm64": "arm64",
             "i386": "ia32", "i686": "ia32", "x86": "ia32"}


def bundled_dir(system=None, machine=None) -> Path:
    """The folder inside the package where a bundled helper for this platform lives."""
    system = system or sys.platform
    machine = (machine or platform.machine()).lower()
    name = f"{_SYSTEMS.get(system, system)}-{_MACHINES.get(machine, machine)}"
    return Path(__file__).resolve().parent / "bin" / name


def _runnable(path) -> bool:
    return os.path.isfile(path) and os.access(path, os.X_OK)


def find_helper(path=None, env=None) -> str:
    """The helper's path; raises HelperNotFound listing every place looked at, in order."""
    env = os.environ if env is None else env
    searched = []
    if path is not None:
        searched.append(f"{path} (given)")
        if _runnable(path):
            return str(path)
        raise HelperNotFound(searched)
    if env.get(ENV_VAR):
        searched.append(f"{env[ENV_VAR]} (from {ENV_VAR})")
        if _runnable(env[ENV_VAR]):
            return env[ENV_VAR]
        raise HelperNotFound(searched)
    searched.append(f"{ENV_VAR}: not set")
    beside = bundled_dir() / PROGRAM
    searched.append(f"{beside} (beside the package)")
    if _runnable(beside):
        return str(beside)
    on_path = shutil.which(PROGRAM, path=env.get("PATH", os.defpath))
    searched.append(f"PATH: {env.get('PATH', os.defpath)}")
    if on_path:
        return on_path
    raise HelperNotFound(searched)
