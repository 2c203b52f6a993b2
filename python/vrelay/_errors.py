# SPDX-License-Identifier: MIT
"""The exceptions: one class per result code, and the server's refusals,
each saying what happened in words for a user."""

import concurrent.futures
from typing import TYPE_CHECKING, Dict, Optional, Tuple, Type

if TYPE_CHECKING:
    from ._events import Result

_NAMES = {0: "VR_SUCCESS", -1: "VR_ERROR", -2: "VR_BAD_HANDLE", -3: "VR_SEND_FAILED",
          -4: "VR_CONNECT_FAILED", -5: "VR_CANCELLED", -6: "VR_BUSY", -7: "VR_BAD_KEY",
          -8: "VR_NO_CURRENT_VOICE"}

# What each failure means, as the doors say it.
_REASONS = {-1: "the server stopped answering", -2: "the connection is closed",
            -3: "the connection to the server broke", -4: "no speech server answers",
            -5: "the request was stopped", -6: "another request is running on the connection",
            -7: "no such voice attribute", -8: "no voice is selected"}


def result_name(code: int) -> str:
    """The name of a result code, e.g. "VR_BUSY"."""
    return _NAMES.get(code, "VR_UNKNOWN_RESULT")


class VrelayError(Exception):
    """A call failed. ``reason`` says what happened ("the server stopped
    answering", "the server refused: server busy"), ``code`` is the
    library's result code and ``name`` its name, ``server_message`` the
    reason the server gave (or None), ``result`` what the request had
    answered before it failed (or None)."""
    code = -1

    def __init__(self, code: int, call: str = "", server_message: Optional[str] = None,
                 result: "Optional[Result]" = None, reason: Optional[str] = None) -> None:
        self.code = code
        self.name = result_name(code)
        self.call = call
        self.server_message = server_message
        self.result = result
        if reason is None:
            reason = "the server refused: " + server_message if server_message else \
                _REASONS.get(code, "%s (%d)" % (self.name, code))
        self.reason = reason
        super().__init__("%s: %s" % (call, reason) if call else reason)


class GeneralError(VrelayError):
    """VR_ERROR: the server stopped answering, or it refused."""
    code = -1


class ServerError(GeneralError):
    """The server refused the request or part of it; ``server_message`` says why."""


class BadHandle(VrelayError):
    """VR_BAD_HANDLE: the connection is closed."""
    code = -2


class SendFailed(VrelayError):
    """VR_SEND_FAILED: the connection to the server broke, or is not open."""
    code = -3


class ConnectFailed(VrelayError):
    """No speech server answers at the address: ``address`` is "HOST:PORT",
    ``reason`` why ("connection refused", "no such host", "what answers
    there is not a speech server", ...)."""
    code = -4

    def __init__(self, code: int, call: str = "", server_message: Optional[str] = None,
                 result: "Optional[Result]" = None, reason: Optional[str] = None,
                 address: str = "") -> None:
        self.address = address
        super().__init__(code, call, server_message, result, reason)
        if address:
            self.args = ("no speech server at %s (%s)" % (address, self.reason),)


class Cancelled(VrelayError, concurrent.futures.CancelledError):
    """VR_CANCELLED: the request was stopped by a cancel."""
    code = -5


class Busy(VrelayError):
    """VR_BUSY: an asynchronous render is still running on the connection."""
    code = -6


class BadKey(VrelayError):
    code = -7


class NoCurrentVoice(VrelayError):
    code = -8


_CLASSES: Tuple[Type[VrelayError], ...] = (GeneralError, BadHandle, SendFailed, ConnectFailed,
                                           Cancelled, Busy, BadKey, NoCurrentVoice)
_ERRORS: Dict[int, Type[VrelayError]] = {cls.code: cls for cls in _CLASSES}


def error_for(code: int, call: str, server_message: Optional[str] = None,
              result: "Optional[Result]" = None) -> VrelayError:
    """The exception for a failed call; the server's reason makes it a ServerError."""
    if server_message is not None and code in (0, -1):
        return ServerError(-1, call, server_message, result)
    return _ERRORS.get(code, VrelayError)(code, call, server_message, result)
