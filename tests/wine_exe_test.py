#!/usr/bin/env python3
# zarn-audio.exe as a Windows parent sees it, run under Wine 10 (scripts/wine-root) on a private
# PulseAudio server: python3 wine_exe_test.py EXE CASE. Each case starts its own server and Wine's
# wineserver and stops both; the cases share one Wine prefix, so they must not run at once.
import itertools
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
QUIET = {"stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
DEFAULT_OUTPUT = [r"HKCU\Software\Wine\Drivers\winepulse.drv", "/v", "DefaultOutput"]
RENDER = r"HKLM\Software\Microsoft\Windows\CurrentVersion\MMDevices\Audio\Render"


def output(*command, env=None):
    return subprocess.run(command, env=env, check=True, stdout=subprocess.PIPE, text=True).stdout


# A C frame's samples, after its format header.
def floats(payload):
    return struct.unpack("<%df" % ((len(payload) - 8) // 4), payload[8:])


# A private PulseAudio server and the Wine root's wineserver, for one case.
class Server:

    def __init__(self, exe, rate=48000, outputs=1):
        self.exe, self.rate = Path(exe).resolve(), rate
        self.dir = tempfile.mkdtemp(prefix="zarn-wine-", dir="/tmp")
        output(SOUND_SERVER, "start", "pulseaudio", self.dir, "--rate", str(rate), "--outputs",
               str(outputs), "--owner", str(os.getpid()))
        self.env = dict(os.environ, **dict(
            line.split("=", 1) for line in output(SOUND_SERVER, "env", self.dir).split()))
        # Wine's own helpers inherit the descriptors of the process that starts them: started
        # here on /dev/null, they never hold the helper's pipes open. A case that was killed may
        # have left its default output behind.
        for step in (["wineserver", "-k"], ["wineserver", "-w"], ["wineserver", "-p"],
                     ["wine", "cmd", "/c", "exit"], ["wine", "reg", "delete"] + DEFAULT_OUTPUT + ["/f"]):
            self.wine(step)

    def wine(self, command, **options):
        return subprocess.run([WINE_ROOT, "run", self.dir, str(self.exe.parent), "--"] + command,
                              **dict(QUIET, **options))

    def pactl(self, *args):
        return output("pactl", *args, env=self.env)

    def play(self, hz, sink=""):
        return output(SOUND_SERVER, "play", self.dir, str(hz), "0", *([sink] if sink else []))

    # Through Wine's registry, by the endpoint id Wine gave the output.
    def make_default(self, sink):
        listing = self.wine(["wine", "reg", "query", RENDER, "/s"], stdout=subprocess.PIPE,
                            text=True).stdout
        guids = [guid for guid, properties in re.findall(
            r"Render\\(\{[^}]+\})\\Properties\n(.*?)\n\n", listing + "\n\n", re.S)
                 if re.search(r",2\s+REG_SZ\s+%s\n" % sink, properties + "\n")]
        assert guids, "Wine lists no endpoint for %s" % sink
        self.wine(["wine", "reg", "add"] + DEFAULT_OUTPUT +
                  ["/d", "{0.0.0.00000000}." + guids[0], "/f"], check=True)

    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.wine(["wineserver", "-k"])
        subprocess.run([SOUND_SERVER, "stop", self.dir], check=False)
        shutil.rmtree(self.dir, ignore_errors=True)


# zarn-audio.exe on pipes; its frames decoded as they arrive.
class Helper:

    def __init__(self, server, reading=True):
        self.frames, self.started, self.rate = [], time.monotonic(), server.rate
        self.process = subprocess.Popen(
            [WINE_ROOT, "run", server.dir, str(server.exe.parent), "--", "wine", str(server.exe)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self._read, daemon=True)
        if reading:
            self.reader.start()

    def _read(self):
        while len(head := self.process.stdout.read(5)) == 5:
            payload = self.process.stdout.read(struct.unpack("<I", head[1:])[0])
            self.frames.append((chr(head[0]), payload, time.monotonic()))

    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    # Until a `kind` frame (with sound in it, if `loud`) has come.
    def wait_for(self, kind, loud=False, seconds=10):
        deadline = time.monotonic() + seconds
        while not any(k == kind and (not loud or max(map(abs, floats(payload))) > 0.1)
                      for k, payload, _ in list(self.frames)):
            assert time.monotonic() < deadline, "no %s frame within %s s" % (kind, seconds)
            time.sleep(0.02)

    # Q, or with `how` None the end of input: status 0 within the bound, no standard error.
    def quit(self, how=b"Q"):
        asked = time.monotonic()
        if how:
            self.send(how)
        else:
            self.process.stdin.close()
        status = self.process.wait(timeout=QUIT_BOUND + 5)
        took = time.monotonic() - asked
        self.reader.join(5)
        errors = self.process.stderr.read()
        assert took < QUIT_BOUND and status == 0 and errors == b"", (took, status, errors[:200])

    def errors(self):
        return [f[1].decode() for f in self.frames if f[0] == "E"]

    # The samples of the C frames that arrived `after` s after the start, at the output's
    # rate, in mono floats, none longer than 20 ms.
    def audio(self, after=0.0):
        samples = []
        for kind, payload, at in self.frames:
            if kind == "C" and at - self.started >= after:
                assert struct.unpack("<IBBBB", payload[:8])[:4] == (self.rate, 1, 32, 1)
                assert len(payload) - 8 <= self.rate // 50 * 4, "a frame longer than 20 ms"
                samples += floats(payload)
        return samples

    # The samples that arrive in `seconds` after `settle` s from now.
    def listen(self, settle, seconds=1.0):
        time.sleep(settle)
        since = time.monotonic() - self.started
        time.sleep(seconds)
        return self.audio(after=since)


# By the rising zero crossings, interpolated, first to last.
def frequency(rate, samples):
    crossings = [i + s / (s - samples[i + 1]) for i, s in enumerate(samples[:-1])
                 if s < 0 <= samples[i + 1]]
    assert len(crossings) > 10, "no tone"
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


# No console window on Windows (a DLL that Wine's root lacks fails every case). With no output at
# all the start fails with the same words as on Linux. Commands and frames as on Linux (bytes that
# text mode would touch are commands too); the end of input both ways, handles the parent left
# out, and a parent that goes away.
def case_protocol(exe):
    headers = output("x86_64-w64-mingw32-objdump", "-p", exe).lower()
    assert "(windows gui)" in headers, "not in the GUI subsystem"
    with Server(exe, outputs=0) as server:
        helper = Helper(server)
        helper.wait_for("E")
        helper.quit()
        assert helper.errors() == ["start failed: no sound output to capture"], helper.errors()
        assert "R" not in [f[0] for f in helper.frames]
    with Server(exe) as server:
        helper = Helper(server)
        helper.send(b"PA\x1a\n\x00\xffP")
        helper.wait_for("R")
        time.sleep(0.5)
        helper.quit(how=None)  # the pipe's writer closes: ReadFile fails or reads nothing
        kinds = [f[0] for f in helper.frames if f[0] != "C"]
        assert kinds.count("R") == 1 and kinds.count("O") == 2, kinds
        assert helper.errors() == ["unknown command byte: %d" % b for b in (26, 10, 0, 255)]
        assert len(helper.audio()) > 48000 * 0.3, len(helper.audio())

        # Input that is a file reads nothing at its end; handles the parent left closed read as
        # NUL. Either way the helper quits at once, with status 0 and nothing on standard error.
        for close in ((), (0, 1)):
            left = server.wine(["wine", str(server.exe)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, timeout=20,
                               preexec_fn=lambda: [os.close(fd) for fd in close])
            assert left.returncode == 0 and left.stderr == b"", (close, left.returncode, left.stderr)

        gone = Helper(server, reading=False)
        gone.send(b"A")
        assert gone.process.stdout.read(5)[:1] in (b"R", b"C")
        gone.process.stdout.close()  # the parent stops reading and closes its end
        assert gone.process.wait(timeout=10) == 109  # the output closed while not quitting


# At the output's own rate, a -6 dBFS 440 Hz tone comes back exact in pitch and level. Then the
# output sends nothing for 2 s (suspended, as Windows does while nothing plays): the audio goes
# on in zeros, with no gap and no overlap against the time that passed. Then a new default output
# is followed without an E frame; so is the captured one's removal.
def case_tone(exe):
    for rate in (48000, 44100, 96000):
        with Server(exe, rate=rate, outputs=2) as server:
            server.play(440, "zarn_null0")
            high = server.play(880, "zarn_null1")
            helper = Helper(server)
            helper.send(b"A")
            helper.wait_for("C", loud=True)
            tone = helper.listen(0.1, 1.4)[:rate]
            server.pactl("suspend-sink", "zarn_null0", "1")
            time.sleep(2)
            server.pactl("suspend-sink", "zarn_null0", "0")
            time.sleep(1)
            samples, arrivals = helper.audio(), [f[2] for f in helper.frames if f[0] == "C"]
            server.make_default("zarn_null1")
            heard = [helper.listen(1.5)]
            modules = server.pactl("list", "short", "modules").splitlines()
            module = next(line.split()[0] for line in modules if "sink_name=zarn_null1" in line)
            os.kill(int(high), 15)  # or the server moves it to the output that is left
            server.pactl("unload-module", module)
            heard.append(helper.listen(2.5))
            helper.quit()
            zeros = max(len(list(run)) for zero, run in itertools.groupby(samples, lambda v: v == 0)
                        if zero) / rate
            hz, peak = frequency(rate, tone), max(map(abs, tone))
            took = arrivals[-1] - arrivals[0]
            # Which output is heard; the exact pitch is the first part's check, and a busy
            # machine may starve Wine's mixing for a moment.
            off = [abs(frequency(rate, part[-rate // 2:]) - hz) for part, hz in zip(heard, (880, 440))]
            assert len(tone) == rate and abs(hz - 440) < 0.1 and abs(peak - 0.5) < 0.01, (rate, hz, peak)
            assert zeros > 1.5 and abs(len(samples) / rate - took) < 0.15, (rate, zeros, took)
            assert max(off) < 50 and helper.errors() == [], (rate, off, helper.errors())


if __name__ == "__main__":
    # Fails, and says why, without the Wine root or without the root user that it takes.
    subprocess.run([WINE_ROOT, "run", "", "", "--", "true"], check=True)
    globals()["case_" + sys.argv[2]](sys.argv[1])
