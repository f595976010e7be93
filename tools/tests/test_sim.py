"""vandry-sim end to end: its log tells the truth, its hostile stream holds
every fault, and --link never deletes a user's file."""
import os
import pty
import select
import signal
import time

from harness import (DEADLINE, MONITOR, SIM, STOP_FRAME, Lines, ToolTest, decisions, host_records, json_lines, set_raw,
                     state)

REQUEST_FRAME = bytes([0xFA, 0xE5, 0x02, 0x00, 0x00, 0x00, 0x5F])


class Host:
    """A host played by the test: opens the sim's port, reads when told to."""

    def __init__(self, test, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        test.addCleanup(self.close)
        set_raw(self.fd)
        self.data = b""

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def send(self, frame):
        os.write(self.fd, frame)

    def read_until(self, condition, timeout=DEADLINE):
        until = time.monotonic() + timeout
        while not condition(self.data):
            if time.monotonic() > until:
                raise AssertionError(f"not within {timeout} s after {len(self.data)} bytes")
            if select.select([self.fd], [], [], max(0, until - time.monotonic()))[0]:
                self.data += os.read(self.fd, 65536)

    def read_to_end(self, timeout=DEADLINE):
        """Everything until the device closes the port."""
        until = time.monotonic() + timeout
        while time.monotonic() < until:
            if select.select([self.fd], [], [], max(0, until - time.monotonic()))[0]:
                try:
                    chunk = os.read(self.fd, 255)
                except OSError:  # EIO: the other side is gone
                    return
                if not chunk:
                    return
                self.data += chunk
        raise AssertionError(f"the port stayed open for {timeout} s")

    def drain(self):
        """Everything waiting now: poll() on a pseudo-terminal first moves
        what the other side wrote into reach, so an empty poll means empty."""
        while select.select([self.fd], [], [], 0)[0]:
            self.data += os.read(self.fd, 65536)


def logged(path):
    with open(path) as f:
        return json_lines(f.read())


class SimLog(ToolTest):
    def test_the_hostile_stream_holds_every_fault_and_the_log_matches_a_correct_host(self):
        log = self.path("sent.jsonl")
        sim = self.sim("--types", "0,1,2", "--hostile", "--noise", "--rate", "5000", "--count", "3000", "--log", log)
        host = Host(self, sim.path)
        host.send(REQUEST_FRAME)
        host.read_until(lambda data: len(decisions(data)[0]) >= 3000)
        host.send(STOP_FRAME)
        self.assertEqual(sim.finish()[0], 0)
        accepted, passed = decisions(host.data)
        self.assertTrue(all(passed.values()), passed)
        self.assertEqual([list(r) for r in host_records(accepted)], [list(state(r)) for r in logged(log)])
        deciding = [at for at, _ in accepted]
        self.assertEqual(len(set(deciding)), len(deciding), "no byte decides two frames")

    def test_frames_are_logged_when_written_not_when_queued(self):
        log = self.path("sent.jsonl")
        sim = self.sim("--types", "0,1,2", "--rate", "20000", "--serve", "--log", log)
        host = Host(self, sim.path)
        host.send(REQUEST_FRAME)
        sim.err.wait_for("the host does not read fast enough: dropped")
        host.send(STOP_FRAME)
        sim.err.wait_for("stop frame received")
        host.drain()
        sim.process.send_signal(signal.SIGTERM)
        self.assertEqual(sim.finish()[0], 0)
        sent = logged(log)
        shown = host_records(decisions(host.data)[0])
        self.assertEqual(len(shown), len(sent), "frames decoded vs frames logged")
        self.assertEqual([list(r) for r in shown], [list(state(r)) for r in sent])

    def test_a_stalled_device_says_it_cannot_keep_up_and_its_log_stays_true(self):
        log = self.path("sent.jsonl")
        sim = self.sim("--types", "2", "--rate", "1000", "--serve", "--log", log)
        host = Host(self, sim.path)
        host.send(REQUEST_FRAME)
        host.read_until(lambda data: len(decisions(data)[0]) >= 10)
        sim.process.send_signal(signal.SIGSTOP)
        time.sleep(0.5)  # the stall itself
        sim.process.send_signal(signal.SIGCONT)
        sim.err.wait_for("cannot keep up with a rate of 1000 frames a second: skipped")
        host.send(STOP_FRAME)
        sim.err.wait_for("stop frame received")
        host.drain()
        sim.process.send_signal(signal.SIGTERM)
        sim.finish()
        self.assertEqual([list(r) for r in host_records(decisions(host.data)[0])], [list(state(r)) for r in logged(log)])

    def test_each_request_gets_the_frames_its_log_lines_say(self):
        log = self.path("sent.jsonl")
        sim = self.sim("--types", "0,1,2", "--rate", "2000", "--serve", "--irregular", "--log", log)
        shown = []
        for _ in range(3):
            host = Host(self, sim.path)
            host.send(REQUEST_FRAME)
            host.read_until(lambda data: len(decisions(data)[0]) >= 50)
            host.send(STOP_FRAME)
            sim.err.wait_for("stop frame received")  # said once the frame on its way is whole
            host.drain()
            host.close()
            shown += [r for _, r in decisions(host.data)[0]]
        sim.process.send_signal(signal.SIGTERM)
        self.assertEqual(sim.finish()[0], 0)
        sent = logged(log)
        self.assertEqual([r["frame"] for r in sent], list(range(1, len(sent) + 1)))
        self.assertEqual([list(r) for r in host_records([(0, p) for p in shown])], [list(state(r)) for r in sent])

    def test_frames_on_the_line_at_the_stop_frame_still_reach_the_host(self):
        # A host that lags a little behind sends the stop frame: what the
        # device wrote before it is the host's, as the log says.
        log = self.path("sent.jsonl")
        sim = self.sim("--types", "0,1,2", "--rate", "5000", "--log", log)
        host = Host(self, sim.path)
        host.send(REQUEST_FRAME)
        host.read_until(lambda data: len(decisions(data)[0]) >= 20)
        until = time.monotonic() + DEADLINE
        while len(logged(log)) < len(decisions(host.data)[0]) + 100:  # frames pile up unread
            self.assertLess(time.monotonic(), until, "the device wrote no frames")
            select.select([], [], [], 0.01)
        host.send(STOP_FRAME)
        host.read_to_end()
        self.assertEqual(sim.finish()[0], 0)
        shown = host_records(decisions(host.data)[0])
        self.assertEqual([list(r) for r in shown], [list(state(r)) for r in logged(log)])

    def test_a_host_that_closes_the_port_after_the_stop_frame_does_not_hold_up_the_end(self):
        sim = self.sim("--rate", "5000")
        host = Host(self, sim.path)
        host.send(REQUEST_FRAME)
        host.read_until(lambda data: len(decisions(data)[0]) >= 20)
        host.send(STOP_FRAME)
        host.close()
        self.assertEqual(self.wait_exit(sim.process, timeout=5), 0)

    def test_a_log_that_cannot_be_opened_is_an_error_naming_it(self):
        existing = self.path("kept.jsonl")
        with open(existing, "w") as f:
            f.write("keep me")
        read_only_dir = self.path("read-only")
        os.mkdir(read_only_dir, 0o555)
        if os.access(read_only_dir, os.W_OK):  # root writes anyway; this folder refuses even root
            read_only_dir = "/sys"
        never = " (it is never overwritten; remove it or choose another name)"
        cases = [
            (self.path("missing/sent.jsonl"), "No such file or directory"),
            (self.dir.name, "File exists: a directory" + never),
            (existing, "File exists" + never),
            (os.path.join(read_only_dir, "sent.jsonl"), "Permission denied"),
        ]
        for path, reason in cases:
            with self.subTest(path=path):
                result = self.run_tool([SIM, "--log", path])
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr, f"vandry-sim: cannot create the log {path}: {reason}\n")
                self.assertEqual(result.stdout, "", "no port is offered")
        with open(existing) as f:
            self.assertEqual(f.read(), "keep me")

    def test_a_run_that_fails_to_start_leaves_no_log_behind(self):
        # Else the corrected command would fail: "the log ... exists".
        notes = self.path("notes.txt")
        with open(notes, "w") as f:
            f.write("keep me")
        for name, args, stdout in (("refused link", ["--link", notes], os.devnull), ("port not said", [], "/dev/full")):
            with self.subTest(case=name), open(stdout, "wb") as out:
                log = self.path(name + ".jsonl")
                self.assertEqual(self.wait_exit(self.start([SIM, "--log", log, *args], stdout=out)), 1)
                self.assertFalse(os.path.lexists(log))
        with open(notes) as f:
            self.assertEqual(f.read(), "keep me")

    def test_output_that_cannot_be_written_is_an_error(self):
        # Nobody could learn the port, nor read the help: status 1, not a silent wait.
        cases = [
            ([SIM], "vandry-sim: cannot say the port's path: cannot write to stdout: No space left on device\n"),
            ([SIM, "--help"], "vandry-sim: cannot write to stdout: No space left on device\n"),
            ([MONITOR, "--version"], "vandry-monitor: cannot write to stdout: No space left on device\n"),
            ([MONITOR, "--help"], "vandry-monitor: cannot write to stdout: No space left on device\n"),
        ]
        for args, said in cases:
            with self.subTest(args=args), open("/dev/full", "wb") as full:
                process = self.start(args, stdout=full)
                _, err = process.communicate(timeout=DEADLINE)
                self.assertEqual((process.returncode, err.decode()), (1, said))

    def test_a_returning_port_whose_path_cannot_be_said_is_an_error(self):
        link = self.path("vandry")
        terminal, shown_on = pty.openpty()
        set_raw(shown_on)
        process = self.start([SIM, "--rate", "500", "--vanish-after", "5", "--return-after", "0.05", "--link", link],
                             stdout=shown_on)
        os.close(shown_on)
        Lines(terminal).line()
        os.close(terminal)  # the terminal that showed the first path is gone: the next one cannot be said
        host = Host(self, link)
        host.send(REQUEST_FRAME)
        host.read_to_end()
        self.assertEqual(self.wait_exit(process), 1)
        self.assertIn("cannot say the port's path: cannot write to stdout: Input/output error", process.stderr.read().decode())


class Link(ToolTest):
    def start_linked(self, link):
        sim = self.sim("--link", link)
        return sim, sim.path

    def stop(self, sim):
        sim.process.send_signal(signal.SIGTERM)
        return sim.finish()

    def test_the_link_is_made_replaced_only_over_an_old_link_and_removed_at_the_end(self):
        for name, old_target in (("absent", None), ("stale", "/dev/pts/9999")):
            with self.subTest(case=name):
                link = self.path(name)
                if old_target:
                    os.symlink(old_target, link)
                sim, port = self.start_linked(link)
                self.assertEqual(os.readlink(link), port)
                self.assertEqual(self.stop(sim)[0], 0)
                self.assertFalse(os.path.lexists(link))

    def test_a_users_file_is_never_touched(self):
        regular, folder, other = self.path("notes.txt"), self.path("folder"), self.path("to-notes")
        with open(regular, "w") as f:
            f.write("keep me")
        os.mkdir(folder)
        os.symlink(regular, other)
        for path, complaint in ((regular, "exists and is not a link to a pseudo-terminal"),
                                (folder, "exists and is not a link to a pseudo-terminal"),
                                (other, f"is a link to {regular}, not to a pseudo-terminal")):
            with self.subTest(path=path):
                result = self.run_tool([SIM, "--link", path])
                self.assertEqual(result.returncode, 1)
                self.assertIn(complaint, result.stderr)
                self.assertEqual(result.stdout, "")
        with open(regular) as f:
            self.assertEqual(f.read(), "keep me")
        self.assertTrue(os.path.isdir(folder))
        self.assertEqual(os.readlink(other), regular)

    def test_a_link_someone_else_replaced_meanwhile_stays(self):
        link = self.path("vandry")
        sim, _ = self.start_linked(link)
        os.unlink(link)
        with open(link, "w") as f:
            f.write("mine now")
        self.stop(sim)
        with open(link) as f:
            self.assertEqual(f.read(), "mine now")


if __name__ == "__main__":
    import unittest
    unittest.main()
