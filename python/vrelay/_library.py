"""Finds libvrelay_shared and declares the C functions the package calls."""

import ctypes
import glob
import os

SONAME = "libvrelay_shared.so.0"

# vrCallBack: int32_t (*)(void* user_data, PACKET_TYPE type, void* data, int32_t length)
CALLBACK = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_int, ctypes.c_void_p,
                            ctypes.c_int32)


class PhonemeEvent(ctypes.Structure):
    _fields_ = [("phone", ctypes.c_char_p), ("first", ctypes.c_int32),
                ("next_phone", ctypes.c_char_p)] + \
               [("value%d" % i, ctypes.c_int32) for i in range(1, 8)] + \
               [("size", ctypes.c_int32)]


_PROTOTYPES = {
    # name: (result type, argument types)
    "vrCreateConnection": (ctypes.c_int32, []),
    "vrOpenConnection": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32]),
    "vrDestroyConnection": (ctypes.c_int32, [ctypes.c_int32]),
    "vrCancelRequest": (ctypes.c_int32, [ctypes.c_int32]),
    "vrSetCallBack": (ctypes.c_int32, [ctypes.c_int32, CALLBACK]),
    "vrRenderSpeech": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p]),
    "vrRenderSpeechXML": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p]),
    "vrPushSpeechStream": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p]),
    "vrPushSpeechStreamXML": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p]),
    "vrFlushSpeechStream": (ctypes.c_int32, [ctypes.c_int32]),
    "vrFlushSpeechStreamXML": (ctypes.c_int32, [ctypes.c_int32]),
    "vrRenderSpeechAsync": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p]),
    "vrRenderSpeechXMLAsync": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p]),
    "vrQueryServer": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p]),
    "vrEnumerateConnectionVoices": (ctypes.c_int32, [ctypes.c_int32]),
    "vrNextVoice": (ctypes.c_char_p, [ctypes.c_int32]),
    "vrCloseEnumerator": (ctypes.c_int32, [ctypes.c_int32]),
    "vrGetVoiceStringValue": (ctypes.c_char_p, [ctypes.c_int32, ctypes.c_int32]),
    "vrGetVoiceIntegerValue": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_int32]),
    "vrSetVoice": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p]),
    "vrSetVoiceFast": (ctypes.c_int32, [ctypes.c_int32, ctypes.c_char_p]),
}


def _candidates():
    """Library paths to try, most specific first."""
    explicit = os.environ.get("VRELAY_LIBRARY")
    if explicit:
        return [explicit]
    here = os.path.dirname(os.path.abspath(__file__))
    found = []
    # The source tree: python/vrelay beside build/<dir>/client. Sanitizer
    # builds cannot be loaded into an uninstrumented interpreter.
    source = os.path.dirname(os.path.dirname(here))
    builds = sorted(glob.glob(os.path.join(source, "build", "*", "client", SONAME)),
                    key=os.path.getmtime, reverse=True)
    found += [b for b in builds
              if not os.path.basename(os.path.dirname(os.path.dirname(b))).endswith("san")]
    # An installed prefix: <prefix>/lib/python3/dist-packages/vrelay.
    prefix = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(here))))
    for pattern in ("lib", "lib64", "lib/*-linux-gnu"):
        found += glob.glob(os.path.join(prefix, pattern, SONAME))
    # Wherever the dynamic linker looks.
    found.append(SONAME)
    return found


def load():
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


_lib = None


def library():
    """The loaded library, loaded on first use."""
    global _lib
    if _lib is None:
        _lib = load()
    return _lib
