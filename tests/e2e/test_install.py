"""Installation: what `cmake --install` puts where, a manual page that
mandoc finds nothing to complain about, and a sample configuration that
trelk reads the way its comments say."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MANUAL = os.path.join(SOURCE, "doc", "trelk.8")
SAMPLE = os.path.join(SOURCE, "etc", "trelk.conf.sample")
PREFIX = "/usr/local"

# The sections of the sample and what each must set.
TREES = {
    "release": ("base/releng/14.2", "/usr/src"),
    "stable": ("base/stable/14", "/usr/src"),
    "current": ("base/head", "/usr/src"),
    "ports": ("ports/head", "/usr/ports"),
    "doc": ("doc/head", "/usr/doc"),
}


def read(path):
    with open(path, "rb") as fh:
        return fh.read()


def sections(text):
    """{name: [body lines]} of a configuration text, read by trelk's rules:
    the first "[name]\\n" anywhere, then lines up to an empty one or one that
    begins with "[", comments left out."""
    out = {}
    for line in text.split("\n"):
        if line.startswith("[") and line.endswith("]"):
            name = line[1:-1]
            start = text.index("[%s]\n" % name) + len(name) + 3
            body = []
            for entry in text[start:].split("\n"):
                if entry == "" or entry.startswith("["):
                    break
                if not entry.startswith("#"):
                    body.append(entry)
            out[name] = body
    return out


class Install(unittest.TestCase):
    def setUp(self):
        self.temp = tempfile.mkdtemp(prefix="trelk-install-")

    def tearDown(self):
        shutil.rmtree(self.temp, ignore_errors=True)

    def test_install_puts_every_file_below_destdir(self):
        build = os.path.dirname(h.TRELK)
        self.assertTrue(h.TRELK, "TRELK is not set (run through ctest)")
        env = dict(os.environ, DESTDIR=self.temp)
        res = subprocess.run(["cmake", "--install", build, "--prefix", PREFIX], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(res.returncode, 0, res.stdout.decode(errors="replace"))

        root = self.temp + PREFIX
        installed = {os.path.relpath(os.path.join(d, n), self.temp)
                     for d, _, names in os.walk(self.temp) for n in names}
        self.assertEqual(installed, {"usr/local/bin/trelk",
                                     "usr/local/share/man/man8/trelk.8",
                                     "usr/local/etc/trelk.conf.sample"})
        self.assertEqual(read(root + "/share/man/man8/trelk.8"), read(MANUAL))
        self.assertEqual(read(root + "/etc/trelk.conf.sample"), read(SAMPLE))

        # The installed binary runs: -V prints the version and exits 1.
        res = subprocess.run([root + "/bin/trelk", "-V"], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        self.assertEqual((res.returncode, res.stdout, res.stderr),
                         (1, b"trelk version 1.08\n", b""))

    def test_manual_page_passes_mandoc_lint(self):
        res = subprocess.run(["mandoc", "-Tlint", MANUAL], stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT)
        self.assertEqual((res.returncode, res.stdout.decode(errors="replace")), (0, ""))

    def test_sample_sections_hold_what_their_comments_promise(self):
        text = read(SAMPLE).decode()
        found = sections(text)
        self.assertEqual(set(found), {"defaults"} | set(TREES))
        for name, body in found.items():
            for line in body:
                # Values are taken byte for byte: nothing may trail them.
                self.assertEqual(line, line.rstrip(" \t\r"), "%s: %r" % (name, line))
                self.assertIn("=", line, "%s: %r is no setting" % (name, line))
        defaults = dict(line.split("=", 1) for line in found["defaults"])
        self.assertNotIn("host", defaults, "the administrator picks the server")
        self.assertEqual(defaults["protocol"], "https")
        self.assertEqual(defaults["work_directory"], "/var/db/trelk")
        for name, (branch, target) in TREES.items():
            settings = dict(line.split("=", 1) for line in found[name])
            self.assertEqual((settings["branch"], settings["target"]), (branch, target), name)

    def test_trelk_reads_every_section_of_the_sample(self):
        conf = os.path.realpath(h.TRELK_CONF)
        if not h.TRELK_CONF or conf.startswith("/usr/local/etc/"):
            self.skipTest("TRELK_CONF is not a test file: %r" % h.TRELK_CONF)
        h.write_configuration(read(SAMPLE).decode())
        work = os.path.join(self.temp, "work")
        target = os.path.join(self.temp, "target")

        # As shipped, no server is chosen: the run stops and says where.
        res = h.trelk("-k", work, "-l", target, "-n", section="stable")
        self.assertEqual(res.status, 1, res)
        self.assertIn("No mirror specified.  Please uncomment the preferred SVN mirror in %s."
                      % h.TRELK_CONF, res.stderr)

        # With a server, each section has its branch: -n reaches the list
        # (the target comes from -l, never from the sample).
        for name in TREES:
            os.makedirs(work, exist_ok=True)
            with open(os.path.join(work, name), "wb") as out:
                out.write(b"4242\r\n")
            res = h.trelk("-h", "127.0.0.1", "-k", work, "-l", target, "-n", section=name)
            self.assertEqual((res.status, res.stdout, res.stderr), (0, "4242\n", ""), name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
