#!/usr/bin/python3
# Configures the macOS branch of every CMakeLists on this machine, with clang, and checks what it
# would compile: every source must exist (configure fails otherwise) and none may call what only
# Linux has. Code inside `#if ... __linux__` or `#ifdef F_SETPIPE_SZ` blocks is Linux's own and
# not looked at.
#
#     apple_branch_check.py SOURCE_DIR BUILD_DIR

import json
import os
import re
import shutil
import subprocess
import sys

LINUX_ONLY = re.compile(
    r"\b(pipe2|memfd_create|accept4|epoll_\w+|eventfd|signalfd|timerfd_\w+|forkpty|prctl|"
    r"F_SETPIPE_SZ|F_GETPIPE_SZ|SOCK_CLOEXEC|SOCK_NONBLOCK|MSG_NOSIGNAL|O_TMPFILE)\b|<pty\.h>|"
    r"<linux/|\"/proc/")
LINUX_GUARD = re.compile(r"^\s*#\s*if.*(__linux__|F_SETPIPE_SZ)")


def linux_only_lines(path):
    # (line number, text) of every Linux-only use outside a Linux guard
    hits, depth, guarded_at = [], 0, None
    for number, line in enumerate(open(path, encoding="utf-8"), 1):
        directive = re.match(r"^\s*#\s*(if|else|elif|endif)", line)
        if directive and directive[1] == "if":
            depth += 1
            if guarded_at is None and LINUX_GUARD.match(line):
                guarded_at = depth
        elif directive:  # the other side of a Linux guard is everyone's
            if guarded_at == depth:
                guarded_at = None
            depth -= directive[1] == "endif"
        elif guarded_at is None and LINUX_ONLY.search(line.split("//")[0]):
            hits.append((number, line.strip()))
    return hits


def included_headers(path, source_dir):
    # The project's own headers a source includes, directly or through others
    seen, todo = set(), [path]
    while todo:
        current = todo.pop()
        text = open(current, encoding="utf-8").read()
        for name in re.findall(r'^\s*#\s*(?:include|import)\s+"([^"]+)"', text, re.M):
            bases = [os.path.dirname(current)] + [os.path.join(source_dir, d)
                                                  for d in ("src", "tools", "tests")]
            found = [c for c in (os.path.normpath(os.path.join(b, name)) for b in bases)
                     if os.path.isfile(c)]
            if found and found[0] not in seen:
                seen.add(found[0])
                todo.append(found[0])
    return seen


def main(source_dir, build_dir):
    shutil.rmtree(build_dir, ignore_errors=True)
    clang = shutil.which("clang++") or "clang++"
    configure = subprocess.run(
        ["cmake", "-S", source_dir, "-B", build_dir, "-G", "Ninja", "-DZARN_PLATFORM=apple",
         "-DBUILD_TESTING=ON", "-DZARN_BUILD_BENCH=ON",
         f"-DCMAKE_CXX_COMPILER={clang}", f"-DCMAKE_OBJCXX_COMPILER={clang}"],
        capture_output=True, text=True)
    if configure.returncode != 0:
        print(configure.stdout + configure.stderr + "FAIL: the macOS branch does not configure")
        return 1
    with open(os.path.join(build_dir, "compile_commands.json"), encoding="utf-8") as commands:
        sources = sorted({os.path.normpath(c["file"]) for c in json.load(commands)})
    files = set(sources).union(*(included_headers(s, source_dir) for s in sources))
    failures = [f"{os.path.relpath(path, source_dir)}:{n}: {text}"
                for path in sorted(files) for n, text in linux_only_lines(path)]
    print(f"{len(sources)} sources and {len(files) - len(sources)} headers in the macOS branch")
    for failure in failures:
        print("Linux-only:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
