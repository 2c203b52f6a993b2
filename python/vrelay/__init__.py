# SPDX-License-Identifier: MIT
"""vrelay from Python: text to speech through a vrelay server.

    import vrelay
    with vrelay.Connection("127.0.0.1", 5555) as connection:
        result = connection.render("Hello there")
        result.save_wav("hello.wav")
        for mark in result.marks:
            print(f"{mark.time:.3f}", result.text[mark.char_offset:mark.char_end])

``vrelay.LocalServer()`` starts a server of one's own; ``python3 -m vrelay``
speaks text into a WAV file. The client library is loaded through ctypes
from $VRELAY_LIBRARY, the source tree's build directories, an installed
prefix beside this package, or by its soname (libvrelay_shared.so.0) from
the dynamic linker's path. Failed calls raise VrelayError subclasses.
"""

from typing import TYPE_CHECKING, Any

from ._connection import Connection, RenderFuture
from ._errors import (BadHandle, BadKey, Busy, Cancelled, ConnectFailed, GeneralError,
                      NoCurrentVoice, SendFailed, ServerError, VrelayError, result_name)
from ._events import (Audio, AudioFormat, Done, Event, Mark, Message, Phoneme, QueryReply,
                      Result)
from ._prosody import Prosody, ProsodyWarning
from ._resume import ResumeWarning
from ._voices import Voice

if TYPE_CHECKING:
    from ._server import LocalServer


def __getattr__(name: str) -> Any:
    # LocalServer loads subprocess and tempfile: only a program that starts a
    # server pays for them.
    if name == "LocalServer":
        from ._server import LocalServer
        return LocalServer
    raise AttributeError("module %r has no attribute %r" % (__name__, name))

__version__ = "0.2.0"

__all__ = [
    "Connection", "RenderFuture", "LocalServer", "Result", "Voice", "Prosody", "ProsodyWarning",
    "ResumeWarning",
    "Event", "AudioFormat", "Audio", "Mark", "Phoneme", "Message", "QueryReply", "Done",
    "VrelayError", "GeneralError", "ServerError", "BadHandle", "SendFailed", "ConnectFailed",
    "Cancelled", "Busy", "BadKey", "NoCurrentVoice", "result_name",
]
