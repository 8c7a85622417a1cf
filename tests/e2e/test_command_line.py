"""The command line of the real binary, without a server: the version, the
usage text, the section and required-setting checks, and -n."""

import os
import socket
import subprocess
import tempfile
import unittest

TRELK = os.environ["TRELK"]
TRELK_CONF = os.environ["TRELK_CONF"]

USAGE = (
    "Usage: trelk <section> [options]\n\n"
    "  Please see %s for the list of <section> options.\n\n"
    "  Options:\n"
    "    -4  Use IPv4 addresses only.\n"
    "    -6  Use IPv6 addresses only.\n"
    "    -b  Override the specified section's Subversion branch.\n"
    "    -c  Check every local file against the repository, whatever the\n"
    "          last run recorded (as the first run does).\n"
    "    -f  Display the local files that do not exist in the repository.\n"
    "    -h  Override the specified section's hostname or IP address.\n"
    "    -k  Override the location where known file lists are stored.\n"
    "    -l  Override the specified section's destination directory.\n"
    "    -n  Display the section's most recently downloaded revision number and exit.\n"
    "    -o  Override the specified section's default port.\n"
    "    -p  Override the specified section's protocol (svn, http, https).\n"
    "    -r  The revision number to retreive (defaults to the branch's\n"
    "          most recent revision if this option is not specified).\n"
    "    -t  Remove all local files that are not found in the repository.\n"
    "          Note: this will remove files in directories like /usr/ports/distfiles/\n"
    "          and /usr/src/sys/amd64/conf/.  Proceed with caution.\n"
    "    -v  How verbose the output should be (0 = no output, 1 = the default\n"
    "          normal output, 2 = also show a progress indicator, 3 = also show\n"
    "          command and response text plus command response parsing codes).\n"
    "    -V  Display trelk's version number and exit.\n"
    "\n"
) % TRELK_CONF


def write_configuration(text):
    """Writes the configuration file the binary was built to read."""
    with open(TRELK_CONF, "wb") as conf:
        conf.write(text.encode())


def remove_configuration():
    try:
        os.remove(TRELK_CONF)
    except FileNotFoundError:
        pass


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory(prefix="trelk-e2e-")
        self.work = os.path.join(self.folder.name, "work")
        self.target = os.path.join(self.folder.name, "target")
        self.addCleanup(self.folder.cleanup)
        self.addCleanup(remove_configuration)
        remove_configuration()

    def run_trelk(self, *arguments):
        """Runs the binary with the given arguments; returns status, stdout
        and stderr as bytes."""
        done = subprocess.run([TRELK, *arguments], stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=60)
        return done.returncode, done.stdout, done.stderr

    def test_version_before_the_configuration(self):
        for first in ("-V", "-Vx"):
            self.assertEqual(self.run_trelk(first, "-t"),
                             (1, b"trelk version 1.08\n", b""), first)

    def test_usage_text(self):
        write_configuration("[stable]\nhost=h\nbranch=b\ntarget=%s\n" % self.target)
        for arguments in ([], ["-x"], ["-t", "stable"]):
            self.assertEqual(self.run_trelk(*arguments),
                             (1, b"", USAGE.encode()), arguments)

    def test_usage_without_branch(self):
        write_configuration("[stable]\nhost=h\ntarget=%s\n" % self.target)
        self.assertEqual(self.run_trelk("stable", "-k", self.work),
                         (1, b"", USAGE.encode()))

    def test_defaults_section_refused(self):
        for section in ("defaults", "defaultx"):
            self.assertEqual(
                self.run_trelk(section),
                (1, b"", b"trelk: Invalid section.  Please use one defined in trelk.conf.\n"),
                section)

    def test_missing_configuration_file(self):
        status, out, err = self.run_trelk("stable", "-h", "h", "-b", "b",
                                          "-k", self.work, "-l", self.target)
        self.assertEqual((status, out), (1, b""))
        self.assertTrue(err.startswith(b"trelk: Cannot find configuration file: "), err)

    def test_missing_host(self):
        write_configuration("[defaults]\nbranch=base/head\n\n[stable]\ntarget=%s\n" % self.target)
        message = ("trelk: \nNo mirror specified.  Please uncomment the preferred "
                   "SVN mirror in %s.\n\n\n" % TRELK_CONF)
        self.assertEqual(self.run_trelk("stable", "-k", self.work),
                         (1, b"", message.encode()))
        self.assertFalse(os.path.exists(self.work))

    def test_show_revision_makes_no_connection(self):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as listener:
            listener.bind(("127.0.0.1", 0))
            listener.listen(1)
            port = listener.getsockname()[1]
            write_configuration("[stable]\nhost=127.0.0.1\nprotocol=svn\nport=%d\n"
                                "branch=base/head\ntarget=/nonexistent/never\n" % port)
            os.mkdir(self.work)
            with open(os.path.join(self.work, "stable"), "wb") as known:
                known.write(b"12345\r\n" + b"0" * 32 + b"\t/Makefile\n")

            result = self.run_trelk("stable", "-n", "-k", self.work, "-l", self.target)

            self.assertEqual(result, (0, b"12345\n", b""))
            self.assertTrue(os.path.isdir(self.target))
            listener.setblocking(False)
            with self.assertRaises(BlockingIOError):
                listener.accept()

    def listener(self):
        """A listening socket that no run may connect to; returns it and its
        port."""
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.addCleanup(listener.close)
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.setblocking(False)
        return listener, listener.getsockname()[1]

    def assert_no_connection(self, listener):
        with self.assertRaises(BlockingIOError):
            listener.accept()

    def test_an_existing_file_is_never_made_a_directory(self):
        """A target or work directory that names a regular file stops the
        run, and the file stays as it was."""
        listener, port = self.listener()
        precious = os.path.join(self.folder.name, "precious.txt")
        message = ("trelk: %s exists and is not a directory.  Please remove it manually "
                   "and restart trelk\n" % precious).encode()
        setting = "[stable]\nhost=127.0.0.1\nprotocol=svn\nport=%d\nbranch=base/head\n" % port
        cases = [
            ("-l", setting + "target=%s\nwork_directory=%s\n" % (self.target, self.work), ["-l", precious]),
            ("-k", setting + "target=%s\nwork_directory=%s\n" % (self.target, self.work), ["-k", precious]),
            ("target=", setting + "target=%s\nwork_directory=%s\n" % (precious, self.work), []),
            ("work_directory=", setting + "target=%s\nwork_directory=%s\n" % (self.target, precious), []),
        ]
        for name, configuration, options in cases:
            with open(precious, "wb") as fh:
                fh.write(b"keep me\n")
            write_configuration(configuration)
            self.assertEqual(self.run_trelk("stable", *options), (1, b"", message), name)
            with open(precious, "rb") as fh:
                self.assertEqual(fh.read(), b"keep me\n", name)
        self.assert_no_connection(listener)

    def test_a_section_name_that_leads_outside_is_refused(self):
        """trelk ../precious.txt must not write a list beside the work
        directory."""
        listener, port = self.listener()
        write_configuration("[../precious.txt]\nhost=127.0.0.1\nprotocol=svn\nport=%d\n"
                            "branch=base/head\ntarget=%s\nwork_directory=%s\n" % (port, self.target, self.work))
        status, out, err = self.run_trelk("../precious.txt")
        self.assertEqual((status, out), (1, b""))
        self.assertTrue(err.startswith(b'trelk: Invalid section "../precious.txt".'), err)
        self.assertEqual(os.listdir(self.folder.name), [])
        self.assert_no_connection(listener)

    def test_bad_numbers_are_refused_before_any_traffic(self):
        listener, port = self.listener()
        base = ("[stable]\nhost=127.0.0.1\nprotocol=svn\nport=%d\nbranch=base/head\n"
                "target=%s\nwork_directory=%s\n" % (port, self.target, self.work))
        revision = " is not a revision number from 0 to 2147483647\n"
        port_number = " is not a port number from 1 to 65535\n"
        cases = [
            (base, ["-r", "4294967297"], '-r: "4294967297"' + revision),
            (base, ["-r", "2147483648"], '-r: "2147483648"' + revision),
            (base, ["-r", "-5"], '-r: "-5"' + revision),
            (base, ["-r", "abc"], '-r: "abc"' + revision),
            (base, ["-o", "99999"], '-o: "99999"' + port_number),
            (base, ["-o", "-1"], '-o: "-1"' + port_number),
            (base + "port=abc\n", [], 'port= in section [stable]: "abc"' + port_number),
        ]
        for configuration, options, message in cases:
            write_configuration(configuration)
            self.assertEqual(self.run_trelk("stable", *options),
                             (1, b"", ("trelk: " + message).encode()), options or configuration)
        self.assertFalse(os.path.exists(self.work))
        self.assert_no_connection(listener)


if __name__ == "__main__":
    unittest.main()
