# SPDX-License-Identifier: MIT
"""Finds libvrelay_shared and declares the C functions the package calls."""

import ctypes
import glob
import os
from typing import Any, List, Optional

SONAME = "libvrelay_shared.so.0"

# vrCallBack: int32_t (*)(void* user_data, PACKET_TYPE type, void* data, int32_t length)
CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p,
                            ctypes.c_int32)


class PhonemeEvent(ctypes.Structure):
    _fields_ = [("phone", ctypes.c_char_p), ("first", ctypes.c_int32),
                ("next_phone", ctypes.c_char_p)] + \
               [("value%d" % i, ctypes.c_int32) for i in range(1, 8)] + \
               [("size", ctypes.c_int32)]


_I32, _STR = ctypes.c_int32, ctypes.c_char_p
_PROTOTYPES = {
    # name: (result type, argument types)
    "vrCreateConnection": (_I32, []),
    "vrOpenConnection": (_I32, [_I32, _STR, _I32]),
    "vrDestroyConnection": (_I32, [_I32]),
    "vrCancelRequest": (_I32, [_I32]),
    "vrSetCallBack": (_I32, [_I32, CALLBACK]),
    "vrRenderSpeech": (_I32, [_I32, _STR]),
    "vrRenderSpeechXML": (_I32, [_I32, _STR]),
    "vrPushSpeechStream": (_I32, [_I32, _STR]),
    "vrPushSpeechStreamXML": (_I32, [_I32, _STR]),
    "vrFlushSpeechStream": (_I32, [_I32]),
    "vrFlushSpeechStreamXML": (_I32, [_I32]),
    "vrRenderSpeechAsync": (_I32, [_I32, _STR]),
    "vrRenderSpeechXMLAsync": (_I32, [_I32, _STR]),
    "vrQueryServer": (_I32, [_I32, _STR]),
    "vrEnumerateConnectionVoices": (_I32, [_I32]),
    "vrNextVoice": (_STR, [_I32]),
    "vrCloseEnumerator": (_I32, [_I32]),
    "vrGetVoiceStringValue": (_STR, [_I32, _I32]),
    "vrGetVoiceIntegerValue": (_I32, [_I32, _I32]),
    "vrSetVoice": (_I32, [_I32, _STR]),
    "vrSetVoiceFast": (_I32, [_I32, _STR]),
}


def _is_sanitized_build(path: str) -> bool:
    # build/asan/client/libvrelay_shared.so.0: an instrumented library cannot
    # be loaded into an uninstrumented interpreter.
    return os.path.basename(os.path.dirname(os.path.dirname(path))).endswith("san")


def _candidates() -> List[str]:
    """Library paths to try, most specific first."""
    explicit = os.environ.get("VRELAY_LIBRARY")
    if explicit:
        return [explicit]
    here = os.path.dirname(os.path.abspath(__file__))
    found: List[str] = []
    # The source tree: python/vrelay beside build/<dir>/client.
    source = os.path.dirname(os.path.dirname(here))
    builds = sorted(glob.glob(os.path.join(source, "build", "*", "client", SONAME)),
                    key=os.path.getmtime, reverse=True)
    found += [b for b in builds if not _is_sanitized_build(b)]
    # An installed prefix: <prefix>/lib/python3/dist-packages/vrelay.
    prefix = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(here))))
    for pattern in ("lib", "lib64", "lib/*-linux-gnu"):
        found += glob.glob(os.path.join(prefix, pattern, SONAME))
    # Wherever the dynamic linker looks: a pip-installed package lives apart
    # from the library, which the system's package put in the linker's path.
    found.append(SONAME)
    return found


def load() -> Any:
    """Loads the first library that opens and declares its functions."""
    errors = []
    for path in _candidates():
        try:
            lib = ctypes.CDLL(path)
        except OSError as error:
            errors.append(str(error))
            continue
        for name, (restype, argtypes) in _PROTOTYPES.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        return lib
    raise ImportError("cannot load %s (set VRELAY_LIBRARY to its path): %s"
                      % (SONAME, "; ".join(errors)))


_lib: Optional[Any] = None


def library() -> Any:
    """The loaded library, loaded on first use."""
    global _lib
    if _lib is None:
        _lib = load()
    return _lib


def loaded_path() -> Optional[str]:
    """The file the library was loaded from, as the process maps it."""
    library()
    try:
        with open("/proc/self/maps") as maps:
            for line in maps:
                path = line.split(None, 5)[-1].strip()
                if os.path.basename(path).startswith("libvrelay_shared.so"):
                    return path
    except OSError:
        pass
    return None
