"""The progress line at verbosity 2: on a real terminal (a tmux pane 60
columns wide) it is redrawn in place, cut to the width and cleared before
every line that stays; with standard error in a file it is written whole."""

import os
import re
import shlex
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

WIDTH = 60

# One drawing of the progress line: count, total, percentage, text, then
# erase to the end of the line and a carriage return.
PROGRESS = re.compile(rb"( *\d+) of (\d+) \( *\d+\.\d%\)  ([^\x1b\r\n]*)\x1b\[0K\r")

# Short names at the top, then one long path listed last: its progress line
# is wider than the lasting lines of the short names, so any line drawn
# over it without clearing leaves a visible remnant.
LONG = "/deeper/and/deeper/down/to/a/file/with/a/rather/long/name.c"
TREE = dict({"head/f%02d" % i: h.f("file %d\n" % i) for i in range(12)},
            **{"head" + LONG: h.f("long\n")})


def tmux_available():
    return shutil.which("tmux") is not None


class Terminal:
    """A detached tmux server of our own (its socket in the workspace) with
    one pane of WIDTH x 20 whose raw output is recorded to a file; used for
    one run."""

    def __init__(self, workspace):
        # Fresh names each time: a server being killed may still hold the
        # last socket.
        self.socket = workspace.fresh("tmux.sock")
        self.raw = workspace.fresh("pane.raw")
        self.script = workspace.fresh("run.sh")
        self.ready = workspace.fresh("ready")

    def tmux(self, *args):
        return h.run(["tmux", "-S", self.socket, "-f", "/dev/null"] + list(args)).stdout

    def run(self, argv):
        """Runs argv in the pane with both streams on the terminal; returns
        (exit status, lines on the screen, raw bytes the pane received)."""
        # The script waits for a key so that recording starts first, echoes
        # nothing, and holds the pane open after the end marker.  The key
        # goes only once echo is off (the ready file says so): a key echoed
        # on a busy machine would put a blank line above the header.
        with open(self.script, "w") as out:
            out.write("stty -echo\n: > %s\nread go\nunset COLUMNS\n%s\nprintf 'END %%d\\n' $?\nread done\n"
                      % (shlex.quote(self.ready), " ".join(shlex.quote(str(a)) for a in argv)))
        self.tmux("new-session", "-d", "-s", "progress", "-x", str(WIDTH), "-y", "20",
                  "sh " + shlex.quote(self.script))
        try:
            self.tmux("pipe-pane", "-O", "-t", "progress", "cat > " + shlex.quote(self.raw))
            self.wait_for_ready()
            self.tmux("send-keys", "-t", "progress", "Enter")
            screen = self.wait_for_end()
            raw = self.wait_for_raw_end()
        finally:
            subprocess.run(["tmux", "-S", self.socket, "kill-server"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        status = int(screen[-1].split()[1])
        return status, screen[:-1], raw

    def screen(self):
        """Every line of the pane and its history, wrapped lines joined."""
        text = self.tmux("capture-pane", "-p", "-J", "-S", "-", "-t", "progress").decode(
            "utf-8", "surrogateescape")
        lines = [line.rstrip(" ") for line in text.split("\n")]
        while lines and lines[-1] == "":
            lines.pop()
        return lines

    def wait_for_ready(self):
        # A guard against a hang, not a measure of speed.
        for _ in range(600):
            if os.path.exists(self.ready):
                return
            time.sleep(0.05)
        raise RuntimeError("the pane's script never turned echo off")

    def wait_for_end(self):
        # A guard against a hang, not a measure of speed.
        for _ in range(6000):
            lines = self.screen()
            if lines and re.fullmatch(r"END \d+", lines[-1]):
                return lines
            time.sleep(0.1)
        raise RuntimeError("trelk never finished in the pane:\n" + "\n".join(self.screen()))

    def wait_for_raw_end(self):
        for _ in range(600):
            if os.path.exists(self.raw) and b"END " in h.read_bytes(self.raw):
                return h.read_bytes(self.raw)
            time.sleep(0.1)
        raise RuntimeError("the pane's recording never reached the end marker")


class ProgressLine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = h.Workspace("trelk-tty-")
        cls.repo = h.Repository(cls.workspace)
        cls.rev = cls.repo.commit(TREE)
        cls.servers = h.Servers(cls.workspace, cls.repo, ("svn",))
        h.write_configuration()

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.workspace.cleanup()

    def client(self, name):
        return h.Client(self.workspace, self.servers, "svn", name)

    def arguments(self, client, *extra):
        return [h.TRELK, h.SECTION, "-p", "svn", "-h", "127.0.0.1",
                "-o", str(self.servers.port("svn")), "-b", h.BRANCH,
                "-l", client.target, "-k", client.work, "-v", "2"] + list(extra)

    def files(self):
        return sorted(h.branch_files(self.repo.tree(self.rev)))

    def header(self, client):
        return ["# Revision: %d" % self.rev, "# Protocol: svn", "# Address: 127.0.0.1",
                "# Port: %d" % self.servers.port("svn"), "# Branch: %s" % h.BRANCH,
                "# Target: %s" % client.target, "# Trim tree: No", "# Show extra files: Yes",
                "# Known files directory: %s" % client.work]

    def prepare_leftovers(self, client, gone=True):
        """Something for each kind of lasting line of the clean-up: a file
        of the previous run that left the repository ( - , unless not gone),
        a file trelk never wrote ( * , with -f) and an empty directory the
        repository lacks ( = ).  Returns those lines."""
        target = client.target
        # A remnant shows only where a lasting line is narrower than the
        # progress line under it.
        if len(" + " + target + "/f00") >= WIDTH - 1:
            self.skipTest("temporary folder path too long to show remnants: %s" % target)
        lines = [" * %s/extra" % target, " = %s/empty" % target]
        if gone:
            with open(client.known_files_path, "w", newline="") as out:
                out.write("%d\r\n%s\t/gone\n" % (self.rev, "0" * 32))
            lines.append(" - %s/gone" % target)
        for name in ("gone", "extra") if gone else ("extra",):
            with open(os.path.join(target, name), "w") as out:
                out.write("local\n")
        os.mkdir(os.path.join(target, "empty"))
        return lines

    def run_on_terminal(self, client):
        """Runs trelk -f in the pane: (status, screen lines, raw bytes)."""
        if not tmux_available():
            self.fail("tmux is needed for this test")
        return Terminal(self.workspace).run(self.arguments(client, "-f"))

    def assert_screen(self, client, status, screen, lasting):
        """What stays on the screen is the header and then exactly the
        `lasting` lines, in any order: no progress line, no remnant of one."""
        self.assertEqual(status, 0, "\n".join(screen))
        header = self.header(client)
        self.assertEqual(screen[:len(header)], header, "\n".join(screen))
        self.assertEqual(sorted(screen[len(header):]), sorted(lasting), "\n".join(screen))

    def assert_cleared_before_lasting_lines(self, client, raw):
        """Between the last progress line drawn and each lasting line the
        pane received an erase to the end of the line.  The screen alone
        cannot show a missing erase where the lasting line happens to be
        wider than the progress line under it."""
        drawn_ends = [m.end() for m in PROGRESS.finditer(raw)]
        lasting = list(re.finditer(rb" [-+*=] " + re.escape(client.target.encode()), raw))
        self.assertTrue(lasting, "no lasting line was written")
        for m in lasting:
            before = [end for end in drawn_ends if end <= m.start()]
            if before:
                self.assertIn(b"\x1b[0K", raw[before[-1]:m.start()],
                              "no erase before %r" % raw[m.start():m.start() + 80])

    def test_on_a_terminal_the_line_is_cut_redrawn_and_cleared(self):
        client = self.client("t")
        target = client.target
        leftovers = self.prepare_leftovers(client)
        status, screen, raw = self.run_on_terminal(client)
        created = sorted(h.branch_dirs(self.repo.tree(self.rev)))
        self.assert_screen(client, status, screen,
                           [" + %s%s" % (target, p) for p in created + self.files()] + leftovers)

        # The line was drawn for every file, in place, and cut from the
        # left to one column less than the pane.
        drawn = list(PROGRESS.finditer(raw))
        count = len(self.files())
        self.assertEqual({int(m.group(1)) for m in drawn}, set(range(1, count + 1)))
        paths = {(target + p).encode() for p in self.files()}
        for m in drawn:
            line, text = m.group(0), m.group(3)
            self.assertEqual(int(m.group(2)), count, line)
            if text.startswith(b"..."):
                # Cut: the visible part (all but ESC [0K CR) is WIDTH - 1.
                self.assertEqual(len(line) - 5, WIDTH - 1, line)
                self.assertTrue(any(p.endswith(text[3:]) for p in paths), line)
            else:
                self.assertIn(text, paths, line)
                self.assertLessEqual(len(line) - 5, WIDTH - 2, line)
        self.assertTrue(any(m.group(3).startswith(b"...") for m in drawn),
                        "no line was cut")
        self.assert_cleared_before_lasting_lines(client, raw)

    def test_on_a_terminal_clean_up_lines_clear_the_last_progress_line(self):
        """With every file already in place nothing is fetched, so the last
        drawn progress line (the long path) is still up when the clean-up
        reports: first with " - " lines, then with " * " lines first."""
        for gone in (True, False):
            with self.subTest(gone=gone):
                client = self.client("u")
                for path, node in h.branch_files(self.repo.tree(self.rev)).items():
                    os.makedirs(os.path.dirname(client.target + path), exist_ok=True)
                    with open(client.target + path, "wb") as out:
                        out.write(node.data)
                leftovers = self.prepare_leftovers(client, gone)
                status, screen, raw = self.run_on_terminal(client)
                self.assertTrue(PROGRESS.search(raw), "no progress line was drawn")
                self.assert_screen(client, status, screen, leftovers)
                self.assert_cleared_before_lasting_lines(client, raw)

    def test_into_a_file_the_line_is_written_whole(self):
        client = self.client("f")
        log = os.path.join(self.workspace.path, "stderr.log")
        with open(log, "wb") as err:
            res = subprocess.run(self.arguments(client), stdout=subprocess.PIPE, stderr=err,
                                 env=dict(os.environ, COLUMNS="20"), timeout=600)
        self.assertEqual(res.returncode, 0, h.read_bytes(log))
        text = h.read_bytes(log)

        # Every drawing is whole, with its sequences, whatever COLUMNS says.
        drawn = PROGRESS.findall(text)
        paths = {(client.target + p).encode() for p in self.files()}
        self.assertEqual({int(i) for i, _, _ in drawn}, set(range(1, len(paths) + 1)))
        self.assertEqual({t for _, _, t in drawn}, paths)
        self.assertNotIn(b"...", text)


if __name__ == "__main__":
    unittest.main(verbosity=2)
