"""ctypes binding for Olvexlib.dll (Windows, Python of the DLL's bitness).

    import olvexlib
    for index, path in enumerate(olvexlib.keys()):
        with olvexlib.connect(index) as key:
            status, body = key.command(b"\\x80\\xca\\x9f\\x7f\\x00")

Failures raise OlvexError, an OSError whose winerror is the cause the library
names through GetLastError (e.winerror == 5: access denied, 13: the key's
answer was refused, 995: the exchange was cancelled...).
"""
import ctypes
from ctypes import wintypes

OK = 0
FAIL = -1
ERR_OPEN = 0x10001
PATH_SIZE = 260
MAX_RESPONSE_BODY = 51195
MAX_COMMAND = 65532

# WinDLL: stdcall on 32-bit, the single convention on 64-bit. use_last_error:
# ctypes saves the thread's last error straight after each call, before the
# interpreter's own work can change it.
_dll = ctypes.WinDLL("Olvexlib.dll", use_last_error=True)

_dll.OLVEX_EnumDEV.argtypes = [ctypes.POINTER(ctypes.c_int)]
_dll.OLVEX_EnumDEV.restype = ctypes.c_int
_dll.OLVEX_Connect.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_char_p, ctypes.c_int]
_dll.OLVEX_Connect.restype = ctypes.c_int
_dll.OLVEX_DoCommand.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int,
                                 ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)]
_dll.OLVEX_DoCommand.restype = ctypes.c_int
_dll.OLVEX_Disconnect.argtypes = [ctypes.c_void_p]
_dll.OLVEX_Disconnect.restype = ctypes.c_int


class OlvexError(OSError):
    pass


def _failure(what):
    """An OlvexError for the call that just failed: what went wrong, and why."""
    code = ctypes.get_last_error()
    return OlvexError(None, "%s: %s" % (what, ctypes.FormatError(code).strip()), None, code)


def keys():
    """Device paths of the attached keys, oldest first."""
    count = ctypes.c_int(0)
    if _dll.OLVEX_EnumDEV(ctypes.byref(count)) != OK:
        raise _failure("cannot list keys")
    paths = []
    for index in range(count.value):
        with connect(index) as key:
            paths.append(key.path)
    return paths


class Key:
    def __init__(self, handle, path):
        self._handle = handle
        self.path = path

    def command(self, payload: bytes):
        """Sends one command; returns (status word, body)."""
        if len(payload) > MAX_COMMAND:
            raise ValueError("command longer than %d bytes" % MAX_COMMAND)
        body = ctypes.create_string_buffer(MAX_RESPONSE_BODY)
        length = ctypes.c_int(0)
        status = _dll.OLVEX_DoCommand(self._handle, payload, len(payload), body, ctypes.byref(length))
        if status == FAIL:
            raise _failure("exchange failed")
        return status, body.raw[:length.value]

    def close(self):
        if self._handle:
            _dll.OLVEX_Disconnect(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def connect(index: int) -> Key:
    handle = ctypes.c_void_p()
    path = ctypes.create_string_buffer(PATH_SIZE)  # zero-filled: the path comes without terminator
    rc = _dll.OLVEX_Connect(ctypes.byref(handle), path, index)
    if rc != OK:  # ERR_OPEN (the key itself) or FAIL: the last error says why
        raise _failure("cannot open key %d" % index)
    return Key(handle, path.value.decode("ascii"))
