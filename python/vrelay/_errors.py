# SPDX-License-Identifier: MIT
"""The exceptions: one class per result code, and the server's refusals."""

import concurrent.futures
from typing import TYPE_CHECKING, Dict, Optional, Type

if TYPE_CHECKING:
    from ._events import Result

_NAMES = {0: "VR_SUCCESS", -1: "VR_ERROR", -2: "VR_BAD_HANDLE", -3: "VR_SEND_FAILED",
          -4: "VR_CONNECT_FAILED", -5: "VR_CANCELLED", -6: "VR_BUSY", -7: "VR_BAD_KEY",
          -8: "VR_NO_CURRENT_VOICE"}


def result_name(code: int) -> str:
    """The name of a result code, e.g. "VR_BUSY"."""
    return _NAMES.get(code, "VR_UNKNOWN_RESULT")


class VrelayError(Exception):
    """A call failed. ``code`` is the library's result code, ``name`` its name,
    ``server_message`` the reason the server gave (or None), ``result`` what
    the request had answered before it failed (or None)."""
    code = -1

    def __init__(self, code: int, call: str = "", server_message: Optional[str] = None,
                 result: "Optional[Result]" = None) -> None:
        self.code = code
        self.name = result_name(code)
        self.server_message = server_message
        self.result = result
        reason = "%s (%s)" % (server_message, self.name) if server_message else \
            "%s (%d)" % (self.name, code)
        super().__init__("%s: %s" % (call, reason) if call else reason)


class GeneralError(VrelayError):
    """VR_ERROR: the reply could not be read to its end, or the server refused."""
    code = -1


class ServerError(GeneralError):
    """The server refused the request or part of it; ``server_message`` says why."""


class BadHandle(VrelayError):
    """VR_BAD_HANDLE: the connection is closed."""
    code = -2


class SendFailed(VrelayError):
    """VR_SEND_FAILED: sending to the server failed, or the connection is not open."""
    code = -3


class ConnectFailed(VrelayError):
    """VR_CONNECT_FAILED: no connection to the server could be made."""
    code = -4


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


_ERRORS: Dict[int, Type[VrelayError]] = {
    cls.code: cls for cls in (GeneralError, BadHandle, SendFailed, ConnectFailed, Cancelled,
                              Busy, BadKey, NoCurrentVoice)}


def error_for(code: int, call: str, server_message: Optional[str] = None,
              result: "Optional[Result]" = None) -> VrelayError:
    """The exception for a failed call; the server's reason makes it a ServerError."""
    if server_message is not None and code in (0, -1):
        return ServerError(-1, call, server_message, result)
    return _ERRORS.get(code, VrelayError)(code, call, server_message, result)
