#!/usr/bin/python3
"""What a parent that stops reading gets back: the audio kept for it while it stalled.

    bench/stall.py BUILD_DIR [--stalls 8] [--formats 48000x2,48000x8,192000x2,192000x8]
                             [--services pulseaudio,pipewire-pulse,pipewire]

Services: zarn-audio on libpulse with PulseAudio ("pulseaudio") or with PipeWire's pulse server
("pipewire-pulse"), and on PipeWire's own protocol ("pipewire"). For each service, on a private
server, for each format: an output of that rate and channel count made the default and playing a
tone; zarn-audio armed, read for 2 s, then not read for each stall in turn, then read until the
backlog is drained. Prints, per stall, the audio that came in the first burst after reading
resumed (the backlog), the audio lost (wall time minus audio heard, from the first chunk to the
last) and zarn-audio's private memory (Private_Clean + Private_Dirty) at the end of the stall.
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
SERVICES = {"pulseaudio": ("pulseaudio", False), "pipewire-pulse": ("pipewire", False),
            "pipewire": ("pipewire", True)}


def read_for(fd, seconds, buffer, audio, errors=None):
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
            elif kind == ord("E") and errors is not None:
                errors.append(bytes(buffer[5:5 + size]).decode())
            del buffer[: 5 + size]


def private_mib(pid):
    total = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith(("Private_Clean:", "Private_Dirty:")):
                total += int(line.split()[1])
    return total / 1024


def measure(zarn, stall, env):
    child = subprocess.Popen([zarn], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    fd, buffer, audio = child.stdout.fileno(), bytearray(), []
    child.stdin.write(b"A")
    child.stdin.flush()
    read_for(fd, 2, buffer, audio)
    time.sleep(stall)
    memory = private_mib(child.pid)
    resumed = time.monotonic()
    read_for(fd, 1.5, buffer, audio)  # the backlog comes at once, then audio as it plays
    read_for(fd, 2, buffer, audio)
    child.stdin.write(b"Q")
    child.stdin.close()
    child.wait(5)
    backlog = sum(s for t, s in audio if resumed <= t < resumed + 0.5)
    wall = audio[-1][0] - audio[0][0]
    heard = sum(s for _, s in audio[1:])
    return backlog, wall - heard, memory


def start_server(kind, native, home):
    lines = subprocess.run([SERVER, "start", kind, home, "--owner", str(os.getpid())],
                           check=True, capture_output=True, text=True).stdout.split()
    env = dict(os.environ, **dict(line.split("=", 1) for line in lines))
    if not native:
        env["PIPEWIRE_REMOTE"] = "zarn-no-pipewire"  # no such socket: the product takes libpulse
    return env


def use_output(home, env, rate, channels):
    """A null output of the format, made the default, playing a tone; the player's pid."""
    name = f"zarn_stall_{rate}_{channels}"
    subprocess.run(["pactl", "load-module", "module-null-sink", f"sink_name={name}",
                    f"rate={rate}", f"channels={channels}"], check=True, env=env,
                   capture_output=True)
    subprocess.run(["pactl", "set-default-sink", name], check=True, env=env)
    time.sleep(0.5)
    return int(subprocess.run([SERVER, "play", home, "440", "0", name], check=True,
                              capture_output=True, text=True).stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--stalls", default="8")
    parser.add_argument("--formats", default="48000x2,48000x8,192000x2,192000x8")
    parser.add_argument("--services", default="pulseaudio,pipewire-pulse,pipewire")
    args = parser.parse_args()
    zarn = os.path.join(args.build, "src", "zarn-audio")
    print(f"{'service':<15} {'rate':>6} {'ch':>2} {'stall s':>7} {'backlog s':>9} {'lost s':>7} "
          f"{'private MiB':>11}")
    for service in args.services.split(","):
        kind, native = SERVICES[service]
        with tempfile.TemporaryDirectory(prefix="zarn-stall.") as home:
            env = start_server(kind, native, home)
            try:
                for rate, channels in (map(int, f.split("x")) for f in args.formats.split(",")):
                    player = use_output(home, env, rate, channels)
                    for stall in map(float, args.stalls.split(",")):
                        backlog, lost, memory = measure(zarn, stall, env)
                        print(f"{service:<15} {rate:>6} {channels:>2} {stall:>7.0f} "
                              f"{backlog:>9.2f} {max(lost, 0):>7.2f} {memory:>11.2f}", flush=True)
                    os.kill(player, 15)
            finally:
                subprocess.run([SERVER, "stop", home], capture_output=True)


if __name__ == "__main__":
    sys.exit(main())
