# AsyncCapture against zarn-audio-sim: the same behaviour as Capture, in coroutines (its failed
# starts are in test_capture.py, beside Capture's).

import asyncio
import functools

import pytest

from conftest import ARMED
from zarn_audio import AsyncCapture, HelperError, ZarnAudioError


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
async def test_a_cancelled_read_gives_its_audio_back_and_close_ends_a_waiting_iteration(sim):
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
