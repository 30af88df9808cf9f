"""The helper as a child process, used from ordinary (threaded) Python code."""

import subprocess
import sys
import threading
import time
import weakref

from .discovery import find_helper
from .errors import HelperExited, ProtocolError, ZarnAudioError
from .session import Gather, Session

# The helper ends within 3 s of quit whatever its sound server does; past this it is killed.
QUIT_BOUND = 5.0
READ_SIZE = 65536  # bytes taken from the pipe at once


class StartTimeout(ZarnAudioError, TimeoutError):
    """The helper neither started its capture stream nor said why in time."""


def deadline_of(timeout):
    return None if timeout is None else time.monotonic() + timeout


def remaining(deadline):
    return None if deadline is None else max(0.0, deadline - time.monotonic())


def spawn_options():
    """Its own process group, so a Ctrl-C meant for the parent does not kill the helper before
    the parent quits it; stderr is unused by the helper."""
    if sys.platform == "win32":
        return {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
    return {"start_new_session": True}


def command_of(helper, env):
    """(path, arguments) of the helper to start."""
    if isinstance(helper, (list, tuple)):
        return find_helper(helper[0], env), [str(arg) for arg in helper[1:]]
    return find_helper(helper, env), []


class _Link:
    """The child and the thread that reads it. Holds no reference to the Capture, so an
    abandoned Capture is collected and its helper still quit (see Capture's finalizer)."""

    def __init__(self, command, env):
        self.session = Session()
        self.lock = threading.Condition()
        self.write_lock = threading.Lock()
        self.process = subprocess.Popen(
            command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            bufsize=0, env=env, **spawn_options())
        self.reader = threading.Thread(target=self._read, name="zarn-audio reader", daemon=True)
        self.reader.start()

    def _read(self):
        failure = None
        out = self.process.stdout
        try:
            while True:
                with self.lock:
                    while not self.session.wants_more():
                        self.lock.wait()  # the parent is behind: the pipe fills, the helper waits
                data = out.read(READ_SIZE)
                if not data:
                    break
                with self.lock:
                    self.session.feed(data)
                    self.lock.notify_all()
        except ProtocolError as error:
            failure = error
            self.process.kill()
        except OSError as error:
            failure = HelperExited(f"reading from the helper failed: {error}", None)
        returncode = self.process.wait()
        with self.lock:
            self.session.end(returncode, failure)
            self.lock.notify_all()

    def send(self, command):
        with self.write_lock:
            self.session.check_open()
            try:
                self.process.stdin.write(command)
            except (OSError, ValueError):
                self.reader.join(1.0)  # the helper is ending: let the reader learn how
                with self.lock:
                    failure = self.session.failure
                raise failure or HelperExited("the helper is gone", self.process.poll())

    def next_item(self, deadline):
        """The next block or error, waiting until the deadline; None at the end or on time-out."""
        with self.lock:
            while True:
                item = self.session.take()
                if item is not None or self.session.done:
                    self.lock.notify_all()  # room again for the reader
                    return item
                if not self.lock.wait(remaining(deadline)) and deadline is not None:
                    return None

    def shutdown(self, bound=QUIT_BOUND):
        """Quits the helper and reaps it (killed if it outlives the bound); its exit status."""
        with self.lock:
            self.session.quit()
            self.lock.notify_all()
        try:
            with self.write_lock:
                self.process.stdin.write(b"Q")
        except (OSError, ValueError):
            pass  # already gone, or already quit
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(bound)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        if self.reader is not threading.current_thread():
            self.reader.join(bound)
        return self.process.returncode


class Capture:
    """The helper, started and always quit: `with Capture() as capture: ...`.

    helper: the program's path (found as discovery.find_helper says when None), or a list of
        the path and arguments (zarn-audio takes none; zarn-audio-sim takes its script).
    armed: forward audio from the start (otherwise call arm()).
    start_timeout: seconds to wait for the capture stream to run.
    env: the helper's environment (the sound-server libraries read theirs from it).
    """

    def __init__(self, helper=None, *, armed=True, start_timeout=10.0, env=None):
        self.path, self.args = command_of(helper, env)
        self.rate = None  # of the audio last returned by read() or iteration
        self.channels = None
        self._armed_at_start = armed
        self._start_timeout = start_timeout
        self._env = env
        self._link = None
        self._finalizer = None

    def start(self):
        """Starts the helper and waits until its capture runs; raises HelperError with the
        helper's reason when it cannot start, and StartTimeout when it says nothing in time."""
        if self._link is not None:
            raise ZarnAudioError("this Capture was already started")
        link = self._link = _Link([self.path, *self.args], self._env)
        self._finalizer = weakref.finalize(self, link.shutdown)
        try:
            if self._armed_at_start:
                self.arm()
            self._wait_running(deadline_of(self._start_timeout))
        except BaseException:
            self.close()
            raise
        return self

    def _wait_running(self, deadline):
        with self._link.lock:
            while not self._link.session.start_outcome():
                if not self._link.lock.wait(remaining(deadline)):
                    raise StartTimeout(f"no answer from the capture stream of {self.path} "
                                       f"within {self._start_timeout} s")

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()

    @property
    def running(self):
        """Whether the capture stream runs (the helper said R and has not ended)."""
        link = self._link
        return link is not None and link.session.running and not link.session.ended

    @property
    def returncode(self):
        return None if self._link is None else self._link.process.poll()

    def arm(self):
        """Forward audio from now on."""
        self._started().send(b"A")

    def disarm(self):
        """Stop forwarding audio; blocks already sent can still be read."""
        self._started().send(b"D")

    def ping(self, timeout=5.0):
        """The round-trip time of a ping, in seconds."""
        link = self._started()
        with link.lock:
            number = link.session.ping_sent()
        link.send(b"P")
        deadline = deadline_of(timeout)
        with link.lock:
            while (rtt := link.session.ping_outcome(number)) is None:
                if not link.lock.wait(remaining(deadline)):
                    raise TimeoutError(f"no answer to a ping within {timeout} s")
        return rtt

    def blocks(self, timeout=None):
        """Audio blocks in order until close(); raises HelperError for the helper's errors and
        TimeoutError when no block comes within `timeout` seconds (None: wait for ever)."""
        link = self._started()
        while True:
            item = link.next_item(deadline_of(timeout))
            if item is None:
                if link.session.done:
                    return
                raise TimeoutError(f"no audio within {timeout} s")
            if isinstance(item, Exception):
                raise item
            self.rate, self.channels = item.rate, item.channels
            yield item

    def __iter__(self):
        return self.blocks()

    def read(self, seconds, timeout=None):
        """`seconds` of audio as float samples (a NumPy array, or array('f') without NumPy),
        channels interleaved; `rate` and `channels` then describe it. Returns less only when
        the format changes (the rest comes with the next read), the timeout passes, an error
        follows the audio read so far (raised by the next call) or the capture is closed."""
        link = self._started()
        gather = Gather(seconds)
        deadline = deadline_of(timeout)
        try:
            while seconds > 0:
                item = link.next_item(deadline)
                if item is None:
                    break
                with link.lock:
                    if link.session.settle(gather, item):
                        break
        except BaseException:
            with link.lock:
                link.session.restore(gather)
            raise
        if gather.format is not None:
            self.rate, self.channels = gather.format[0], gather.format[1]
        return gather.result()

    def close(self):
        """Quits the helper and waits for it (it is killed past the quit bound); its exit
        status. Calls waiting in other threads return what they have."""
        if self._link is None:
            return None
        self._finalizer.detach()
        return self._link.shutdown()

    def _started(self):
        if self._link is None:
            raise ZarnAudioError("the Capture is not started: use `with Capture() as c:`")
        return self._link


