# Capture and AsyncCapture against zarn-audio-sim (the real program on a scripted capture
# service) and against stand-ins that die: frames, reads, slow parents, quitting, and the child
# always reaped.

import asyncio
import concurrent.futures
import gc
import os
import subprocess
import sys
import time
from collections import Counter

import pytest

from conftest import ARMED, PACKAGE_DIR, SINE, alive, write_program
from zarn_audio import (AsyncCapture, Capture, HelperError, HelperExited, HelperNotFound,
                        StartTimeout, ZarnAudioError, find_helper)
from zarn_audio.capture import READ_SIZE
from zarn_audio.session import MAX_PENDING_BYTES


def test_frames_in_order_reads_cut_anywhere_and_a_read_stops_at_a_format_change(sim):
    # Counter data: byte j of delivery k is (k + j) mod 256, so a byte lost or doubled shows.
    tokens = ["chunk=rate:48000,bytes:400,count:3", "chunk=rate:16000,bytes:400,count:3"]
    halt = "halt=after:6:device gone – ééé"
    with Capture([sim, *tokens, "pace=5", "repeat=1", halt, ARMED]) as capture:
        assert capture.running and capture.ping() > 0
        reads = [(capture.read(seconds), capture.rate) for seconds in (0.004, 1.0, 0.01)]
        assert [(len(r), rate) for r, rate in reads] == [(192, 48000), (108, 48000), (160, 16000)]
        blocks = []  # extend keeps what the iteration gave before it raised
        with pytest.raises(HelperError, match="^stream stopped with error: device gone – ééé$"):
            blocks.extend(capture)
        # The rest of the fifth block, then the sixth; and the helper still answers.
        assert [block.frames for block in blocks] == [40, 100] and capture.ping() > 0
    assert capture.returncode == 0
    got = b"".join([*(bytes(samples) for samples, _ in reads), *(block.data for block in blocks)])
    assert got == bytes((k + j) % 256 for k in range(6) for j in range(400))


@pytest.mark.parametrize("kind", [Capture, AsyncCapture])
@pytest.mark.parametrize("tokens, error, message", [
    (["start=fail:Connection refused"], HelperError, "^start failed: Connection refused$"),
    (["start=hang"], StartTimeout, "^no answer from the capture stream"),
    (None, HelperExited, "status 7"),  # a helper that dies before starting
])
def test_a_failed_start_raises_and_reaps_the_helper(sim, tmp_path, kind, tokens, error, message):
    helper = [sim, *tokens] if tokens else write_program(tmp_path / "dead", "exit 7\n")
    # Only the hanging start waits out its timeout; the others must not race a busy machine.
    capture = kind(helper, start_timeout=0.5 if error is StartTimeout else 30)
    with pytest.raises(error, match=message):
        asyncio.run(capture.start()) if kind is AsyncCapture else capture.start()
    assert capture.returncode == (0 if tokens else 7)


@pytest.mark.parametrize("end, message", [
    ("exit 3", "exited with status 3 without being asked"),
    ("kill -9 $$", "killed by signal SIGKILL"),
    (r"printf 'E\11\0\0\0cut'; exit 0", "ended inside a frame"),
])
def test_a_helper_that_dies_raises_from_every_waiting_call(tmp_path, end, message):
    # Once it has read the arm command (so that starting succeeds) it sends one sample (48 kHz
    # float mono), and ends; the sample is read first.
    helper = write_program(tmp_path / "dying", r"printf 'R\0\0\0\0'; head -c 1 >/dev/null; "
                           rf"printf 'C\14\0\0\0\200\273\0\0\1\40\1\0\0\0\0\0'; {end}")
    with Capture(helper) as capture:
        assert len(capture.read(1)) == 1
        for wait in (lambda: capture.read(1), lambda: next(iter(capture)), capture.ping):
            with pytest.raises(HelperExited, match=message):
                wait()
        assert not capture.running


def test_found_in_order_and_else_says_where_it_looked(tmp_path):
    on_path = write_program(tmp_path / "zarn-audio", "exit 0\n")
    named = write_program(tmp_path / "named", "exit 0\n")
    env = {"PATH": str(tmp_path)}
    assert find_helper(env=env) == on_path
    assert find_helper(env=env | {"ZARN_AUDIO_PATH": named}) == named
    # A path named but not there is an error, never passed over for the one on PATH.
    for given, wrong in [("/nowhere/zarn-audio", {}), (None, {"ZARN_AUDIO_PATH": "/nowhere/x"})]:
        with pytest.raises(HelperNotFound, match="/nowhere/"):
            find_helper(given, wrong | env)
    with pytest.raises(HelperNotFound, match="(?s)ZARN_AUDIO_PATH: not set.*beside the package"
                       ".*PATH: /nowhere$"):
        find_helper(env={"PATH": "/nowhere"})


def test_a_slow_parent_holds_the_helper_up_and_loses_nothing(sim):
    count = 3000  # 3 MiB, more than the package holds for a parent that does not read
    with Capture([sim, "chunk=bytes:1024", "pace=0", f"repeat={count}", ARMED]) as capture:
        time.sleep(1.0)
        # What it holds: up to the limit, and one read from the pipe beyond it.
        assert capture._link.session.pending_bytes <= MAX_PENDING_BYTES + READ_SIZE
        blocks = []
        with pytest.raises(TimeoutError):
            blocks.extend(capture.blocks(timeout=1.0))
    # Delivery k starts with byte k mod 256 (the sim's threads deliver them in any order).
    assert Counter(block.data[0] for block in blocks) == Counter(k % 256 for k in range(count))


@pytest.mark.parametrize("tokens, consume, received", [
    # One block, then nothing more.
    (["chunk=bytes:400", "repeat=1", ARMED], list, 1),
    (["chunk=bytes:400", "repeat=1", ARMED], lambda capture: capture.read(60), 100),
    # Nobody reads: the package's buffer and the pipe fill, and the helper waits on them.
    (["chunk=bytes:65536", "pace=0", "repeat=forever"], lambda capture: [], 0),
], ids=["iteration", "read", "helper writing"])
def test_close_ends_a_blocked_call_or_a_helper_blocked_writing(sim, tokens, consume, received):
    capture = Capture([sim, *tokens]).start()
    consumer = concurrent.futures.ThreadPoolExecutor(1).submit(consume, capture)
    time.sleep(0.5)
    assert capture.close() == 0  # quit in time: past the bound it is killed
    assert len(consumer.result(timeout=5)) == received  # the one block, as a block or samples


def test_an_abandoned_capture_quits_and_reaps(sim):
    process = Capture([sim, *SINE]).start()._link.process
    gc.collect()
    assert process.wait(5) == 0


@pytest.mark.parametrize("parent_sleeps", [0, 60], ids=["parent returns", "parent is killed"])
def test_the_helper_ends_with_its_parent(sim, parent_sleeps):
    script = (f"import time, zarn_audio\ncapture = zarn_audio.Capture({[sim, *SINE]!r}).start()\n"
              f"print(capture._link.process.pid, flush=True)\ntime.sleep({parent_sleeps})")
    parent = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                              env={**os.environ, "PYTHONPATH": str(PACKAGE_DIR)})
    helper = int(parent.stdout.readline())
    if parent_sleeps:
        # In a group of its own, so that a Ctrl-C meant for the parent leaves it to the parent.
        assert os.getpgid(helper) == helper
        parent.kill()
    parent.wait(10)
    ended = time.monotonic() + 3.5  # the quit bound
    while alive(helper):
        assert time.monotonic() < ended, f"helper {helper} outlived its parent"
        time.sleep(0.05)


# AsyncCapture: the same behaviour in coroutines, each test in an event loop of its own and never
# for longer than 20 s.

def test_async_frames_reads_and_ping(sim):
    async def run():
        async with AsyncCapture([sim, "chunk=bytes:400,count:3", "pace=5", "repeat=1",
                                 "halt=after:3:gone", ARMED]) as capture:
            assert capture.running and await capture.ping() > 0
            assert len(await capture.read(0.004)) == 192  # one block and 92 frames of the next
            blocks = []
            with pytest.raises(HelperError, match="^stream stopped with error: gone$"):
                async for block in capture:
                    blocks.append(block.frames)
            assert blocks == [8, 100]  # the rest of the second block, then the third
        assert capture.returncode == 0

    asyncio.run(asyncio.wait_for(run(), 20))


def test_async_cancelled_read_gives_its_audio_back_and_close_ends_a_waiting_iteration(sim):
    async def run():
        capture = await AsyncCapture([sim, "chunk=bytes:400", "pace=1", "repeat=5", ARMED]).start()
        reading = asyncio.ensure_future(capture.read(10.0))
        await asyncio.sleep(0.5)  # all five blocks are in the read by now
        reading.cancel()
        with pytest.raises(asyncio.CancelledError):
            await reading
        # 10 ms at 48 kHz, out of the 500 frames given back.
        assert len(await capture.read(0.01, timeout=0.5)) == 480

        async def the_rest():  # the last 20 frames, then a wait for audio that never comes
            return [block.frames async for block in capture]

        consumer = asyncio.ensure_future(the_rest())
        await asyncio.sleep(0.3)
        assert await capture.close() == 0
        assert await asyncio.wait_for(consumer, 5) == [20]
        with pytest.raises(ZarnAudioError, match="^the capture is closed$"):
            await capture.ping()
        assert await capture.close() == 0

    asyncio.run(asyncio.wait_for(run(), 20))
