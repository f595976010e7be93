"""Tests of vandry_interface.Stream, the per-device parser over VandryStream.

The oracle is ModelStream below: the stream rules written out plainly, a byte
at a time, apart from the library and from the binding. Streams are built
here from the wire format, hostile bytes included, and what Stream returns
is compared with what the model decodes from them.
"""
import copy
import os
import pickle
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import unittest

import vandry_interface as vi
from test_vandry_interface import false_head, upload_frame

HEAD, TAIL, UPLOAD, REQUEST = 0xFA, 0x5F, 0xA5, 0xE5
NEEDS = {0: 31, 1: 65, 2: 95}  # payload bytes, type byte included, of the known types


def decode(payload):
    """The frame an accepted payload makes: (type, channels, banks)."""
    kind = payload[0]
    values = struct.unpack_from(f"<{(len(payload) - 1) // 2}H", payload, 1)
    channels = tuple(values[:15]) if kind in (0, 2) else None
    rows = values[15:] if kind == 2 else values
    banks = (tuple(rows[:16]), tuple(rows[16:32])) if kind in (1, 2) else None
    return kind, channels, banks


class ModelStream:
    """Bytes go onto a list one at a time; every decision they allow is taken
    at once, from the front."""

    def __init__(self):
        self.held = bytearray()

    def push(self, byte):
        held, frames = self.held, []
        held.append(byte)
        while held:
            if held[0] != HEAD:
                del held[0]
                continue
            if len(held) < 4:
                break
            length = held[2] | held[3] << 8
            size = length + 5
            if size > 500 or (len(held) >= size and (held[size - 1] != TAIL or held[1] not in (UPLOAD, REQUEST))):
                del held[0]  # never fits, wrong tail, or another command: scan on behind the head
                continue
            if len(held) < size:
                break
            payload = bytes(held[4:4 + length])
            if held[1] == UPLOAD and payload and (payload[0] > 2 or length >= NEEDS[payload[0]]):
                frames.append(decode(payload))
            del held[:size]
        return frames

    def run(self, data):
        """The frames data completes, and what is pending after each byte."""
        frames, pending = [], []
        for byte in data:
            frames += self.push(byte)
            pending.append(len(self.held))
        return frames, pending


def hostile_stream(rng, items):
    """Frames of each type mixed with everything that can hold them up or be
    taken for one."""
    out = bytearray()
    for _ in range(items):
        kind = rng.randrange(10)
        if kind <= 2:
            t = rng.choice([0, 1, 2])
            out += upload_frame(t, [rng.randrange(0x10000) for _ in range(NEEDS[t] // 2)])
        elif kind == 3:
            out += upload_frame(rng.choice([3, 9, 0xFF]), [rng.randrange(0x10000) for _ in range(rng.randrange(8))])
        elif kind == 4:
            t = rng.choice([0, 1, 2])
            out += upload_frame(t, [7] * 47, length=rng.randrange(0, NEEDS[t]))  # short
        elif kind == 5:
            out += false_head(rng.randrange(0, 496))
        elif kind == 6:
            frame = bytearray(upload_frame(0, [rng.randrange(0x10000) for _ in range(15)]))
            frame[-1] = rng.choice([0x00, 0xFA, 0x5E])  # wrong tail
            out += frame
        elif kind == 7:
            out += bytes([HEAD, UPLOAD]) + struct.pack("<H", rng.randrange(496, 0x10000))  # can never fit
        elif kind == 8:
            out += vi.request_upload_port_data(rng.randrange(256), rng.randrange(256))
        else:
            out += bytes(rng.choice([HEAD, TAIL, 0, rng.randrange(256)]) for _ in range(rng.randrange(1, 30)))
    return bytes(out)


def random_cuts(rng, data, largest):
    at = 0
    while at < len(data):
        size = rng.randrange(0, largest + 1)
        yield data[at:at + size], min(at + size, len(data))
        at += size


class StreamTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rng = random.Random(2024)
        cls.streams = []
        for items in (60, 300, 300):
            data = hostile_stream(rng, items)
            frames, pending = ModelStream().run(data)
            cls.streams.append((data, frames, pending))
        big = hostile_stream(rng, 3500)
        cls.big = (big,) + ModelStream().run(big)

    def test_the_streams_are_worth_testing(self):
        for data, frames, pending in self.streams + [self.big]:
            kinds = {(kind, channels is None, banks is None) for kind, channels, banks in frames}
            self.assertTrue({(0, False, True), (1, True, False), (2, False, False)} <= kinds)
            self.assertTrue(any(kind > 2 for kind, _, _ in frames))
            self.assertGreater(max(pending), 400)
        self.assertGreaterEqual(len(self.big[0]), 100_000)

    def test_interleaved_streams_cut_at_random_give_each_stream_its_own_frames(self):
        rng = random.Random(7)
        for trial, largest in enumerate((1, 9, 300, 1000)):
            a, b = rng.sample(self.streams, 2)
            cuts = [list(random_cuts(rng, data, largest)) for data, _, _ in (a, b)]
            schedule = [0] * len(cuts[0]) + [1] * len(cuts[1])
            rng.shuffle(schedule)
            queues = [iter(c) for c in cuts]
            streams, got = (vi.Stream(), vi.Stream()), ([], [])
            for k in schedule:
                piece, end = next(queues[k])
                got[k].extend(streams[k].feed(piece))
                self.assertEqual(streams[k].pending, (a, b)[k][2][end - 1] if end else 0)
            with self.subTest(trial=trial, largest=largest):
                self.assertEqual(got[0], a[1])
                self.assertEqual(got[1], b[1])
                self.assertEqual(vi.Stream().feed(a[0]), a[1])

    def test_feeds_of_one_255_and_100000_bytes(self):
        data, frames, pending = self.big
        for size in (1, 255, 100_000):
            with self.subTest(size=size):
                stream, got = vi.Stream(), []
                for at in range(0, len(data), size):
                    got += stream.frames(data[at:at + size])
                self.assertEqual(got, frames)
                self.assertEqual(stream.pending, pending[-1])

    def test_unknown_types_and_short_frames(self):
        v = list(range(1000, 1047))
        cases = [  # name, bytes, frames written out by hand
            ("type 0", upload_frame(0, v[:15]), [(0, tuple(v[:15]), None)]),
            ("type 1", upload_frame(1, v[:32]), [(1, None, (tuple(v[:16]), tuple(v[16:32])))]),
            ("type 2", upload_frame(2, v), [(2, tuple(v[:15]), (tuple(v[15:31]), tuple(v[31:])))]),
            ("type 0, longer than it needs", upload_frame(0, v[:20]), [(0, tuple(v[:15]), None)]),
            ("unknown type 3", upload_frame(3, v[:3]), [(3, None, None)]),
            ("unknown type 255, the type byte alone", upload_frame(0xFF, []), [(0xFF, None, None)]),
            ("empty payload", upload_frame(0, [], length=0), []),
            ("type 0 one byte short", upload_frame(0, v[:15], length=30), []),
            ("type 1 one byte short", upload_frame(1, v[:32], length=64), []),
            ("type 2 one byte short", upload_frame(2, v, length=94), []),
            ("type 2 with type 0's length", upload_frame(2, v, length=31), []),
            ("a short frame, then a frame", upload_frame(1, v[:32], length=3) + upload_frame(0, v[:15]),
             [(0, tuple(v[:15]), None)]),
        ]
        for name, data, expected in cases:
            with self.subTest(name):
                self.assertEqual(ModelStream().run(data)[0], expected)  # the oracle agrees with the hand
                self.assertEqual(vi.Stream().feed(data), expected)
                stream = vi.Stream()
                self.assertEqual([f for b in data for f in stream.feed(bytes([b]))], expected)
                self.assertEqual(stream.pending, 0)

    def test_reset_in_the_middle_of_a_frame(self):
        old, new = upload_frame(0, list(range(50, 65))), upload_frame(0, list(range(900, 915)))
        cases = [  # what is held when the reset comes, and the rest of the old session
            ("a head", old[:1], old[1:]),
            ("half a header", old[:3], old[3:]),
            ("half a frame", old[:20], old[20:]),
            ("all but the tail", old[:-1], old[-1:]),
            ("the header of the longest frame", bytes([HEAD, UPLOAD]) + struct.pack("<H", 495), bytes(200)),
            ("a whole frame behind a false head", false_head(300) + old, b""),
            ("many heads", b"\xfa" * 300, b""),
        ]
        for name, held, rest in cases:
            with self.subTest(name):
                stream = vi.Stream()
                self.assertEqual(stream.feed(held), [])
                self.assertEqual(stream.pending, ModelStream().run(held)[1][-1])
                self.assertGreater(stream.pending, 0)
                stream.reset()
                self.assertEqual(stream.pending, 0)
                self.assertEqual(stream.feed(rest + new), [(0, tuple(range(900, 915)), None)])

    def test_pending(self):
        cases = [  # bytes, what is held after them
            (b"", 0), (b"\x01\x02", 0), (b"\xfa", 1), (b"\xfa\xa5\x1f", 3),
            (bytes([HEAD, UPLOAD, 0xF4, 0x01]), 0),  # 500 + 5 bytes can never fit
            (bytes([HEAD, UPLOAD, 0xEF, 0x01]), 4),  # 495 + 5 can
            (upload_frame(0, [1] * 15)[:-1], 35), (upload_frame(0, [1] * 15), 0),
        ]
        for data, held in cases:
            with self.subTest(data=data.hex()):
                stream = vi.Stream()
                stream.feed(data)
                self.assertEqual(stream.pending, held)

    def test_a_copy_goes_on_apart(self):
        frame = upload_frame(0, list(range(15)))
        for name, duplicate in (("copy", copy.copy), ("deepcopy", copy.deepcopy)):
            with self.subTest(name):
                stream = vi.Stream()
                stream.feed(frame[:20])
                twin = duplicate(stream)
                self.assertEqual(twin.feed(frame[20:]), [(0, tuple(range(15)), None)])
                self.assertEqual((stream.pending, twin.pending), (20, 0))
                self.assertEqual(stream.feed(frame[20:]), [(0, tuple(range(15)), None)])
        with self.assertRaisesRegex(TypeError, "cannot pickle"):
            pickle.dumps(vi.Stream())

    def test_frames_takes_everything_at_once(self):
        stream = vi.Stream()
        one, two = upload_frame(0, [1] * 15), upload_frame(0, [2] * 15)
        frames = stream.frames(one + two + b"\xfa")
        self.assertEqual(stream.pending, 1)  # all taken before iterating
        self.assertEqual(next(frames).channels, (1,) * 15)
        del frames
        self.assertEqual([f.channels for f in stream.frames(upload_frame(0, [3] * 15)[1:])], [(3,) * 15])

    def test_an_exception_while_copying_a_frame_is_raised_not_swallowed(self):
        class Interrupted(Exception):
            pass

        def interrupt(*_):
            raise Interrupted

        frame_type, vi.Frame = vi.Frame, interrupt
        try:
            with self.assertRaises(Interrupted):
                vi.Stream().feed(upload_frame(0, [1] * 15) * 3)
        finally:
            vi.Frame = frame_type

    def test_two_threads_feed_two_streams_at_once(self):
        (a, a_frames, _), (b, b_frames, _) = self.streams[1:]
        start = threading.Barrier(2)
        results = {}

        def run(key, data, seed):
            stream, rng, got = vi.Stream(), random.Random(seed), []
            start.wait(timeout=60)
            for piece, _ in random_cuts(rng, data, 40):
                got += stream.feed(piece)
            results[key] = got

        self.run_threads([(run, ("a", a, 1)), (run, ("b", b, 2))])
        self.assertEqual(results, {"a": a_frames, "b": b_frames})

    def test_one_stream_fed_from_several_threads_takes_each_call_whole(self):
        # Every call ends with the first part of one same frame and starts
        # with its rest, so that in any order of whole calls each call but
        # the first completes it once. The library runs without the GIL and
        # takes it back for each frame: calls that overlapped would complete
        # it twice or not at all.
        shared = upload_frame(1, [0x1111] * 32)
        stream, start, results = vi.Stream(), threading.Barrier(4), {}

        def run(k):
            data = shared[30:] + upload_frame(0, [k] * 15) * 50 + shared[:30]
            start.wait(timeout=60)
            results[k] = [f.type if f.type else f.channels for _ in range(150) for f in stream.feed(data)]

        self.run_threads([(run, (k,)) for k in range(4)])
        for k in range(4):
            self.assertEqual([c for c in results[k] if c != 1], [(k,) * 15] * 150 * 50)
        self.assertEqual(sum(results[k].count(1) for k in range(4)), 4 * 150 - 1)
        self.assertEqual(stream.pending, 30)

    def run_threads(self, targets):
        interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        try:
            threads = [threading.Thread(target=f, args=args) for f, args in targets]
            for t in threads:
                t.start()
            for t in threads:
                t.join(timeout=120)
                self.assertFalse(t.is_alive())
        finally:
            sys.setswitchinterval(interval)


class SignalHandlerTest(unittest.TestCase):
    # A signal handler runs on the thread it interrupts, here inside a feed:
    # it may read the object, and a call that would change it raises
    # RuntimeError. Before, each waited forever for the lock its own thread
    # held. A fresh interpreter, so that a hang fails on the deadline.
    HANDLER = """
import os, signal, sys, vandry_interface as vi
reader, stream = vi.PortReader(), vi.Stream()
obj, inside, read = {"stream": (stream, "_deliver", "pending"), "reader": (reader, "_parse", "channels")}[sys.argv[1]]
seen = []
def handler(signum, frame):
    seen.append(getattr(obj, read))
    for call in (obj.reset, lambda: obj.feed(b"x")):
        try:
            call()
        except RuntimeError as error:
            seen.append(str(error))
signal.signal(signal.SIGUSR1, handler)
def hook(frame, event, arg):
    if event == "call" and frame.f_code.co_name == inside and not seen:
        os.kill(os.getpid(), signal.SIGUSR1)  # handled inside the feed
sys.setprofile(hook)
frame = bytes.fromhex("FAA51F0000") + bytes(range(30)) + b"\x5f"
got = len(list(obj.frames(frame * 3)))
sys.setprofile(None)
print(got, seen)
"""

    def test_a_handler_inside_a_feed_reads_and_cannot_change(self):
        for which, read in (("stream", "0"), ("reader", "(0, 0,")):
            with self.subTest(which):
                result = subprocess.run([sys.executable, "-c", self.HANDLER, which], capture_output=True, text=True,
                                        timeout=60)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertTrue(result.stdout.startswith(f"3 [{read}"), result.stdout)
                self.assertEqual(result.stdout.count("reentrant call"), 2, result.stdout)
                self.assertIn(".reset() inside another call", result.stdout)
                self.assertIn(".feed() inside another call", result.stdout)


class StreamLibraryTest(unittest.TestCase):
    def test_the_library_beside_the_package_is_used(self):
        package = os.path.dirname(os.path.abspath(vi.__file__))
        self.assertEqual(os.path.dirname(os.path.abspath(vi.Stream()._lib._name)), package)

    def run_python(self, code, library=None, path=None):
        """Runs code in a fresh interpreter, importing the package from path
        (a folder of its own, not the current one) when it is given."""
        env = {k: v for k, v in os.environ.items() if k != "VANDRY_STREAM_LIBRARY"}
        if library is not None:
            env["VANDRY_STREAM_LIBRARY"] = library
        if path is not None:
            env["PYTHONPATH"] = path
        return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60,
                              cwd=path)

    # The package imports and the rest of it works; Stream() says what failed.
    WITHOUT_STREAM = """
import vandry_interface as vi
assert vi.stop_upload_port_data() == bytes.fromhex("FAE400005F")
try:
    vi.Stream()
except vi.LibraryNotFoundError as error:
    print(error)
else:
    raise SystemExit("Stream() worked")
"""

    def test_the_environment_variable_is_the_only_path_tried(self):
        interface = vi._lib._name
        cases = [  # value, what the error must say
            ("/nonexistent/libVandryStream.so.1", ["VANDRY_STREAM_LIBRARY=/nonexistent/libVandryStream.so.1",
                                                   "No such file"]),
            ("libc.so.6", ["libc.so.6 is not the VandryStream library", "does not export vandry_stream_"]),
            # A name that is not UTF-8 (a surrogate escape here): ctypes could not
            # read the loader's message about it.
            ("/nonexistent/\udcff.so", ["VANDRY_STREAM_LIBRARY=/nonexistent/\\xff.so: /nonexistent/\\xff.so: ",
                                        "No such file"]),
            (interface, [f"{interface} is not the VandryStream library"]),
        ]
        for value, messages in cases:
            with self.subTest(value):
                result = self.run_python(self.WITHOUT_STREAM, library=value)
                self.assertEqual(result.returncode, 0, result.stderr + result.stdout)
                for message in messages:
                    self.assertIn(message, result.stdout)
                self.assertNotIn("next to the package", result.stdout)

    def test_without_the_library_the_package_still_imports(self):
        if vi.ctypes.util.find_library("VandryStream"):
            self.skipTest("this system has its own libVandryStream")
        package = os.path.dirname(os.path.abspath(vi.__file__))
        for name in ("plain", "not UTF-8 \udcff"):  # a surrogate escape: the byte 0xFF
            with self.subTest(name), tempfile.TemporaryDirectory() as top:
                folder = os.path.join(top, name)
                shutil.copytree(package, os.path.join(folder, "vandry_interface"),
                                ignore=shutil.ignore_patterns("libVandryStream*", "__pycache__"))
                result = self.run_python(self.WITHOUT_STREAM, path=folder)
                self.assertEqual(result.returncode, 0, result.stderr + result.stdout)
                shown = os.fsencode(folder).decode("utf-8", "backslashreplace")
                for message in ("cannot load the VandryStream library", "VANDRY_STREAM_LIBRARY",
                                f"next to the package: {shown}/vandry_interface/libVandryStream.so.1",
                                "the system loader: libVandryStream.so.1"):
                    self.assertIn(message, result.stdout)


if __name__ == "__main__":
    unittest.main()
