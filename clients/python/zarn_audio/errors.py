"""The exceptions of the package: every failure a parent can meet is one of these."""


class ZarnAudioError(Exception):
    """Base of every error this package raises."""


class HelperError(ZarnAudioError):
    """An error the helper reported (an E frame); the message is the helper's own words."""


class HelperNotFound(ZarnAudioError, FileNotFoundError):
    """No helper program where it was looked for; `searched` lists those places in order."""

    def __init__(self, searched):
        self.searched = list(searched)
        places = "\n".join(f"  {place}" for place in self.searched)
        super().__init__(f"zarn-audio helper not found; looked in:\n{places}")


class HelperExited(ZarnAudioError):
    """The helper ended although it had not been asked to quit (it crashed or was killed)."""

    def __init__(self, description, returncode):
        self.returncode = returncode
        super().__init__(description)


class ProtocolError(ZarnAudioError):
    """The helper's output is not a valid frame stream."""
