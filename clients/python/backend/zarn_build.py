"""A build backend (PEP 517) for this pure-Python package that needs nothing but the standard
library, so that pip installs it without reaching an index. It reads the [project] table of
pyproject.toml and packs zarn_audio/ (with any bundled helpers under zarn_audio/bin/)."""

import base64
import hashlib
import io
import os
import tarfile
import zipfile
from pathlib import Path

try:
    import tomllib
except ImportError:  # Python 3.9 and 3.10 have no tomllib; the table is read by hand there
    tomllib = None

ROOT = Path(__file__).resolve().parent.parent
PACKAGE = "zarn_audio"


def _project():
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    if tomllib is not None:
        return tomllib.loads(text)["project"]
    project, in_table = {}, False
    for line in text.splitlines():  # enough for the flat string keys this file uses
        if line.startswith("["):
            in_table = line.strip() == "[project]"
        elif in_table and " = \"" in line:
            key, value = line.split(" = ", 1)
            project[key.strip()] = value.strip().strip('"')
    return project


def _metadata():
    project = _project()
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project['description']}",
        f"Requires-Python: {project.get('requires-python', '>=3.9')}",
        "License: MIT",
        "Provides-Extra: numpy",
        'Requires-Dist: numpy; extra == "numpy"',
        "Description-Content-Type: text/markdown",
        "",
        (ROOT / "README.md").read_text(encoding="utf-8"),
    ]
    return project, "\n".join(lines)


def _files():
    for path in sorted((ROOT / PACKAGE).rglob("*")):
        if path.is_file() and "__pycache__" not in path.parts and path.suffix != ".pyc":
            yield path, path.relative_to(ROOT).as_posix()


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def _write(archive, name, data, mode=0o644):
    info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
    info.external_attr = (0o100000 | mode) << 16
    info.compress_type = zipfile.ZIP_DEFLATED
    archive.writestr(info, data)


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    project, metadata = _metadata()
    name = project["name"].replace("-", "_")
    wheel_name = f"{name}-{project['version']}-py3-none-any.whl"
    dist_info = f"{name}-{project['version']}.dist-info"
    extra = {
        f"{dist_info}/METADATA": metadata.encode(),
        f"{dist_info}/WHEEL": b"Wheel-Version: 1.0\nGenerator: zarn_build\n"
                              b"Root-Is-Purelib: true\nTag: py3-none-any\n",
        f"{dist_info}/LICENSE": (ROOT / "LICENSE").read_bytes(),
    }
    records = []
    with zipfile.ZipFile(os.path.join(wheel_directory, wheel_name), "w") as archive:
        for path, name_in_wheel in _files():
            data = path.read_bytes()
            _write(archive, name_in_wheel, data, 0o755 if os.access(path, os.X_OK) else 0o644)
            records.append(_record_line(name_in_wheel, data))
        for name_in_wheel, data in extra.items():
            _write(archive, name_in_wheel, data)
            records.append(_record_line(name_in_wheel, data))
        records.append(f"{dist_info}/RECORD,,")
        _write(archive, f"{dist_info}/RECORD", ("\n".join(records) + "\n").encode())
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    project, metadata = _metadata()
    base = f"{project['name'].replace('-', '_')}-{project['version']}"
    sdist_name = f"{base}.tar.gz"
    members = [(path, rel) for path, rel in _files()]
    members += [(ROOT / rel, rel) for rel in ("pyproject.toml", "README.md", "LICENSE",
                                              "backend/zarn_build.py")]
    contents = [(rel, path.read_bytes()) for path, rel in members]  # LICENSE is a link: its text
    contents.append(("PKG-INFO", metadata.encode()))
    with tarfile.open(os.path.join(sdist_directory, sdist_name), "w:gz") as archive:
        for rel, data in contents:
            info = tarfile.TarInfo(f"{base}/{rel}")
            info.size, info.mode, info.mtime = len(data), 0o644, 1767225600
            archive.addfile(info, io.BytesIO(data))
    return sdist_name


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []
