"""Capture the audio the computer is playing, through the zarn-audio helper.

    import zarn_audio

    with zarn_audio.Capture() as capture:
        audio = capture.read(5)
    zarn_audio.write_wav("capture.wav", audio, capture.rate, capture.channels)
"""

from .aio import AsyncCapture
from .capture import Capture, StartTimeout
from .discovery import ENV_VAR, find_helper
from .errors import HelperError, HelperExited, HelperNotFound, ProtocolError, ZarnAudioError
from .frames import AudioBlock, Frame, FrameParser
from .samples import write_wav

__version__ = "0.1.0"
__all__ = [
    "AsyncCapture", "AudioBlock", "Capture", "ENV_VAR", "Frame", "FrameParser", "HelperError",
    "HelperExited", "HelperNotFound", "ProtocolError", "StartTimeout", "ZarnAudioError",
    "find_helper", "write_wav",
]
