"""The helper as a child process, for asyncio: `async with AsyncCapture() as capture: ...`."""

import asyncio
import time

from .capture import QUIT_BOUND, READ_SIZE, StartTimeout, command_of, spawn_options
from .errors import HelperExited, ProtocolError, ZarnAudioError
from .session import Gather, Session


class AsyncCapture:
    """Like Capture, with coroutines: start/close (or `async with`), arm, disarm, ping, read,
    and `async for block in capture`."""

    def __init__(self, helper=None, *, armed=True, start_timeout=10.0, env=None):
        self.path, self.args = command_of(helper, env)
        self.rate = None
        self.channels = None
        self._armed_at_start = armed
        self._start_timeout = start_timeout
        self._env = env
        self._session = Session()
        self._changed = None  # set whenever the session changes; made in the loop that runs us
        self._process = None
        self._reader = None

    async def start(self):
        if self._process is not None:
            raise ZarnAudioError("this AsyncCapture was already started")
        self._changed = asyncio.Event()
        self._process = await asyncio.create_subprocess_exec(
            self.path, *self.args, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.DEVNULL, env=self._env, **spawn_options())
        self._reader = asyncio.ensure_future(self._read())
        try:
            if self._armed_at_start:
                await self.arm()
            await asyncio.wait_for(self._wait_running(), self._start_timeout)
        except asyncio.TimeoutError:
            await self.close()
            raise StartTimeout(f"no answer from the capture stream of {self.path} "
                               f"within {self._start_timeout} s") from None
        except BaseException:
            await self.close()
            raise
        return self

    async def _wait_running(self):
        while not self._session.start_outcome():
            await self._wait_change()

    async def _wait_change(self):
        self._changed.clear()
        await self._changed.wait()

    def _notify(self):
        self._changed.set()

    async def _read(self):
        failure = None
        try:
            while True:
                while not self._session.wants_more():
                    await self._wait_change()  # the parent is behind: the helper waits
                data = await self._process.stdout.read(READ_SIZE)
                if not data:
                    break
                self._session.feed(data)
                self._notify()
        except ProtocolError as error:
            failure = error
            self._process.kill()
        except OSError as error:
            failure = HelperExited(f"reading from the helper failed: {error}", None)
        returncode = await self._process.wait()
        self._session.end(returncode, failure)
        self._notify()

    async def __aenter__(self):
        return await self.start()

    async def __aexit__(self, *exc):
        await self.close()

    @property
    def running(self):
        return self._session.running and not self._session.ended

    @property
    def returncode(self):
        return None if self._process is None else self._process.returncode

    async def _send(self, command):
        process = self._started()
        self._session.check_open()
        try:
            process.stdin.write(command)
            await process.stdin.drain()
        except (OSError, RuntimeError):
            await asyncio.wait({self._reader}, timeout=1.0)  # let the reader learn how it ended
            raise self._session.failure or HelperExited("the helper is gone", process.returncode)

    async def arm(self):
        await self._send(b"A")

    async def disarm(self):
        await self._send(b"D")

    async def ping(self, timeout=5.0):
        """The round-trip time of a ping, in seconds."""
        number = self._session.ping_sent()
        await self._send(b"P")
        return await asyncio.wait_for(self._answer(number), timeout)

    async def _answer(self, number):
        while (rtt := self._session.ping_outcome(number)) is None:
            await self._wait_change()
        return rtt

    async def _next_item(self):
        while True:
            item = self._session.take()
            if item is not None or self._session.done:
                self._notify()  # room again for the reader
                return item
            await self._wait_change()

    def __aiter__(self):
        return self.blocks()

    async def blocks(self, timeout=None):
        """Audio blocks in order until close(); HelperError for the helper's errors,
        asyncio.TimeoutError when no block comes within `timeout` seconds."""
        self._started()
        while True:
            item = await asyncio.wait_for(self._next_item(), timeout)
            if item is None:
                return
            if isinstance(item, Exception):
                raise item
            self.rate, self.channels = item.rate, item.channels
            yield item

    async def read(self, seconds, timeout=None):
        """As Capture.read: `seconds` of float samples, less only at a format change, the
        timeout, an error after some audio, or close(). Cancelled, it gives its audio back."""
        self._started()
        gather = Gather(seconds)
        deadline = None if timeout is None else time.monotonic() + timeout
        try:
            while seconds > 0:
                left = None if deadline is None else max(0.0, deadline - time.monotonic())
                try:
                    item = await asyncio.wait_for(self._next_item(), left)
                except asyncio.TimeoutError:
                    break
                if item is None or self._session.settle(gather, item):
                    break
        except BaseException:
            self._session.restore(gather)
            raise
        if gather.format is not None:
            self.rate, self.channels = gather.format[0], gather.format[1]
        return gather.result()

    async def close(self):
        """Quits the helper and waits for it (killed past the quit bound); its exit status."""
        process = self._process
        if process is None:
            return None
        if not self._session.quitting:
            self._session.quit()
            self._notify()
            try:
                process.stdin.write(b"Q")
                process.stdin.close()
            except (OSError, RuntimeError):
                pass  # already gone
        try:
            await asyncio.wait_for(process.wait(), QUIT_BOUND)
        except asyncio.TimeoutError:
            process.kill()
            await process.wait()
        await asyncio.wait({self._reader}, timeout=QUIT_BOUND)
        return process.returncode

    def _started(self):
        if self._process is None:
            raise ZarnAudioError("the AsyncCapture is not started: use `async with`")
        return self._process
