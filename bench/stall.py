#!/usr/bin/python3
"""What a parent that stops reading gets back: the audio the server kept for it.

    bench/stall.py BUILD_DIR [--stalls 5,40] [--kinds pulseaudio,pipewire]

For each server kind, on a private server playing a tone: zarn-audio armed, read for 2 s, then
not read for each stall in turn, then read until the backlog is drained. Prints, per stall, the
audio that came in the first burst after reading resumed (the backlog), the audio lost (wall time
minus audio heard, from the first chunk to the last) and the longest chunk.
"""

import argparse
import os
import select
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SERVER = os.path.join(ROOT, "scripts", "sound-server")


def read_for(fd, seconds, buffer, audio):
    """Reads frames for the span; appends (arrival time, seconds of audio) per C frame."""
    end = time.monotonic() + seconds
    while (left := end - time.monotonic()) > 0:
        if not select.select([fd], [], [], left)[0]:
            continue
        buffer += os.read(fd, 1 << 20)
        while len(buffer) >= 5:
            kind, size = buffer[0], struct.unpack_from("<I", buffer, 1)[0]
            if len(buffer) < 5 + size:
                break
            if kind == ord("C"):
                rate = struct.unpack_from("<I", buffer, 5)[0]
                audio.append((time.monotonic(), (size - 8) / 4 / rate))
            del buffer[: 5 + size]


def measure(zarn, stall, env):
    child = subprocess.Popen([zarn], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    fd, buffer, audio = child.stdout.fileno(), bytearray(), []
    child.stdin.write(b"A")
    child.stdin.flush()
    read_for(fd, 2, buffer, audio)
    time.sleep(stall)
    resumed = time.monotonic()
    read_for(fd, 1.5, buffer, audio)  # the backlog comes at once, then audio as it plays
    read_for(fd, 2, buffer, audio)
    child.stdin.write(b"Q")
    child.stdin.close()
    child.wait(5)
    backlog = sum(s for t, s in audio if resumed <= t < resumed + 0.5)
    wall = audio[-1][0] - audio[0][0]
    heard = sum(s for _, s in audio[1:])
    return backlog, wall - heard


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--stalls", default="5,40")
    parser.add_argument("--kinds", default="pulseaudio,pipewire")
    args = parser.parse_args()
    zarn = os.path.join(args.build, "src", "zarn-audio")
    print(f"{'server':<11} {'stall s':>7} {'backlog s':>9} {'lost s':>7}")
    for kind in args.kinds.split(","):
        with tempfile.TemporaryDirectory(prefix="zarn-stall.") as home:
            lines = subprocess.run([SERVER, "start", kind, home, "--owner", str(os.getpid())],
                                   check=True, capture_output=True, text=True).stdout.split()
            env = dict(os.environ, **dict(line.split("=", 1) for line in lines))
            subprocess.run([SERVER, "play", home, "440", "0"], check=True, capture_output=True)
            try:
                for stall in map(float, args.stalls.split(",")):
                    backlog, lost = measure(zarn, stall, env)
                    print(f"{kind:<11} {stall:>7.0f} {backlog:>9.2f} {max(lost, 0):>7.2f}")
            finally:
                subprocess.run([SERVER, "stop", home], capture_output=True)


if __name__ == "__main__":
    sys.exit(main())
