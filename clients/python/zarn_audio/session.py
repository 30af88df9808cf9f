"""What the helper has said so far, kept until the parent asks for it. No I/O and no waiting here,
so the threaded and the asyncio capture share every decision."""

import math
import signal
import time
from collections import deque

from . import samples
from .errors import HelperError, HelperExited, ZarnAudioError
from .frames import AudioBlock, FrameParser

# Audio held for a parent that is not reading, before the reader stops taking more from the pipe
# and lets the helper hold the rest (it keeps several seconds, see the protocol). 1 MiB is 5 s of
# 48 kHz float mono.
MAX_PENDING_BYTES = 1 << 20
STREAM_ERROR_PREFIX = "stream stopped with error: "


def describe_exit(returncode):
    if returncode is not None and returncode < 0:
        try:
            name = signal.Signals(-returncode).name
        except ValueError:
            name = str(-returncode)
        return f"the helper was killed by signal {name}"
    return f"the helper exited with status {returncode} without being asked to quit"


class Session:
    def __init__(self, max_pending=MAX_PENDING_BYTES):
        self.parser = FrameParser()
        self.running = False
        self.start_error = None  # the first E frame before R: why the stream did not start
        # AudioBlock or HelperError, in the order the helper wrote them; then the failure, if any
        self.items = deque()
        self.pending_bytes = 0
        self.max_pending = max_pending
        self.quitting = False  # the parent asked to quit: what comes now is dropped
        self.ended = False  # the helper's output reached its end
        self.failure = None  # why the helper ended unasked (HelperExited or ProtocolError)
        self._pings = deque()  # (number, time sent) of pings not answered yet
        self._answers = {}  # number -> round-trip time in seconds
        self._next_ping = 0

    def feed(self, data):
        for frame in self.parser.feed(data):
            if frame.type == "R":
                self.running = True
            elif frame.type == "O" and self._pings:
                number, sent = self._pings.popleft()
                self._answers[number] = time.monotonic() - sent
            elif frame.type == "E":
                self._keep(HelperError(frame.payload.decode("utf-8", "replace")))
            elif frame.type == "C":
                self._keep(AudioBlock.from_payload(frame.payload))

    def _keep(self, item):
        # An error before R is why the stream did not start, unless it is the running stream's
        # own: deliveries, and so their end, can come before the start task writes R.
        if (isinstance(item, HelperError) and not self.running and self.start_error is None
                and not str(item).startswith(STREAM_ERROR_PREFIX)):
            self.start_error = item
        if not self.quitting:
            self.push_back(item)

    def push_back(self, item):
        self.items.append(item)
        if isinstance(item, AudioBlock):
            self.pending_bytes += len(item.data)

    def push_front(self, item):
        self.items.appendleft(item)
        if isinstance(item, AudioBlock):
            self.pending_bytes += len(item.data)

    def take(self):
        """The next block or error; None when there is none yet or none will come. The helper's
        failure comes after everything it wrote before failing, and stays for every later call."""
        if not self.items:
            return None
        if self.items[0] is self.failure:
            return self.failure
        item = self.items.popleft()
        if isinstance(item, AudioBlock):
            self.pending_bytes -= len(item.data)
        return item

    @property
    def done(self):
        """Nothing more will come: the parent quit, or the helper's output ended and was taken."""
        return not self.items and (self.quitting or self.ended)

    def wants_more(self):
        """Whether the reader should go on taking frames from the pipe now."""
        return self.quitting or bool(self._pings) or self.pending_bytes < self.max_pending

    def ping_sent(self):
        self._next_ping += 1
        self._pings.append((self._next_ping, time.monotonic()))
        return self._next_ping

    def ping_outcome(self, number):
        """The ping's round-trip time; None while it is awaited; raises when none can come."""
        rtt = self._answers.pop(number, None)
        if rtt is not None:
            return rtt
        if self.failure is not None:
            raise self.failure
        if self.done:
            raise ZarnAudioError("the capture was closed before the ping's answer")
        return None

    def start_outcome(self):
        """True once the stream runs; False while it may still; raises when it will not."""
        if self.running:
            return True
        for error in (self.start_error, self.failure):
            if error is not None:
                raise error
        return False

    def check_open(self):
        """Commands after quit go nowhere: say so rather than blame the helper."""
        if self.quitting:
            raise ZarnAudioError("the capture is closed")

    def quit(self):
        self.quitting = True
        self.items.clear()
        self.pending_bytes = 0

    def end(self, returncode, failure=None):
        """The output ended; unasked, that is a failure every waiting call gets."""
        self.ended = True
        cut = self.parser.finish()
        if failure is None and not self.quitting:
            failure = HelperExited(describe_exit(returncode) + (f"; {cut}" if cut else ""),
                                   returncode)
        if failure is not None and self.failure is None:
            self.failure = failure
            if not self.quitting:
                self.items.append(failure)

    def settle(self, gather, item):
        """Hands a taken item to a read; True when the read is complete or must stop short."""
        if isinstance(item, Exception):
            if not gather.blocks:
                raise item
            if item is not self.failure:
                self.push_front(item)  # the audio before it first; the error on the next call
            return True
        rest = gather.offer(item)
        if rest is not None:
            self.push_front(rest)
        return gather.done

    def restore(self, gather):
        """A read that was interrupted gives its blocks back, so no audio is lost."""
        for block in reversed(gather.blocks):
            self.push_front(block)
        gather.blocks.clear()


class Gather:
    """Collects blocks of one format until the asked duration is there."""

    def __init__(self, seconds):
        if not seconds >= 0 or math.isinf(seconds):
            raise ValueError(f"seconds must be a finite number >= 0, not {seconds!r}")
        self.seconds = seconds
        self.blocks = []
        self.format = None
        self.wanted = None
        self.frames = 0

    @property
    def done(self):
        return self.wanted is not None and self.frames >= self.wanted

    def offer(self, block):
        """Takes what it needs of the block; returns what it leaves, or None."""
        if self.format is None:
            self.format, self.wanted = block.format, round(self.seconds * block.rate)
        elif block.format != self.format or self.done:
            self.wanted = self.frames  # audio in another format starts the next read
            return block
        need = self.wanted - self.frames
        if block.frames <= need:
            self.blocks.append(block)
            self.frames += block.frames
            return None
        cut = need * block.channels * block.bits // 8
        self.blocks.append(AudioBlock(*block.format, block.data[:cut]))
        self.frames = self.wanted
        return AudioBlock(*block.format, block.data[cut:])

    def result(self):
        return samples.join([block.samples for block in self.blocks])
