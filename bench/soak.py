#!/usr/bin/python3
"""Soak: zarn-audio for a long time on a private server while everything around it moves.

Run through bench/soak.sh, which starts the server. While it runs, outputs come and go (one,
zarn_null0, stays), the default output flaps between them, tones play on random outputs, and the
parent arms, disarms and pings at random and reads its frames slowly, in bursts with pauses.
Every interval a row: RSS, CPU per second of audio received, frames, E frames.

Fails (exit 1) on RSS growth over 1 MiB past the warm-up's peak, a malformed frame, anything on
standard error, or a hang: a ping unanswered, no audio while armed, or a quit that does not end
the process with status 0 within the bound. The growth leaves out shared memory (its own
column): on PulseAudio that is the server's pool of audio blocks, mapped into the client, whose
pages count as they are first used, up to the pool's size, however long the process runs.
"""

import argparse
import os
import random
import select
import subprocess
import sys
import time

QUIT_BOUND = 3.0  # seconds from Q to the exit, as the README states
HANG = 15.0  # seconds without a pong, or without audio while armed: a hang
PAUSE = (0.2, 2.0)  # the parent stops reading for this long between bursts
BURST = (0.2, 1.5)
TICK = os.sysconf("SC_CLK_TCK")


class Failure(Exception):
    pass


class Frames:
    """Parses the frame stream and checks every frame as it comes."""

    def __init__(self):
        self.buffer = bytearray()
        self.counts = {t: 0 for t in "RCOE"}
        self.audio_seconds = 0.0
        self.errors = []
        self.last_chunk = time.monotonic()

    def feed(self, data, on_pong):
        self.buffer += data
        while len(self.buffer) >= 5:
            kind, size = chr(self.buffer[0]), int.from_bytes(self.buffer[1:5], "little")
            if kind not in self.counts or size > (1 << 20):
                raise Failure(f"malformed frame header {bytes(self.buffer[:5])!r}")
            if len(self.buffer) < 5 + size:
                return
            payload = bytes(self.buffer[5:5 + size])
            del self.buffer[:5 + size]
            self.check(kind, payload, on_pong)

    def check(self, kind, payload, on_pong):
        self.counts[kind] += 1
        if kind in "RO" and payload:
            raise Failure(f"{kind} frame with a payload of {len(payload)} bytes")
        if kind == "R" and self.counts["R"] > 1:
            raise Failure("a second R frame")
        if kind == "O":
            on_pong()
        if kind == "E":
            try:
                self.errors.append(payload.decode("utf-8"))
            except UnicodeDecodeError:
                raise Failure(f"E frame that is not UTF-8: {payload!r}")
        if kind == "C":
            rate = int.from_bytes(payload[0:4], "little")
            samples = len(payload) - 8
            if (len(payload) < 8 or payload[4:8] != b"\x01\x20\x01\x00" or rate == 0 or
                    samples <= 0 or samples % 4 or samples > rate // 50 * 4):
                raise Failure(f"malformed C frame: header {payload[:8].hex()}, {samples} bytes")
            self.audio_seconds += samples / 4 / rate
            self.last_chunk = time.monotonic()


class Server:
    """Moves the private server's outputs around through pactl and sound-server."""

    def __init__(self, script, directory, rng, extra_env):
        self.script, self.dir, self.rng = script, directory, rng
        lines = subprocess.run([script, "env", directory], check=True, capture_output=True,
                               text=True).stdout.split()
        self.env = dict(os.environ, **dict(line.split("=", 1) for line in lines + extra_env))
        self.extra = {}  # output name -> module index
        self.made = 0
        self.done = {"default": 0, "added": 0, "removed": 0, "tones": 0}

    def pactl(self, *args):
        return subprocess.run(["pactl", *args], env=self.env, capture_output=True, text=True,
                              timeout=10)

    def act(self):
        outputs = ["zarn_null0", *self.extra]
        choice = self.rng.random()
        if choice < 0.35:
            self.done["default"] += self.pactl("set-default-sink",
                                               self.rng.choice(outputs)).returncode == 0
        elif choice < 0.55 and len(self.extra) < 3:
            self.made += 1
            name = f"zarn_soak{self.made}"
            rate = self.rng.choice([44100, 48000])
            done = self.pactl("load-module", "module-null-sink", f"sink_name={name}",
                              f"rate={rate}")
            if done.returncode == 0:
                self.extra[name] = done.stdout.strip()
                self.done["added"] += 1
        elif choice < 0.75 and self.extra:
            name = self.rng.choice(list(self.extra))
            self.done["removed"] += self.pactl("unload-module",
                                               self.extra.pop(name)).returncode == 0
        else:
            hz, seconds = self.rng.choice([440, 660, 1000]), self.rng.randint(1, 4)
            self.done["tones"] += subprocess.run(
                [self.script, "play", self.dir, str(hz), str(seconds), self.rng.choice(outputs)],
                env=self.env, capture_output=True, timeout=10).returncode == 0


def usage_of(pid):
    """RSS and the part of it in shared memory, in KiB, and CPU seconds of the process."""
    with open(f"/proc/{pid}/status") as status:
        kib = {line.split(":")[0]: int(line.split()[1]) for line in status if "kB" in line}
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return kib["VmRSS"], kib["RssShmem"], (int(fields[11]) + int(fields[12])) / TICK


class Soak:

    def __init__(self, args):
        self.args, self.rng = args, random.Random(args.seed)
        self.server = Server(args.sound_server, args.server_dir, self.rng, args.env)
        self.stderr = open(os.path.join(args.server_dir, "soak-stderr"), "w+b")
        self.proc = subprocess.Popen([args.zarn], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.stderr, env=self.server.env)
        os.set_blocking(self.proc.stdout.fileno(), False)
        self.frames = Frames()
        self.pings = []  # send times of the pings not yet answered
        self.armed_at = None  # when the parent last armed, while armed
        self.warm_peak = 0
        self.next_command = self.next_change = 0.0

    def command(self, byte):
        self.proc.stdin.write(byte)
        self.proc.stdin.flush()
        now = time.monotonic()
        if byte == b"P":
            self.pings.append(now)
        elif byte == b"A":
            self.armed_at = self.armed_at or now
        elif byte == b"D":
            self.armed_at = None

    def pong(self):
        if not self.pings:
            raise Failure("an O frame without a ping")
        self.pings.pop(0)

    def read(self, until):
        """Reads whatever comes until `until`; False if the output ended."""
        pipe = self.proc.stdout.fileno()
        while (left := until - time.monotonic()) > 0:
            if select.select([pipe], [], [], left)[0]:
                data = os.read(pipe, 65536)
                if not data:
                    return False
                self.frames.feed(data, self.pong)
        return True

    def read_running(self, until):
        if not self.read(until):
            raise Failure(f"the output ended before quit, status {self.proc.poll()}")

    def check_alive(self, now):
        if self.pings and now - self.pings[0] > HANG:
            raise Failure(f"a ping unanswered for {now - self.pings[0]:.0f} s")
        if self.armed_at and now - max(self.armed_at, self.frames.last_chunk) > HANG:
            raise Failure(f"armed, and no audio for {HANG:.0f} s; E frames: {self.frames.errors}")

    def row(self, start, last):
        """Prints one row, on what changed since `last`; returns what to compare the next with."""
        rss, shared, cpu = usage_of(self.proc.pid)
        frames = sum(self.frames.counts.values())
        audio, cpu_used = self.frames.audio_seconds - last[0], cpu - last[1]
        per_audio = f"{1000 * cpu_used / audio:10.2f}" if audio > 0.5 else f"{'-':>10}"
        print(f"{time.monotonic() - start:7.0f} {rss:8d} {shared:8d} {per_audio} {audio:8.1f} "
              f"{frames - last[2]:8d} {self.frames.counts['E']:8d}", flush=True)
        return self.frames.audio_seconds, cpu, frames

    def burst(self, until):
        """The parent reads, sends commands and the server changes, until `until`."""
        while (now := time.monotonic()) < until:
            if now >= self.next_command:
                self.command(self.rng.choice([b"A", b"A", b"D", b"P", b"P"]))
                self.next_command = now + self.rng.uniform(0.1, 1.5)
            if now >= self.next_change:
                self.server.act()
                self.next_change = time.monotonic() + self.rng.uniform(0.2, 1.5)
            self.read_running(min(until, self.next_command, self.next_change))

    def run(self):
        a = self.args
        # Per row: CPU ms per second of audio, audio and frames since the last row; E in all.
        print(f"{'time s':>7} {'RSS KiB':>8} {'shm KiB':>8} {'CPU ms/s':>10} {'audio s':>8} "
              f"{'frames':>8} {'E total':>8}", flush=True)
        start = time.monotonic()
        self.next_command, self.next_change = start, start + 1
        row_at, last, peak_after = start, (0.0, 0.0, 0), 0
        while time.monotonic() < start + a.seconds:
            self.burst(time.monotonic() + self.rng.uniform(*BURST))
            time.sleep(self.rng.uniform(*PAUSE))  # the parent looks away
            now = time.monotonic()
            rss, shared, _ = usage_of(self.proc.pid)
            if now - start < a.warmup:
                self.warm_peak = max(self.warm_peak, rss - shared)
            else:
                peak_after = max(peak_after, rss - shared)
            self.read_running(now + 0.05)
            self.check_alive(time.monotonic())
            if now >= row_at + a.interval:
                last, row_at = self.row(start, last), now
        if time.monotonic() > row_at + 1:
            self.row(start, last)
        growth = peak_after - self.warm_peak
        print(f"RSS less shared memory: peak {self.warm_peak} KiB in the warm-up "
              f"({a.warmup:.0f} s), {peak_after} KiB after: growth {growth} KiB")
        print(f"frames: {self.frames.counts}, audio {self.frames.audio_seconds:.1f} s, "
              f"E: {sorted(set(self.frames.errors))}; server changes: {self.server.done}")
        self.quit()
        if growth > 1024:
            raise Failure(f"RSS grew by {growth} KiB after the warm-up")

    def quit(self):
        self.command(b"Q")
        asked = time.monotonic()
        self.read(asked + QUIT_BOUND + 1)
        took = time.monotonic() - asked
        try:
            status = self.proc.wait(timeout=1)
        except subprocess.TimeoutExpired:
            raise Failure(f"still running {took:.1f} s after Q")
        print(f"quit: exit status {status} after {took:.2f} s")
        if status != 0 or took > QUIT_BOUND + 1:
            raise Failure(f"quit: status {status} after {took:.2f} s")
        if self.frames.buffer:
            raise Failure(f"the output ends inside a frame ({len(self.frames.buffer)} bytes)")
        self.stderr.seek(0)
        if text := self.stderr.read():
            raise Failure(f"standard error: {text[:500]!r}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--zarn", required=True, help="the zarn-audio binary")
    parser.add_argument("--server-dir", required=True, help="the private server's directory")
    parser.add_argument("--sound-server", required=True, help="scripts/sound-server")
    parser.add_argument("--seconds", type=float, default=600)
    parser.add_argument("--interval", type=float, help="seconds per row (default: a 20th)")
    parser.add_argument("--warmup", type=float, help="seconds (default: a 5th, at most 60)")
    parser.add_argument("--seed", type=int, default=random.randrange(1 << 32))
    parser.add_argument("--env", action="append", default=[], metavar="KEY=VALUE",
                        help="for the product and pactl, after the server's own")
    args = parser.parse_args()
    args.interval = args.interval or max(5.0, args.seconds / 20)
    args.warmup = args.warmup if args.warmup is not None else min(60.0, args.seconds / 5)
    print(f"soak: {args.seconds:.0f} s, seed {args.seed}", flush=True)
    soak = Soak(args)
    try:
        soak.run()
    except (Failure, subprocess.TimeoutExpired) as failure:  # a server that stopped answering
        print(f"soak: FAIL (seed {args.seed}): {failure}", flush=True)
        soak.proc.kill()
        return 1
    print("soak: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
