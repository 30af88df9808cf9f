#!/usr/bin/python3
"""Latency and cost of capture readers on one sound server.

Run through bench/capture_latency.sh, which starts the private server. Two phases:

latency  All readers listen to the default output's monitor at once while a player hands short
         bursts to the server at random moments. Per reader: median and 95th percentile from
         the moment the burst was handed over to the arrival of its first loud sample.
cost     Each reader alone for the same span of audio while a native player (pw-cat) plays a
         tone on 512-frame server cycles, in a few rounds of rotating order: CPU seconds of the
         reader, and of the reader plus the server's processes, per second of audio; peak RSS;
         the size of what each delivery carries. zarn-audio-record, writing a .wav file while
         armed, gets a cost row of its own.

The same file is the player (--player), so the burst timestamps come from a process of their
own that does nothing but feed the server.
"""

import argparse
import array
import ctypes
import math
import os
import random
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

RATE = 48000
BURST_FRAMES = RATE // 100  # 10 ms
BURST_HZ = 1000
BURST_LEVEL = 0.5
LOUD = 0.1  # a sample above this is the burst, the rest is silence
QUIET_BEFORE_ONSET = RATE // 20  # 50 ms of quiet before a burst's first sample
RECORDED_SAMPLE_BYTES = 2  # the recorder is asked for 16-bit samples
PLAYER_CYCLE = 512  # frames per server cycle the cost phase's player asks for
NATIVE = "zarn-audio (PipeWire)"
NATIVE_SOCKET = "zarn-audio (PipeWire, socket)"
LIBPULSE = "zarn-audio (libpulse)"
PEER = "parec --latency-msec=20"
PW_RECORD = "pw-record --latency=20ms"


# --- player ------------------------------------------------------------------------------------


class _SampleFormat(ctypes.Structure):
    _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32), ("channels", ctypes.c_uint8)]


class _BufferAttr(ctypes.Structure):
    _fields_ = [(name, ctypes.c_uint32)
                for name in ("maxlength", "tlength", "prebuf", "minreq", "fragsize")]


def run_player(args):
    """Writes silence continuously and, in burst mode, a burst now and then.

    Prints "burst NS" (CLOCK_MONOTONIC) once each burst's write has returned, that is once the
    client library holds it for the server; "ready" when the stream runs; "done" at the end.
    """
    lib = ctypes.CDLL("libpulse-simple.so.0")
    lib.pa_simple_new.restype = ctypes.c_void_p
    lib.pa_simple_new.argtypes = [
        ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p,
        ctypes.POINTER(_SampleFormat), ctypes.c_void_p, ctypes.POINTER(_BufferAttr),
        ctypes.POINTER(ctypes.c_int)
    ]
    lib.pa_simple_write.argtypes = [
        ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.POINTER(ctypes.c_int)
    ]
    lib.pa_strerror.restype = ctypes.c_char_p

    sample_format = _SampleFormat(5, RATE, 1)  # PA_SAMPLE_FLOAT32LE, mono
    unset = 0xFFFFFFFF
    tlength = RATE * 4 * args.latency_ms // 1000
    attr = _BufferAttr(unset, tlength, unset, unset, unset)
    err = ctypes.c_int(0)
    stream = lib.pa_simple_new(None, b"zarn-bench-player", 1, None, b"bench", ctypes.byref(sample_format),
                               None, ctypes.byref(attr), ctypes.byref(err))
    if not stream:
        sys.exit("player: " + lib.pa_strerror(err.value).decode())

    block_frames = RATE * args.block_ms // 1000
    silence = bytes(4 * block_frames)
    if args.mode == "tone":
        tone = array.array("f", (0.3 * math.sin(2 * math.pi * 440 * i / RATE)
                                 for i in range(RATE)))  # one second, a whole number of periods
        tone_bytes = tone.tobytes()
    burst = array.array("f", (BURST_LEVEL * math.cos(2 * math.pi * BURST_HZ * i / RATE)
                              for i in range(BURST_FRAMES))).tobytes()

    def write(data):
        if lib.pa_simple_write(stream, data, len(data), ctypes.byref(err)) < 0:
            sys.exit("player: " + lib.pa_strerror(err.value).decode())

    rng = random.Random(args.seed)
    start = time.monotonic()
    for _ in range(max(1, 500 // args.block_ms)):  # half a second to settle
        write(silence)
    print("ready", flush=True)
    if args.mode == "tone":
        offset = 0
        step = 4 * block_frames
        while time.monotonic() - start < args.seconds:
            chunk = tone_bytes[offset:offset + step]
            if len(chunk) < step:
                chunk += tone_bytes[:step - len(chunk)]
            offset = (offset + step) % len(tone_bytes)
            write(chunk)
    else:
        for _ in range(args.bursts):
            due = time.monotonic() + rng.uniform(args.gap_min, args.gap_max)
            while time.monotonic() < due:
                write(silence)
            # A random amount of extra silence moves the burst off the block grid, so bursts
            # land at every phase of the readers' fragments.
            pad = rng.randrange(block_frames)
            if pad:
                write(bytes(4 * pad))
            write(burst)
            print("burst", time.monotonic_ns(), flush=True)
        for _ in range(max(1, 300 // args.block_ms)):
            write(silence)
    print("done", flush=True)
    lib.pa_simple_free(ctypes.c_void_p(stream))


# --- readers -----------------------------------------------------------------------------------


class Reader:
    """A capture process whose deliveries are timestamped as they arrive on its stdout."""

    def __init__(self, name, argv, env, kind):
        self.name = name
        self.framed = kind != "raw"  # zarn-audio's frames rather than raw float samples
        self.deliveries = []  # (arrival ns, float32 mono samples as bytes)
        self.rate = RATE
        self.problems = []
        # A socket is what Node gives its children; a pipe what Python's subprocess and shells do.
        ours, theirs = socket.socketpair() if kind == "socket" else (None, subprocess.PIPE)
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE if self.framed else
                                     subprocess.DEVNULL, stdout=theirs,
                                     stderr=subprocess.DEVNULL)
        if ours is not None:
            theirs.close()
            self.output = ours
        self.fd = ours.fileno() if ours is not None else self.proc.stdout.fileno()
        self.ready = threading.Event()
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        fd = self.fd
        pending = b""
        while True:
            data = os.read(fd, 1 << 16)
            now = time.monotonic_ns()
            if not data:
                break
            if not self.framed:
                self.deliveries.append((now, data))
                self.ready.set()
                continue
            pending += data
            while len(pending) >= 5:
                kind = pending[0:1]
                (length,) = struct.unpack_from("<I", pending, 1)
                if len(pending) < 5 + length:
                    break
                payload = pending[5:5 + length]
                pending = pending[5 + length:]
                self._frame(now, kind, payload)

    def _frame(self, now, kind, payload):
        if kind == b"R":
            self.proc.stdin.write(b"A")
            self.proc.stdin.flush()
        elif kind == b"C":
            rate, channels, bits, is_float = struct.unpack_from("<IBBB", payload, 0)
            if (channels, bits, is_float) != (1, 32, 1):
                self._problem(f"unexpected chunk format {channels}ch {bits}bit float={is_float}")
                return
            self.rate = rate
            self.deliveries.append((now, payload[8:]))
            self.ready.set()
        elif kind == b"E":
            self._problem("E frame: " + payload.decode(errors="replace"))

    def _problem(self, text):
        if text not in self.problems:
            self.problems.append(text)

    def stop(self):
        if self.proc.poll() is None:
            if self.framed:
                try:
                    self.proc.stdin.write(b"Q")
                    self.proc.stdin.close()
                except OSError:
                    pass
            else:
                self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self._problem("did not exit when asked; killed")
                self.proc.kill()
                self.proc.wait()
        self.thread.join(timeout=3)


def reader_lineup(args):
    monitor = "zarn_null0.monitor"
    raw = ["--raw", "--format=float32le", "--channels=1", f"--rate={RATE}", f"--device={monitor}"]
    # (name, argv, kind): kind is "framed" (zarn-audio's frames on a pipe), "socket" (the same on a
    # socket), "raw" or "record"
    lineup = []
    if args.zarn:
        # Both of our services: the native one is chosen whenever a PipeWire daemon answers; a
        # PIPEWIRE_REMOTE that names no socket makes the same program take libpulse. `env` execs
        # zarn-audio, so the pid measured is the helper's own.
        lineup.append((NATIVE, [args.zarn], "framed"))
        lineup.append((NATIVE_SOCKET, [args.zarn], "socket"))
        lineup.append((LIBPULSE, ["env", "PIPEWIRE_REMOTE=zarn-no-pipewire", args.zarn], "framed"))
    lineup.append(("parec --latency-msec=20", ["parec", "--latency-msec=20"] + raw, "raw"))
    lineup.append(("parec (default)", ["parec"] + raw, "raw"))
    for command in args.also:
        # Extra raw readers to compare, e.g. "parec --fragsize=3840": they get the same format
        # and monitor as parec above.
        argv = command.split()
        lineup.append((command, argv + raw if argv[0] == "parec" else argv, "raw"))
    if not args.no_pw_record and shutil.which("pw-record"):
        lineup.append((PW_RECORD, [
            "pw-record", "--target", "zarn_null0", "-P", "stream.capture.sink=true", "--rate",
            str(RATE), "--channels", "1", "--format", "f32", "--latency", "20ms", "-"
        ], "raw"))
    if args.record:
        lineup.append(("zarn-audio-record (.wav)", [args.record, "--bits", "16"], "record"))
    return lineup


# --- measurements ------------------------------------------------------------------------------


def cpu_ns(pid):
    """CPU time of every thread of pid so far, in ns (0 once it has gone)."""
    total = 0
    try:
        tasks = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return 0
    for tid in tasks:
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


def peak_rss_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def private_kib(pid):
    """Memory of the process's own: Private_Clean + Private_Dirty from smaps_rollup."""
    total = 0
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith(("Private_Clean:", "Private_Dirty:")):
                    total += int(line.split()[1])
    except OSError:
        return None
    return total


def server_pids(server_dir):
    pids = []
    for name in ("pipewire", "wireplumber", "pipewire-pulse", "pulseaudio"):
        try:
            with open(os.path.join(server_dir, "pids", name)) as f:
                pids.append(int(f.read().split()[0]))
        except OSError:
            pass
    return pids


def onsets(deliveries):
    """Arrival times (ns) of the deliveries holding a burst's first sample, in order."""
    found = []
    quiet = QUIET_BEFORE_ONSET
    for arrival, data in deliveries:
        samples = array.array("f")
        samples.frombytes(data[:len(data) - len(data) % 4])
        if not samples:
            continue
        if max(samples) < LOUD and min(samples) > -LOUD:
            quiet += len(samples)
            continue
        for x in samples:
            if -LOUD < x < LOUD:
                quiet += 1
            else:
                if quiet >= QUIET_BEFORE_ONSET:
                    found.append(arrival)
                quiet = 0
    return found


def percentile(values, p):
    ordered = sorted(values)
    k = (len(ordered) - 1) * p
    lo = math.floor(k)
    hi = min(lo + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (k - lo)


def start_player(args, env, mode, seconds=0.0, latency_ms=20):
    argv = [sys.executable, os.path.abspath(__file__), "--player", "--mode", mode,
            "--seconds", str(seconds), "--latency-ms", str(latency_ms),
            "--bursts", str(args.bursts), "--seed", str(args.seed)]
    player = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, text=True)
    line = player.stdout.readline().strip()
    if line != "ready":
        player.kill()
        sys.exit(f"player did not start ({line or 'no output'})")
    return player


def start_native_tone(env):
    """A tone from a native player asking for 512-frame (10.7 ms) cycles, as an application
    playing with low latency would: every reader then runs on the same server cycle, so each one's
    cost is only what it adds to a desktop that is playing."""
    player = subprocess.Popen(["pw-cat", "--playback", "--format", "f32", "--rate", str(RATE),
                               "--channels", "1", "--latency", str(PLAYER_CYCLE), "-"], env=env,
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    tone = array.array("f", (0.3 * math.sin(2 * math.pi * 440 * i / RATE)
                             for i in range(RATE))).tobytes()  # a whole number of periods

    def feed():
        try:
            while True:
                player.stdin.write(tone)  # blocks at the player's pace
        except (OSError, ValueError):
            pass  # the player was stopped

    threading.Thread(target=feed, daemon=True).start()
    time.sleep(1.0)
    if player.poll() is not None:
        sys.exit("pw-cat did not start")
    return player


def wait_ready(readers, timeout):
    deadline = time.monotonic() + timeout
    for r in readers:
        if not r.ready.wait(max(0.0, deadline - time.monotonic())):
            why = "; ".join(r.problems) or "no error reported"
            raise SystemExit(f"{r.name}: no audio within {timeout} s ({why})")


def latency_phase(args, env, lineup):
    readers = [Reader(name, argv, env, kind) for name, argv, kind in lineup]
    try:
        wait_ready(readers, 8)  # parec's default fragments take seconds to fill
        time.sleep(0.3)
        player = start_player(args, env, "bursts", latency_ms=args.player_latency_ms)
        handed = []
        for line in player.stdout:
            parts = line.split()
            if parts[0] == "burst":
                handed.append(int(parts[1]))
        player.wait()
        time.sleep(args.tail)  # the slowest reader's last delivery
    finally:
        for r in readers:
            r.stop()
    results = {}
    for r in readers:
        arrivals = onsets(r.deliveries)
        if len(arrivals) != len(handed):
            r.problems.append(f"heard {len(arrivals)} of {len(handed)} bursts")
        pairs = list(zip(handed, arrivals))
        latencies = [(a - h) / 1e6 for h, a in pairs]
        if any(x < 0 for x in latencies):
            r.problems.append("a burst arrived before it was handed over: bursts mismatched")
        results[r.name] = (latencies, r.problems)
    return results, len(handed)


class Recorder:
    """zarn-audio-record writing a .wav file: a cost row, not a latency one (it has no stdout)."""

    def __init__(self, name, argv, env, path):
        self.name = name
        self.path = path
        self.problems = []
        self.proc = subprocess.Popen(argv + [path], env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def wait_ready(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.audio_bytes() > RECORDED_SAMPLE_BYTES * RATE // 10 and self.helper_pid():
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        self.stop()
        raise SystemExit(f"{self.name}: no audio within {timeout} s ({' '.join(self.problems)})")

    def audio_bytes(self):
        try:
            return os.path.getsize(self.path)
        except OSError:
            return 0

    def helper_pid(self):
        try:
            with open(f"/proc/{self.proc.pid}/task/{self.proc.pid}/children") as f:
                children = f.read().split()
        except OSError:
            return None
        return int(children[0]) if children else None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)  # ends the recording with a valid file
        try:
            _, err = self.proc.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
            self.problems.append("did not exit on SIGINT; killed")
        if self.proc.returncode != 0:
            self.problems.append(f"exit status {self.proc.returncode}: " +
                                 err.decode(errors="replace").strip().replace("\n", " / "))
        try:
            os.unlink(self.path)
        except OSError:
            pass


def measure_cost(args, env, entry, servers):
    """CPU per audio second of one reader alone (None: the server alone), while a tone plays."""
    name, argv, kind = entry
    reader = None
    if kind == "record":
        reader = Recorder(name, argv, env, os.path.join(args.server_dir, "bench-record.wav"))
    elif name:
        reader = Reader(name, argv, env, kind)
    try:
        if isinstance(reader, Recorder):
            reader.wait_ready(8)
            time.sleep(0.5)
            helper = reader.helper_pid()
            bytes0 = reader.audio_bytes()
        elif reader:
            wait_ready([reader], 8)
            time.sleep(0.5)
            first = len(reader.deliveries)
        else:
            time.sleep(1.0)
        start_ns = time.monotonic_ns()
        r0 = cpu_ns(reader.proc.pid) if reader else 0
        h0 = cpu_ns(helper) if isinstance(reader, Recorder) else 0
        s0 = sum(cpu_ns(p) for p in servers)
        time.sleep(args.cost_seconds)
        r1 = cpu_ns(reader.proc.pid) if reader else 0
        h1 = cpu_ns(helper) if isinstance(reader, Recorder) else 0
        s1 = sum(cpu_ns(p) for p in servers)
        span = (time.monotonic_ns() - start_ns) / 1e9
        rss = peak_rss_kib(reader.proc.pid) if reader else None
        private = private_kib(reader.proc.pid) if reader else None
        if isinstance(reader, Recorder):
            audio = (reader.audio_bytes() - bytes0) / RECORDED_SAMPLE_BYTES / RATE
        elif reader:
            last = len(reader.deliveries)
    finally:
        if reader:
            reader.stop()
    result = {"reader": (r1 - r0) / 1e9 / span, "helper": None, "total": None, "rss": rss,
              "private": private,
              "delivery": None, "problems": reader.problems if reader else []}
    result["total"] = (r1 - r0 + h1 - h0 + s1 - s0) / 1e9 / span
    if isinstance(reader, Recorder):
        result["helper"] = (h1 - h0) / 1e9 / span
        if audio < 0.9 * span:
            reader.problems.append(f"wrote {audio:.1f} s of audio in {span:.1f} s")
    elif reader:
        sizes = [len(d) / 4 / reader.rate * 1000 for _, d in reader.deliveries[first:last]]
        result["delivery"] = statistics.median(sizes) if sizes else None
        audio = sum(sizes) / 1000
        # Big fragments arrive seconds apart, so only small ones must add up.
        if statistics.median(sizes or [0]) < 100 and audio < 0.9 * span:
            reader.problems.append(f"delivered {audio:.1f} s of audio in {span:.1f} s")
    return result


def cost_phase(args, env, lineup, server_dir):
    """Each reader alone, in --rounds rounds whose order rotates (the server's own load drifts
    over a run and a shared machine is noisy); per reader the median of its rounds."""
    servers = server_pids(server_dir)
    entries = [(None, None, None)] + lineup
    rounds = {entry[0]: [] for entry in entries}
    player = start_native_tone(env)
    try:
        for k in range(args.rounds):
            shift = k % len(entries)
            for entry in entries[shift:] + entries[:shift]:
                rounds[entry[0]].append(measure_cost(args, env, entry, servers))
    finally:
        player.kill()
        player.wait()
    results = {}
    for name, runs in rounds.items():
        merged = {}
        for key in ("reader", "helper", "total", "rss", "private", "delivery"):
            values = [r[key] for r in runs if r[key] is not None]
            merged[key] = statistics.median(values) if values else None
        merged["problems"] = [p for r in runs for p in r["problems"]]
        results[name] = merged
    return results


def print_table(latency, bursts, cost, lineup, args):
    def fmt(value, pattern):
        return "-" if value is None else format(value, pattern)

    header = ["reader", "median ms", "p95 ms", "heard", "CPU ms/s", "with server", "RSS MiB",
              "private MiB", "delivery ms"]
    rows = []
    for name, _, kind in lineup:
        lat = latency[name][0] if name in latency else []
        c = cost[name]
        rows.append([
            name,
            fmt(statistics.median(lat) if lat else None, ".1f"),
            fmt(percentile(lat, 0.95) if lat else None, ".1f"),
            f"{len(lat)}/{bursts}" if name in latency else "-",
            fmt(c["reader"] * 1000, ".2f"),
            fmt(c["total"] * 1000, ".2f"),
            fmt(c["rss"] / 1024 if c["rss"] else None, ".1f"),
            fmt(c["private"] / 1024 if c["private"] else None, ".2f"),
            fmt(c["delivery"], ".1f"),
        ])
    base = cost[None]
    rows.append(["(server alone)", "", "", "", "", fmt(base["total"] * 1000, ".2f"), "", "", ""])
    widths = [max(len(str(r[i])) for r in rows + [header]) for i in range(len(header))]
    line = lambda r: "  ".join(
        (str(v).ljust(widths[i]) if i == 0 else str(v).rjust(widths[i])) for i, v in enumerate(r))
    print(line(header))
    print("  ".join("-" * w for w in widths))
    for r in rows:
        print(line(r))
    together = "each reader alone" if args.alone else "all readers listening at once"
    print(f"\nlatency: {bursts} bursts of 10 ms handed to the server at random moments "
          f"(player buffer {args.player_latency_ms} ms), {together}; "
          "from hand-over to the first loud sample's arrival.")
    print(f"cost: each reader alone for {args.cost_seconds:g} s of audio while pw-cat plays a tone "
          f"on {PLAYER_CYCLE}-frame server cycles, "
          f"median of {args.rounds} rounds in rotating order; CPU ms per audio second of the "
          "reader, and of the reader plus the server's processes (pipewire, wireplumber, "
          "pipewire-pulse); peak RSS of the reader, and its private memory (Private_Clean + "
          "Private_Dirty in smaps_rollup) at the end of its span; median audio per delivery.")
    for name, _, kind in lineup:
        if kind == "record" and cost[name]["helper"] is not None:
            print(f"recorder: {name} writing while armed: {cost[name]['reader'] * 1000:.2f} ms/s "
                  f"of its own, next to {cost[name]['helper'] * 1000:.2f} ms/s of the zarn-audio "
                  "it runs; its 'with server' includes that helper.")
    for ours in (NATIVE, NATIVE_SOCKET, LIBPULSE):
        print_goals(ours, latency, cost)
    for name, _, _ in lineup:
        problems = (latency[name][1] if name in latency else []) + cost[name]["problems"]
        for p in dict.fromkeys(problems):
            print(f"note: {name}: {p}")


def print_goals(ours, latency, cost):
    """The goals for our services against parec --latency-msec=20, each as measured here."""
    if ours not in cost or not latency.get(ours, [[]])[0] or not latency.get(PEER, [[]])[0]:
        return
    lat_ours, lat_peer = latency[ours][0], latency[PEER][0]
    p95_ours, p95_peer = percentile(lat_ours, 0.95), percentile(lat_peer, 0.95)
    med_ours, med_peer = statistics.median(lat_ours), statistics.median(lat_peer)
    mine, peer = cost[ours], cost[PEER]
    private = mine["private"] / 1024 if mine["private"] else float("inf")
    recorder = cost.get(PW_RECORD, {}).get("private")
    recorder = recorder / 1024 if recorder else None
    goals = [
        (f"p95 {p95_ours:.1f} ms at least 8 ms below {p95_peer:.1f}", p95_ours <= p95_peer - 8),
        (f"median {med_ours:.1f} ms no worse than {med_peer:.1f}", med_ours <= med_peer),
        (f"CPU with servers {mine['total'] * 1000:.2f} ms/s at most 0.75 of "
         f"{peer['total'] * 1000:.2f}", mine["total"] <= 0.75 * peer["total"]),
    ]
    if recorder is not None:
        goals.append((f"private memory {private:.2f} MiB at most pw-record's {recorder:.2f}",
                      private <= recorder))
    print(f"goals, {ours}: " + "; ".join(f"{text}: {'met' if ok else 'NOT met'}"
                                         for text, ok in goals))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--player", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--mode", default="bursts", help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=float, default=0, help=argparse.SUPPRESS)
    parser.add_argument("--latency-ms", type=int, default=20, help=argparse.SUPPRESS)
    parser.add_argument("--block-ms", type=int, default=5, help=argparse.SUPPRESS)
    parser.add_argument("--server-dir", help="the private server's directory")
    parser.add_argument("--zarn", help="zarn-audio binary (left out when not given)")
    parser.add_argument("--bursts", type=int, default=50)
    parser.add_argument("--gap-min", type=float, default=0.2)
    parser.add_argument("--gap-max", type=float, default=0.4)
    parser.add_argument("--player-latency-ms", type=int, default=20)
    parser.add_argument("--tail", type=float, default=3.0,
                        help="seconds to wait for the slowest reader after the last burst")
    parser.add_argument("--cost-seconds", type=float, default=6.0)
    parser.add_argument("--rounds", type=int, default=3,
                        help="cost rounds per reader, in rotating order; the median is shown")
    parser.add_argument("--record", help="zarn-audio-record binary, for its cost row")
    parser.add_argument("--alone", action="store_true",
                        help="measure each reader's latency alone rather than all at once")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--no-pw-record", action="store_true")
    parser.add_argument("--also", action="append", default=[], metavar="COMMAND",
                        help="another reader writing float32 mono samples to stdout; parec "
                        "commands get the format and monitor options added")
    args = parser.parse_args()
    if args.player:
        run_player(args)
        return
    if not args.server_dir:
        parser.error("--server-dir is required")

    env = {k: os.environ[k] for k in ("PATH", "HOME", "LANG") if k in os.environ}
    with open(os.path.join(args.server_dir, "env")) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            if key:
                env[key] = value
    lineup = reader_lineup(args)
    listeners = [entry for entry in lineup if entry[2] != "record"]
    if args.alone:
        # The server's cycle follows the smallest buffer any client asks for; alone, each
        # reader gets only what its own request (and the player's) earns.
        latency = {}
        for entry in listeners:
            result, bursts = latency_phase(args, env, [entry])
            latency.update(result)
    else:
        latency, bursts = latency_phase(args, env, listeners)
    cost = cost_phase(args, env, lineup, args.server_dir)
    print_table(latency, bursts, cost, lineup, args)


if __name__ == "__main__":
    main()
