#!/usr/bin/env python3
"""zarn-audio.exe as a Windows parent sees it, run under Wine 10 (scripts/wine-root) on a private
PulseAudio server: python3 wine_exe_test.py EXE CASE. Each case starts its own server and Wine's
wineserver and stops both; the cases share one Wine prefix, so they must not run at once."""
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
SOUND_SERVER = str(REPO / "scripts/sound-server")
WINE_ROOT = str(REPO / "scripts/wine-root")
QUIT_BOUND = 3.0  # seconds from Q or the end of input to the exit, as on Linux
BROKEN_PIPE_STATUS = 109  # a parent that closed our output while we were not quitting


class Server:
    """A private PulseAudio server, the Wine root's wineserver, and the helper started on them."""

    def __init__(self, exe, rate=48000, outputs=1):
        self.exe = Path(exe).resolve()
        self.dir = tempfile.mkdtemp(prefix="zarn-wine-", dir="/tmp")
        subprocess.run([SOUND_SERVER, "start", "pulseaudio", self.dir, "--rate", str(rate),
                        "--outputs", str(outputs), "--owner", str(os.getpid())],
                       check=True, stdout=subprocess.DEVNULL)
        self.env = dict(os.environ, **dict(
            line.split("=", 1) for line in subprocess.run(
                [SOUND_SERVER, "env", self.dir], check=True, capture_output=True,
                text=True).stdout.split()))
        # Wine's own helpers inherit the descriptors of the process that starts them: started
        # here on /dev/null, they never hold the helper's pipes open.
        for step in (["wineserver", "-k"], ["wineserver", "-w"], ["wineserver", "-p"],
                     ["wine", "cmd", "/c", "exit"]):
            self.wine(step)
        self.forget_default()  # a case that was killed may have left its own

    def forget_default(self):
        self.wine(["wine", "reg", "delete", r"HKCU\Software\Wine\Drivers\winepulse.drv", "/v",
                   "DefaultOutput", "/f"])

    def wine(self, command, **options):
        options.setdefault("stdin", subprocess.DEVNULL)
        options.setdefault("stdout", subprocess.DEVNULL)
        options.setdefault("stderr", subprocess.DEVNULL)
        return subprocess.run([WINE_ROOT, "run", self.dir, str(self.exe.parent), "--"] + command,
                              **options)

    def pactl(self, *args):
        return subprocess.run(["pactl"] + list(args), env=self.env, check=True,
                              capture_output=True, text=True).stdout

    def play(self, hz, sink=""):
        return subprocess.run([SOUND_SERVER, "play", self.dir, str(hz), "0"] + ([sink] if sink else []),
                              check=True, capture_output=True, text=True).stdout.strip()

    def endpoint_id(self, sink):
        """The Windows endpoint id Wine gave the output, from its device registry."""
        listing = self.wine(["wine", "reg", "query", r"HKLM\Software\Microsoft\Windows"
                             r"\CurrentVersion\MMDevices\Audio\Render", "/s"],
                            stdout=subprocess.PIPE, text=True).stdout
        for guid, properties in re.findall(r"Render\\(\{[^}]+\})\\Properties\n(.*?)\n\n",
                                           listing + "\n\n", re.S):
            if re.search(r",2\s+REG_SZ\s+%s\n" % sink, properties + "\n"):
                return "{0.0.0.00000000}." + guid
        raise AssertionError("Wine lists no endpoint for %s" % sink)

    def make_default(self, sink):
        self.wine(["wine", "reg", "add", r"HKCU\Software\Wine\Drivers\winepulse.drv", "/v",
                   "DefaultOutput", "/d", self.endpoint_id(sink), "/f"], check=True)

    def close(self):
        self.forget_default()
        self.wine(["wineserver", "-k"])
        subprocess.run([SOUND_SERVER, "stop", self.dir], check=False)
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()

    def helper(self, reading=True):
        return Helper(self, reading)


class Helper:
    """zarn-audio.exe on pipes; its frames decoded as they arrive."""

    def __init__(self, server, reading=True):
        self.frames, self.started = [], time.monotonic()
        self.process = subprocess.Popen(
            [WINE_ROOT, "run", server.dir, str(server.exe.parent), "--", "wine", str(server.exe)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self._read, daemon=True)
        if reading:
            self.reader.start()

    def _read(self):
        pending = b""
        while chunk := self.process.stdout.read1(65536):
            pending += chunk
            while len(pending) >= 5 and len(pending) >= 5 + struct.unpack("<I", pending[1:5])[0]:
                length = struct.unpack("<I", pending[1:5])[0]
                self.frames.append((chr(pending[0]), pending[5:5 + length], time.monotonic()))
                pending = pending[5 + length:]

    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def wait_for(self, kind, seconds=10):
        deadline = time.monotonic() + seconds
        while not any(f[0] == kind for f in self.frames):
            assert time.monotonic() < deadline, "no %s frame within %s s" % (kind, seconds)
            time.sleep(0.01)

    def wait_for_sound(self, seconds=10):
        """When, after the start, the first C frame with sound in it arrived."""
        deadline = time.monotonic() + seconds
        while True:
            for kind, payload, at in list(self.frames):
                if kind == "C" and max(map(abs, struct.unpack("<%df" % ((len(payload) - 8) // 4),
                                                              payload[8:])), default=0) > 0.1:
                    return at - self.started
            assert time.monotonic() < deadline, "no sound within %s s" % seconds
            time.sleep(0.05)

    def quit(self, how=b"Q"):
        asked = time.monotonic()
        if how:
            self.send(how)
        else:
            self.process.stdin.close()
        status = self.process.wait(timeout=QUIT_BOUND + 5)
        took = time.monotonic() - asked
        assert took < QUIT_BOUND, "quit took %.2f s" % took
        return status

    def finish(self):
        if self.reader.is_alive():
            self.reader.join(5)
        errors = self.process.stderr.read()
        assert errors == b"", "standard error: %r" % errors[:200]

    def errors(self):
        return [f[1].decode() for f in self.frames if f[0] == "E"]

    def audio(self, after=0.0):
        """The rate and the samples of the C frames that arrived `after` s after the start."""
        rate, samples = 0, []
        for kind, payload, at in self.frames:
            if kind != "C" or at - self.started < after:
                continue
            rate, channels, bits, is_float, _ = struct.unpack("<IBBBB", payload[:8])
            assert (channels, bits, is_float) == (1, 32, 1)
            assert len(payload) - 8 <= rate // 50 * 4, "a frame longer than 20 ms"
            samples += struct.unpack("<%df" % ((len(payload) - 8) // 4), payload[8:])
        return rate, samples


def frequency(rate, samples):
    """By the rising zero crossings, interpolated, first to last."""
    crossings = [i + s / (s - samples[i + 1]) for i, s in enumerate(samples[:-1])
                 if s < 0 <= samples[i + 1]]
    assert len(crossings) > 10, "no tone"
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


def case_dlls(exe):
    """Runs on any Windows 10 as it is: no console, and only DLLs the system has."""
    headers = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", exe], check=True,
                             capture_output=True, text=True).stdout
    dlls = set(re.findall(r"DLL Name: (\S+)", headers.lower()))
    assert "(windows gui)" in headers.lower(), "not in the GUI subsystem"
    assert dlls <= {"kernel32.dll", "msvcrt.dll", "ole32.dll", "avrt.dll"}, dlls


def case_protocol(exe):
    """Commands and frames as on Linux; bytes that text mode would touch are commands too."""
    with Server(exe) as server:
        helper = server.helper()
        helper.send(b"PA\x1a\n\x00\xffP")
        helper.wait_for("R")
        time.sleep(0.5)
        assert helper.quit() == 0
        helper.finish()
        kinds = [f[0] for f in helper.frames if f[0] != "C"]
        assert kinds.count("R") == 1 and kinds.count("O") == 2, kinds
        assert helper.errors() == ["unknown command byte: %d" % b for b in (26, 10, 0, 255)]
        rate, samples = helper.audio()
        assert rate == 48000 and len(samples) > rate * 0.3, (rate, len(samples))


def case_input_and_output(exe):
    """The end of input both ways, handles the parent left out, and a parent that goes away."""
    with Server(exe) as server:
        ended = server.helper()  # the pipe's writer closes: ReadFile fails or reads nothing
        ended.wait_for("R")
        assert ended.quit(how=None) == 0
        ended.finish()
        # Input that is a file reads nothing at its end; handles the parent left closed read as
        # NUL. Either way the helper quits at once, with status 0 and nothing on standard error.
        for close in ((), (0, 1)):
            left = server.wine(["wine", str(server.exe)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=20,
                               preexec_fn=lambda: [os.close(fd) for fd in close])
            assert left.returncode == 0 and left.stderr == b"", (close, left.returncode, left.stderr)
        gone = server.helper(reading=False)
        gone.send(b"A")
        assert gone.process.stdout.read(5)[:1] in (b"R", b"C")
        gone.process.stdout.close()  # the parent stops reading and closes its end
        assert gone.process.wait(timeout=10) == BROKEN_PIPE_STATUS


def case_tone(exe):
    """A -6 dBFS 440 Hz tone comes back exact in pitch and level at the output's own rate."""
    for rate in (48000, 44100, 96000):
        with Server(exe, rate=rate) as server:
            server.play(440)
            helper = server.helper()
            helper.send(b"A")
            heard = helper.wait_for_sound()
            time.sleep(1.3)
            assert helper.quit() == 0
            helper.finish()
            got, samples = helper.audio(after=heard + 0.1)
            assert got == rate and len(samples) > rate, (got, rate, len(samples))
            samples = samples[-rate:]
            hz, peak = frequency(got, samples), max(map(abs, samples))
            print("%d Hz: %.3f Hz, peak %.4f" % (rate, hz, peak))
            assert abs(hz - 440) < 0.1 and abs(peak - 0.5) < 0.01, (hz, peak)


def case_silence(exe):
    """An output that sends nothing for 2 s (suspended, as Windows does while nothing plays) still
    gives audio: zeros, with no gap and no overlap against the time that passed."""
    with Server(exe) as server:
        server.play(440)
        helper = server.helper()
        helper.send(b"A")
        helper.wait_for_sound()
        time.sleep(1)
        server.pactl("suspend-sink", "zarn_null0", "1")
        time.sleep(2)
        server.pactl("suspend-sink", "zarn_null0", "0")
        time.sleep(1)
        first = next(f[2] for f in helper.frames if f[0] == "C")
        last = helper.frames[-1][2]
        assert helper.quit() == 0
        helper.finish()
        rate, samples = helper.audio()
        longest, run = 0, 0
        for value in samples:
            run = run + 1 if value == 0 else 0
            longest = max(longest, run)
        print("%.3f s of audio in %.3f s, longest zero run %.3f s" %
              (len(samples) / rate, last - first, longest / rate))
        assert longest / rate > 1.5, longest / rate
        assert abs(len(samples) / rate - (last - first)) < 0.15


def case_follow(exe):
    """A new default output is followed without an E frame; so is the captured one's removal."""
    with Server(exe, outputs=2) as server:
        server.play(440, "zarn_null0")
        high = server.play(880, "zarn_null1")
        helper = server.helper()
        helper.send(b"A")
        helper.wait_for_sound()
        time.sleep(1)
        rate, before = helper.audio()
        server.make_default("zarn_null1")
        time.sleep(1.5)
        moved = time.monotonic() - helper.started
        time.sleep(1)
        rate, after = helper.audio(after=moved)
        module = next(line.split()[0] for line in server.pactl("list", "short", "modules").splitlines()
                      if "sink_name=zarn_null1" in line)
        os.kill(int(high), 15)  # or the server moves it to the output that is left
        server.pactl("unload-module", module)
        time.sleep(2.5)
        removed = time.monotonic() - helper.started
        time.sleep(1)
        rate, back = helper.audio(after=removed)
        assert helper.quit() == 0
        helper.finish()
        heard = [round(frequency(48000, part[-24000:])) for part in (before, after, back)]
        print("heard", heard)
        assert heard == [440, 880, 440] and helper.errors() == [], (heard, helper.errors())


def case_no_output(exe):
    """With no output at all the start fails with the same words as on Linux."""
    with Server(exe, outputs=0) as server:
        helper = server.helper()
        helper.wait_for("E")
        assert helper.quit() == 0
        helper.finish()
        assert helper.errors() == ["start failed: no sound output to capture"], helper.errors()
        assert not [f for f in helper.frames if f[0] == "R"]


if __name__ == "__main__":
    if sys.argv[2] == "dlls":
        sys.exit(case_dlls(sys.argv[1]))
    if os.geteuid() != 0:
        sys.exit("the Wine tests take root: wine-root runs Wine in a chroot")
    root = subprocess.run([WINE_ROOT, "path"], capture_output=True, text=True).stdout.strip()
    if not Path(root, ".zarn-complete").exists():
        sys.exit("no Wine root at %s: run scripts/wine-root make (scripts/test does)" % root)
    globals()["case_" + sys.argv[2]](sys.argv[1])
