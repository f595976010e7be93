"""Python access to VandryInterface, the library that talks to a Vandry device.

It uses ctypes and the standard library only. The shared library is looked
for, in this order:

1. the path in the environment variable VANDRY_INTERFACE_LIBRARY;
2. next to this package (libVandryInterface.so.1, libVandryInterface.so or
   VandryInterface.dll);
3. through the system's loader (as an installed library is found).

The library does no I/O: read the device's port or HID device yourself and
hand the bytes over.

    reader = PortReader()
    port.write(request_upload_port_data(0, 0))
    if reader.feed(port.read(4096)):
        print(reader.channels)
"""

import ctypes
import ctypes.util
import os
import sys

__all__ = [
    "LibraryNotFoundError",
    "request_upload_port_data",
    "stop_upload_port_data",
    "PortReader",
    "parse_hid_game_controller_device",
    "parse_hid_compatible_device",
    "convert_std_sbus_data",
    "encode_sbus_data_v1",
    "encode_sbus_data_v2",
]

_U8 = ctypes.c_uint8
_U16 = ctypes.c_uint16
_BYTES = ctypes.POINTER(_U8)
_CHANNELS = _U16 * 15
_BANKS = (_U16 * 16) * 2
_GAME_CONTROLLER = _U16 * 11
_SBUS_CHANNELS = _U16 * 16
_SBUS_FRAME = _U8 * 25
_MAX_CHUNK = 255


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded from any of the places tried."""


def _candidates():
    override = os.environ.get("VANDRY_INTERFACE_LIBRARY")
    if override:
        yield "VANDRY_INTERFACE_LIBRARY", override
    here = os.path.dirname(os.path.abspath(__file__))
    names = ["VandryInterface.dll"] if sys.platform == "win32" else ["libVandryInterface.so.1", "libVandryInterface.so"]
    for name in names:
        yield "next to the package", os.path.join(here, name)
    found = ctypes.util.find_library("VandryInterface")
    for name in ([found] if found else []) + names:
        yield "the system loader", name


def _load():
    tried = []
    for where, path in _candidates():
        try:
            return ctypes.CDLL(path)
        except OSError as error:
            tried.append(f"{where}: {path} ({error})")
    raise LibraryNotFoundError(
        "cannot load the VandryInterface library; set VANDRY_INTERFACE_LIBRARY to its path. Tried:\n  "
        + "\n  ".join(tried))


def _declare(lib):
    signatures = {
        "request_upload_port_data": (None, [_BYTES, _U8, _U8]),
        "stop_upload_port_data": (None, [_BYTES]),
        "parse_port_data": (_U8, [_BYTES, _U8, ctypes.POINTER(_CHANNELS), ctypes.POINTER(_BANKS)]),
        "parse_hid_game_controller_device": (_U8, [ctypes.POINTER(_GAME_CONTROLLER), _BYTES, _U8]),
        "parse_hid_compatible_device": (_U8, [ctypes.POINTER(_CHANNELS), _BYTES, _U8]),
        "convert_std_sbus_data": (None, [ctypes.POINTER(_SBUS_CHANNELS), ctypes.POINTER(_U16)]),
        "encode_sbus_data_v1": (None, [ctypes.POINTER(_SBUS_FRAME), ctypes.POINTER(_SBUS_CHANNELS)]),
        "encode_sbus_data_v2": (None, [ctypes.POINTER(_SBUS_FRAME), ctypes.POINTER(_SBUS_CHANNELS)]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes
    return lib


_lib = _declare(_load())


# ---- argument checks --------------------------------------------------------

def _byte_value(name, value):
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not 0 <= value <= 0xFF:
        raise ValueError(f"{name} must be 0..255, got {value}")
    return value


def _as_bytes(name, data):
    if isinstance(data, str) or not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"{name} must be bytes, bytearray or memoryview, not {type(data).__name__}")
    return bytes(data)


def _sixteen_values(name, values):
    try:
        values = list(values)
    except TypeError:
        raise TypeError(f"{name} must be a sequence of 16 ints, not {type(values).__name__}") from None
    if len(values) != 16:
        raise ValueError(f"{name} must hold 16 values, got {len(values)}")
    for k, v in enumerate(values):
        if not isinstance(v, int) or isinstance(v, bool):
            raise TypeError(f"{name}[{k}] must be an int, not {type(v).__name__}")
        if not 0 <= v <= 0xFFFF:
            raise ValueError(f"{name}[{k}] must be 0..65535, got {v}")
    return values


def _buffer(data):
    return (_U8 * max(len(data), 1)).from_buffer_copy(data or b"\0")


# ---- command frames ---------------------------------------------------------

def request_upload_port_data(param1, param2):
    """The 7-byte frame that starts the device's upload."""
    frame = (_U8 * 7)()
    _lib.request_upload_port_data(frame, _byte_value("param1", param1), _byte_value("param2", param2))
    return bytes(frame)


def stop_upload_port_data():
    """The 5-byte frame that stops the device's upload."""
    frame = (_U8 * 5)()
    _lib.stop_upload_port_data(frame)
    return bytes(frame)


# ---- port stream ------------------------------------------------------------

class PortReader:
    """Reassembles the port's bytes into frames and keeps the latest values.

    The library's parser state is process-wide: use one PortReader per
    process, fed from one port, and never from two threads at once.
    """

    def __init__(self):
        self._channels = _CHANNELS()
        self._banks = _BANKS()

    def feed(self, data):
        """Takes bytes of any length; returns True when new values arrived."""
        data = _as_bytes("data", data)
        updated = False
        for start in range(0, len(data), _MAX_CHUNK):
            chunk = data[start:start + _MAX_CHUNK]
            updated |= bool(_lib.parse_port_data(_buffer(chunk), len(chunk), self._channels, self._banks))
        return updated

    @property
    def channels(self):
        """The 15 channel values of the latest frames."""
        return list(self._channels)

    @property
    def banks(self):
        """The two banks of 16 values of the latest frames."""
        return [list(row) for row in self._banks]


# ---- HID reports ------------------------------------------------------------

def _report(report):
    report = _as_bytes("report", report)
    return report, len(report) <= _MAX_CHUNK


def parse_hid_game_controller_device(report):
    """The 11 fields of a 19-byte game-controller report, or None if rejected."""
    report, fits = _report(report)
    state = _GAME_CONTROLLER()
    if not fits or not _lib.parse_hid_game_controller_device(state, _buffer(report), len(report)):
        return None
    return tuple(state)


def parse_hid_compatible_device(report):
    """The 15 channel values of a 35-byte compatible report, or None if rejected."""
    report, fits = _report(report)
    channels = _CHANNELS()
    if not fits or not _lib.parse_hid_compatible_device(channels, _buffer(report), len(report)):
        return None
    return list(channels)


# ---- SBUS -------------------------------------------------------------------

def convert_std_sbus_data(values16):
    """Scales 16 values into 0..2047: value * 1.706, truncated, capped."""
    source = (_U16 * 16)(*_sixteen_values("values16", values16))
    scaled = _SBUS_CHANNELS()
    _lib.convert_std_sbus_data(scaled, source)
    return list(scaled)


def _encode(function, channels16, first_byte):
    channels = _SBUS_CHANNELS(*_sixteen_values("channels16", channels16))
    frame = _SBUS_FRAME()
    frame[0] = _byte_value("first_byte", first_byte)
    function(frame, channels)
    return bytes(frame)


def encode_sbus_data_v1(channels16, first_byte=0x0F):
    """A 25-byte SBUS frame with footer 0x00. Values above 2047 are sent as 2047."""
    return _encode(_lib.encode_sbus_data_v1, channels16, first_byte)


def encode_sbus_data_v2(channels16, first_byte=0x0F):
    """A 25-byte SBUS frame whose footer cycles 0x04, 0x14, 0x24, 0x34."""
    return _encode(_lib.encode_sbus_data_v2, channels16, first_byte)
