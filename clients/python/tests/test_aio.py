# AsyncCapture against zarn-audio-sim: the same behaviour as Capture, in coroutines (its failed
# starts are in test_capture.py, beside Capture's).

import asyncio
import functools

import pytest

from conftest import ARMED, write_program
from zarn_audio import AsyncCapture, HelperError, HelperExited, ZarnAudioError


def in_event_loop(test):
    # Runs a coroutine test in an event loop of its own, and never for longer than 20 s.
    @functools.wraps(test)
    def run(*args, **kwargs):
        return asyncio.run(asyncio.wait_for(test(*args, **kwargs), 20))

    return run


@in_event_loop
async def test_frames_reads_and_ping(sim):
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


@in_event_loop
async def test_a_helper_that_dies(tmp_path):
    helper = write_program(tmp_path / "dying", r"printf 'R\0\0\0\0'; head -c 1 >/dev/null; exit 5")
    async with AsyncCapture(helper) as capture:
        for wait in (lambda: capture.read(1), capture.ping):
            with pytest.raises(HelperExited, match="status 5"):
                await wait()


@in_event_loop
async def test_a_cancelled_read_gives_its_audio_back(sim):
    async with AsyncCapture([sim, "chunk=bytes:400", "pace=1", "repeat=5", ARMED]) as capture:
        reading = asyncio.ensure_future(capture.read(10.0))
        await asyncio.sleep(0.5)  # all five blocks are in the read by now
        reading.cancel()
        with pytest.raises(asyncio.CancelledError):
            await reading
        # 10 ms at 48 kHz, out of the 500 frames given back.
        assert len(await capture.read(0.01, timeout=0.5)) == 480


@in_event_loop
async def test_close_ends_a_blocked_iteration(sim):
    capture = await AsyncCapture([sim, "chunk=bytes:400", "repeat=1", ARMED]).start()

    async def consume():
        return [block async for block in capture]

    consumer = asyncio.ensure_future(consume())
    await asyncio.sleep(0.3)
    assert await capture.close() == 0
    assert len(await asyncio.wait_for(consumer, 5)) == 1
    with pytest.raises(ZarnAudioError, match="^the capture is closed$"):
        await capture.ping()
    assert await capture.close() == 0
