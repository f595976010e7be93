"""Python access to VandryInterface, the library that talks to a Vandry device,
and to VandryStream, its parser with a state per device.

It uses ctypes and the standard library only. Each shared library is found:

1. when its environment variable (VANDRY_INTERFACE_LIBRARY,
   VANDRY_STREAM_LIBRARY) is set and not empty, at that path and nowhere else;
2. otherwise next to this package (the wheel carries libVandryInterface.so.1
   and libVandryStream.so.1), then through the system's loader (as an
   installed package's library is).

VandryInterface is loaded on import; VandryStream when the first Stream is
made, so that everything else works without it.

The libraries do no I/O: read the device's port or HID device yourself and
hand the bytes over.

    stream = Stream()                   # one per device
    port.write(request_upload_port_data(0, 0))
    for frame in stream.frames(port.read(4096)):
        print(frame.type, frame.channels, frame.banks)

PortReader does the same with VandryInterface's parser, of which there is
one per process.

Byte input may be any object with one-byte items that offers the buffer
protocol: bytes, bytearray, memoryview, array('B'), a numpy uint8 array. Any
other type raises TypeError. A HID report of the wrong length or head gives
None. Results are tuples (frames and reports) or bytes (frames to send).
"""

import collections
import contextlib
import ctypes
import ctypes.util
import itertools
import operator
import os
import sys
import threading

try:
    from ._version import __version__
except ImportError:  # pragma: no cover - only in an unbuilt source folder
    raise ImportError(
        "vandry_interface has no _version.py: this is its source folder, which the build completes. "
        "Use build/<preset>/python (made by cmake --build) or install the wheel from scripts/build-wheel.sh"
    ) from None

__all__ = [
    "__version__",
    "LibraryNotFoundError",
    "request_upload_port_data",
    "stop_upload_port_data",
    "PortReader",
    "Stream",
    "Frame",
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
_MAX_CHUNK = 255  # the library takes at most this many bytes per call

# The port frame: head, command, 16-bit little-endian payload length,
# payload, tail; at most the parser's 500-byte buffer.
_HEAD = 0xFA
_TAIL = 0x5F
_HEADER_SIZE = 4
_OVERHEAD = 5
_FRAMES_THE_PARSER_CONSUMES = (0xA5, 0xE5)  # upload data, request upload
_PARSER_BUFFER_SIZE = 500

_SIGNATURES = {
    "request_upload_port_data": (None, [_BYTES, _U8, _U8]),
    "stop_upload_port_data": (None, [_BYTES]),
    "parse_port_data": (_U8, [_BYTES, _U8, ctypes.POINTER(_CHANNELS), ctypes.POINTER(_BANKS)]),
    "parse_hid_game_controller_device": (_U8, [ctypes.POINTER(_GAME_CONTROLLER), _BYTES, _U8]),
    "parse_hid_compatible_device": (_U8, [ctypes.POINTER(_CHANNELS), _BYTES, _U8]),
    "convert_std_sbus_data": (None, [ctypes.POINTER(_SBUS_CHANNELS), ctypes.POINTER(_U16)]),
    "encode_sbus_data_v1": (None, [ctypes.POINTER(_SBUS_FRAME), ctypes.POINTER(_SBUS_CHANNELS)]),
    "encode_sbus_data_v2": (None, [ctypes.POINTER(_SBUS_FRAME), ctypes.POINTER(_SBUS_CHANNELS)]),
}


class LibraryNotFoundError(OSError):
    """A shared library could not be loaded, or is not the one it should be."""


def _library_names(stem):
    if sys.platform == "win32":
        return [f"{stem}.dll"]
    return [f"lib{stem}.so.1", f"lib{stem}.so"]


def _candidates(stem):
    here = os.path.dirname(os.path.abspath(__file__))
    for name in _library_names(stem):
        yield "next to the package", os.path.join(here, name)
    found = ctypes.util.find_library(stem)
    for name in ([found] if found else []) + _library_names(stem):
        yield "the system loader", name


def _shown(path):
    """A path as text that prints: bytes that are not UTF-8 are escaped."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def _open(path):
    # ctypes reads the loader's message, which quotes the path, as UTF-8: for
    # a name that is not, some versions raise UnicodeDecodeError (which holds
    # the message), others an OSError with no message at all.
    try:
        return ctypes.CDLL(path)
    except UnicodeDecodeError as error:
        message = error.object.decode("utf-8", "backslashreplace")
    except OSError as error:
        if str(error):
            raise
        try:
            os.stat(path)
            message = f"{_shown(path)}: the loader refused it and did not say why"
        except OSError as missing:
            message = f"{_shown(path)}: {missing.strerror}"
    raise OSError(message) from None


def _declare(lib, path, stem, signatures):
    for name, (restype, argtypes) in signatures.items():
        try:
            function = getattr(lib, name)
        except AttributeError:
            raise LibraryNotFoundError(f"{_shown(path)} is not the {stem} library: it does not export {name}") from None
        function.restype = restype
        function.argtypes = argtypes
    return lib


def _load(stem, variable, signatures):
    """The library named by the environment variable when it is set (and
    nothing else then), else the first one that loads of the candidates."""
    override = os.environ.get(variable)
    if override:
        try:
            return _declare(_open(override), override, stem, signatures)
        except OSError as error:
            if isinstance(error, LibraryNotFoundError):
                raise
            raise LibraryNotFoundError(
                f"cannot load the {stem} library named by {variable}={_shown(override)}: {error}") from None
    tried = []
    for where, path in _candidates(stem):
        try:
            lib = _open(path)
        except OSError as error:
            tried.append(f"{where}: {_shown(path)} ({error})")
            continue
        return _declare(lib, path, stem, signatures)
    raise LibraryNotFoundError(
        f"cannot load the {stem} library; set {variable} to its path. Tried:\n  " + "\n  ".join(tried))


_lib = _load("VandryInterface", "VANDRY_INTERFACE_LIBRARY", _SIGNATURES)


# ---- arguments --------------------------------------------------------------

def _integer(name, value):
    """An integer of any kind that says it is one exactly (int, numpy's integer
    scalars); bool, float and the rest raise TypeError."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None


def _byte_value(name, value):
    value = _integer(name, value)
    if not 0 <= value <= 0xFF:
        raise ValueError(f"{name} must be 0..255, got {value}")
    return value


def _as_bytes(name, data):
    """The bytes of any buffer with one-byte items; TypeError for anything else."""
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"{name} must be a bytes-like object with one-byte items (bytes, bytearray, "
                        f"memoryview, array('B'), numpy uint8), not {type(data).__name__}") from None
    with view:
        if view.itemsize != 1:
            raise TypeError(f"{name} must have one-byte items, not {type(data).__name__} "
                            f"of {view.itemsize}-byte items (format {view.format!r})")
        return view.tobytes()


def _sixteen_values(name, values):
    try:
        # Never more than one value too many: an endless iterator is an error, not a hang.
        values = list(itertools.islice(values, 17))
    except TypeError:
        raise TypeError(f"{name} must be a sequence of 16 ints, not {type(values).__name__}") from None
    if len(values) != 16:
        raise ValueError(f"{name} must hold 16 values, got {len(values) if len(values) < 17 else 'more'}")
    values = [_integer(f"{name}[{k}]", v) for k, v in enumerate(values)]
    for k, v in enumerate(values):
        if not 0 <= v <= 0xFFFF:
            raise ValueError(f"{name}[{k}] must be 0..65535, got {v}")
    return values


class _CallLock:
    """One object's lock. A signal handler runs on the thread it interrupts,
    possibly inside one of the object's calls: there it may still read the
    object, and a call that would change it raises RuntimeError, as Python's
    own buffered files do, instead of waiting for itself forever."""

    def __init__(self, owner):
        self._owner = owner
        self._lock = threading.RLock()
        self._changing = False

    def __enter__(self):
        return self._lock.__enter__()

    def __exit__(self, *exc):
        return self._lock.__exit__(*exc)

    @contextlib.contextmanager
    def changing(self, call):
        with self._lock:
            if self._changing:
                raise RuntimeError(f"reentrant call: {self._owner}.{call}() inside another call on the same "
                                   f"{self._owner}, from a signal handler on this thread")
            self._changing = True
            try:
                yield
            finally:
                self._changing = False


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

_WAIT, _TAKE, _REJECT = "wait", "take", "reject"


def _judge(held):
    """What the parser does with the frame that starts at held[0], a head."""
    if len(held) < _HEADER_SIZE:
        return _WAIT
    size = held[2] + (held[3] << 8) + _OVERHEAD
    if size > _PARSER_BUFFER_SIZE:
        return _REJECT
    if len(held) < size:
        return _WAIT
    return _TAKE if held[size - 1] == _TAIL and held[1] in _FRAMES_THE_PARSER_CONSUMES else _REJECT


class PortReader:
    """The process's one reader of the device's port stream.

    The library keeps one parser for the whole process, so there is one
    PortReader: PortReader() always returns the same object. Its methods
    may be called from several threads; each call takes all of its data
    before another starts. Bytes of one stream must still arrive in order.

    channels and banks hold the values of the latest frames (15 values, and
    two rows of 16), as the library fills them.
    """

    _the_reader = None
    _creation = threading.Lock()

    def __new__(cls):
        with PortReader._creation:
            if PortReader._the_reader is None:
                reader = super().__new__(cls)
                reader._lock = _CallLock("PortReader")
                reader._channels = _CHANNELS()
                reader._banks = _BANKS()
                # The bytes the library holds back: a head whose frame is
                # not complete yet, followed by its bytes so far.
                reader._pending = b""
                PortReader._the_reader = reader
        return PortReader._the_reader

    def feed(self, data):
        """Takes bytes of any length; True when at least one frame brought values."""
        return bool(self._take(_as_bytes("data", data)))

    def frames(self, data):
        """Yields a (channels, banks) snapshot after every upload frame that data
        completes, in stream order. All of data is taken at once, even if the
        iteration stops early."""
        return (snapshot for snapshot in self._take(_as_bytes("data", data)))

    def reset(self):
        """Drops the bytes the library holds back, so that a new connection
        starts clean; channels and banks keep their values."""
        with self._lock.changing("reset"):
            self._flush()

    @property
    def channels(self):
        with self._lock:
            return tuple(self._channels)

    @property
    def banks(self):
        with self._lock:
            return tuple(tuple(row) for row in self._banks)

    # A call of parse_port_data reports one "decoded" flag and leaves the
    # latest values in the records, so a call that completed two frames would
    # hide the first. Even a single byte can do that: the byte that proves a
    # held head false releases every frame behind it. So the stream is handed
    # over up to each point where the library decides a held head, and a head
    # it would reject is not handed that byte: the library is flushed instead
    # and the bytes behind the head are fed again, the same bytes the library
    # would have scanned, now one decision at a time.

    def _take(self, data):
        with self._lock.changing("feed"):
            try:
                return self._take_in_turn(data)
            except BaseException:
                # Interrupted (Ctrl-C) between the library taking bytes and
                # this reader noting what it now holds: out of step, a
                # later call could complete two frames and hide the first.
                # Both start clean instead, as after reset().
                self._flush()
                raise

    def _take_in_turn(self, data):
        snapshots = []
        work = [(data, 0)]
        while work:
            buf, at = work.pop()
            while at < len(buf):
                end = self._decision_point(buf, at)
                chunk = buf[at:end]
                held = self._held_after(chunk)
                verdict = _judge(held)
                if verdict is _REJECT:
                    self._flush()
                    work.append((buf, end))
                    buf, at = held[1:], 0
                    continue
                if self._parse(chunk, self._channels, self._banks):
                    snapshots.append((tuple(self._channels), tuple(tuple(row) for row in self._banks)))
                self._pending = held if verdict is _WAIT else b""
                at = end
        return snapshots

    def _decision_point(self, buf, at):
        """Where the next chunk ends: behind the next head when nothing is
        held, else behind the byte that completes the header or the frame."""
        if not self._pending:
            head = buf.find(_HEAD, at)
            return len(buf) if head < 0 else head + 1
        held = len(self._pending)
        if held < _HEADER_SIZE:
            needed = _HEADER_SIZE - held
        else:
            needed = self._pending[2] + (self._pending[3] << 8) + _OVERHEAD - held
        return min(len(buf), at + needed)

    def _held_after(self, chunk):
        if self._pending:
            return self._pending + chunk
        head = chunk.find(_HEAD)  # a chunk ends at its first head
        return chunk[head:] if head >= 0 else b""

    def _flush(self):
        # Every frame fits 500 bytes and a zero is never a head, so 500 zeros
        # decide whatever is held and leave nothing behind. Null records: a
        # frame still held is dropped without touching channels or banks.
        self._parse(bytes(_PARSER_BUFFER_SIZE), None, None)
        self._pending = b""

    @staticmethod
    def _parse(data, channels, banks):
        decoded = False
        for start in range(0, len(data), _MAX_CHUNK):
            piece = data[start:start + _MAX_CHUNK]
            decoded |= bool(_lib.parse_port_data(_buffer(piece), len(piece), channels, banks))
        return decoded


# ---- one stream per device (VandryStream) ----------------------------------

class _StreamState(ctypes.Structure):
    """vandry_stream: 512 bytes of parser state, pointer-aligned, owned here."""
    _fields_ = [("opaque", ctypes.c_uint64 * 64)]


class _FrameRecord(ctypes.Structure):
    """vandry_frame, as the callback sees it."""
    _fields_ = [("type", _U8), ("channels", ctypes.POINTER(_CHANNELS)), ("banks", ctypes.POINTER(_BANKS))]


# The callback's user pointer is a Python object (a _Delivery), handed
# through the C library untouched.
_ON_FRAME = ctypes.CFUNCTYPE(None, ctypes.py_object, ctypes.POINTER(_FrameRecord))
_STATE = ctypes.POINTER(_StreamState)

_STREAM_SIGNATURES = {
    "vandry_stream_init": (None, [_STATE]),
    "vandry_stream_reset": (None, [_STATE]),
    "vandry_stream_feed": (ctypes.c_size_t, [_STATE, ctypes.c_char_p, ctypes.c_size_t, _ON_FRAME, ctypes.py_object]),
    "vandry_stream_pending": (ctypes.c_size_t, [_STATE]),
}

_stream_lib = None
_stream_lib_loading = threading.Lock()


def _stream_library():
    """VandryStream, loaded on first use: the rest of the package works
    without it. A failure is not remembered, so a later Stream() tries again."""
    global _stream_lib
    with _stream_lib_loading:
        if _stream_lib is None:
            _stream_lib = _load("VandryStream", "VANDRY_STREAM_LIBRARY", _STREAM_SIGNATURES)
        return _stream_lib


Frame = collections.namedtuple("Frame", ["type", "channels", "banks"])
Frame.__doc__ = """One accepted upload-data frame: its payload type byte, its 15
channel values (types 0 and 2, else None) and its two banks of 16 values
(types 1 and 2, else None), all as tuples."""


class _Delivery:
    """What one feed collects: the frames, and an exception raised while
    copying one (ctypes would otherwise print it and carry on)."""
    __slots__ = ("frames", "error")

    def __init__(self):
        self.frames = []
        self.error = None


def _deliver(delivery, record):
    # The records live on the library's stack for this call only: copy now.
    try:
        record = record.contents
        channels = tuple(record.channels.contents) if record.channels else None
        banks = tuple(tuple(row) for row in record.banks.contents) if record.banks else None
        delivery.frames.append(Frame(record.type, channels, banks))
    except BaseException as error:  # a KeyboardInterrupt, a MemoryError
        if delivery.error is None:
            delivery.error = error


_deliver_frame = _ON_FRAME(_deliver)  # lives as long as the module: every call may use it


class Stream:
    """The parser of one device's port stream, with state of its own.

    Make one per device; streams do not share anything, and each may be fed
    from any thread (its calls take a lock of their own, and the library runs
    without the GIL, so streams on different threads parse at once). Every
    accepted upload-data frame comes back as a Frame, in stream order; a
    frame of an unknown payload type has channels and banks None, and frames
    shorter than their payload type needs are not returned. Needs the
    VandryStream library (libVandryStream.so.1): VANDRY_STREAM_LIBRARY, when
    set, is the only path tried; else the one next to this package, else the
    system's. Stream() raises LibraryNotFoundError when it cannot be loaded.
    """

    def __init__(self):
        self._lib = _stream_library()
        self._lock = _CallLock("Stream")
        self._state = _StreamState()
        self._lib.vandry_stream_init(self._state)

    def __copy__(self):
        """A stream of its own that holds what this one holds: the two go on
        apart (a plain copy would share this one's state)."""
        twin = Stream.__new__(Stream)
        twin._lib, twin._lock = self._lib, _CallLock("Stream")
        with self._lock:
            twin._state = _StreamState.from_buffer_copy(self._state)
        return twin

    def __deepcopy__(self, memo):
        return self.__copy__()

    def __reduce__(self):
        raise TypeError("cannot pickle a vandry_interface.Stream: its state is the loaded library's")

    def feed(self, data):
        """Takes bytes of any length; returns the list of frames they completed."""
        data = _as_bytes("data", data)
        delivery = _Delivery()
        with self._lock.changing("feed"):
            self._lib.vandry_stream_feed(self._state, data, len(data), _deliver_frame, delivery)
        if delivery.error is not None:
            raise delivery.error
        return delivery.frames

    def frames(self, data):
        """Yields the frames that data completes, in stream order. All of data
        is taken at once, even if the iteration stops early."""
        return (frame for frame in self.feed(data))

    def reset(self):
        """Drops the bytes held for an undecided frame, as after a reconnect:
        nothing fed before is ever joined with what is fed after."""
        with self._lock.changing("reset"):
            self._lib.vandry_stream_reset(self._state)

    @property
    def pending(self):
        """The number of bytes held for a frame not decided yet (below 500)."""
        with self._lock:
            return self._lib.vandry_stream_pending(self._state)


# ---- HID reports ------------------------------------------------------------

def _decode_report(function, record_type, report):
    report = _as_bytes("report", report)
    record = record_type()
    if len(report) > _MAX_CHUNK or not function(record, _buffer(report), len(report)):
        return None
    return tuple(record)


def parse_hid_game_controller_device(report):
    """The 11 fields of a 19-byte game-controller report; None for any other length."""
    return _decode_report(_lib.parse_hid_game_controller_device, _GAME_CONTROLLER, report)


def parse_hid_compatible_device(report):
    """The 15 channel values of a 35-byte compatible report (head 0xFA); None otherwise."""
    return _decode_report(_lib.parse_hid_compatible_device, _CHANNELS, report)


# ---- SBUS -------------------------------------------------------------------

def convert_std_sbus_data(values16):
    """Scales 16 values into 0..2047: value * 1.706, truncated, capped."""
    source = (_U16 * 16)(*_sixteen_values("values16", values16))
    scaled = _SBUS_CHANNELS()
    _lib.convert_std_sbus_data(scaled, source)
    return tuple(scaled)


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
