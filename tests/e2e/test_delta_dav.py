"""The WebDAV delta against Apache httpd with mod_dav_svn: what the update
report from an older revision says changed, read by trelk_delta_probe."""

import hashlib
import os
import subprocess
import unittest

import faultserver
import harness as h

PROBE = os.environ.get("TRELK_DELTA_PROBE", "")

FIRST = {
    "head/a/x.c": h.f("one\n"),
    "head/a/old": h.f("old\n"),
    "head/gone/y": h.f("y\n"),
    "head/s.sh": h.f("s\n"),
    "head/keep/k": h.f("k\n"),
    "head/same": h.f("same\n"),
}
SECOND = dict(FIRST)
SECOND.update({
    "head/a/x.c": h.f("two\n"),
    "head/a/new": h.Node("file", b"new\n", {"p1": "v<&>", "svn:keywords": "FreeBSD=%H"}),
    "head/s.sh": h.f("s\n", executable=True),
})
del SECOND["head/a/old"], SECOND["head/gone/y"]
THIRD = dict(SECOND, **{"head/s.sh": h.f("s\n")})


class Delta:
    """The probe's output: entries deleted, directories added, each
    file as (added, md5, href, repository path, {property: value or None}),
    and the base of each file that has one as (md5, href)."""

    def __init__(self, text):
        self.uuid = None
        self.deleted, self.added_directories, self.files, self.bases = set(), [], {}, {}
        for line in text.splitlines():
            kind, *fields = line.split("\t")
            if kind == "uuid":
                self.uuid = fields[0]
            elif kind == "D":
                self.deleted.add(fields[0])
            elif kind == "A":
                self.added_directories.append(fields[0])
            elif kind == "B":
                self.bases[fields[0]] = tuple(fields[1:])
            elif kind == "F":
                path, added, md5, href, repository_path = fields
                self.files[path] = (added == "1", md5, href, repository_path, {})
            else:
                self.files[fields[0]][4][fields[1]] = fields[2] if kind == "P" else None


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


class DavDelta(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = h.Workspace()
        cls.repo = h.Repository(cls.workspace)
        for tree in (FIRST, SECOND, THIRD):
            cls.repo.commit(tree)
        cls.uuid = h.run(["svnlook", "uuid", cls.repo.path]).stdout.decode().strip()
        cls.servers = h.Servers(cls.workspace, cls.repo, ("http",))

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.workspace.cleanup()

    def probe(self, start, end, *missing, port=None):
        port = port or self.servers.port("http")
        return subprocess.run([PROBE, str(port), h.BRANCH, str(start), str(end)] + list(missing),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=60)

    def delta(self, start, end, *missing):
        result = self.probe(start, end, *missing)
        self.assertEqual(result.returncode, 0, result.stderr)
        delta = Delta(result.stdout)
        self.assertEqual(delta.uuid, self.uuid)
        return delta

    def test_edits_adds_deletes_and_property_changes(self):
        delta = self.delta(1, 2, "/keep")
        self.assertEqual(delta.deleted, {"/a/old", "/gone"})
        self.assertEqual(delta.added_directories, ["/keep"])
        self.assertEqual(set(delta.files), {"/a/x.c", "/a/new", "/s.sh", "/keep/k"})
        added, digest, href, repository_path, props = delta.files["/a/x.c"]
        self.assertEqual((added, digest, repository_path), (False, md5("two\n"), "head/a/x.c"))
        self.assertTrue(href.endswith("/!svn/rvr/2/head/a/x.c"), href)
        # Only the edited file has a base: its text at the revision the
        # tree was at, where the server keeps it.
        self.assertEqual(set(delta.bases), {"/a/x.c"})
        self.assertEqual(delta.bases["/a/x.c"], (md5("one\n"), href.replace("/rvr/2/", "/rvr/1/")))
        # The keyword expansion's revision, date and author come with every
        # changed file, under the names the consumer reads.
        self.assertEqual(props["svn:entry:committed-rev"], "2")
        self.assertEqual(props["svn:entry:last-author"], "dev")
        self.assertRegex(props["svn:entry:committed-date"], r"^2021-01-01T02:07:30\.\d+Z$")
        added, digest, _, _, props = delta.files["/a/new"]
        self.assertEqual((added, digest), (True, md5("new\n")))
        self.assertEqual((props["p1"], props["svn:keywords"]), ("v<&>", "FreeBSD=%H"))
        added, digest, _, _, props = delta.files["/s.sh"]
        self.assertEqual((added, digest, props["svn:executable"]), (False, md5("s\n"), "*"))
        added, digest, _, _, _ = delta.files["/keep/k"]
        self.assertEqual((added, digest), (True, md5("k\n")))

    def test_removed_property(self):
        delta = self.delta(2, 3)
        self.assertEqual(set(delta.files), {"/s.sh"})
        self.assertIsNone(delta.files["/s.sh"][4]["svn:executable"])

    def test_no_change(self):
        delta = self.delta(3, 3)
        self.assertEqual((delta.deleted, delta.added_directories, delta.files), (set(), [], {}))

    def test_refused_or_cut_report_fails(self):
        """A revision the repository lacks is refused; a report whose end
        is cut off under status 200 fails as well."""
        result = self.probe(9, 3)
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertIn("Error in http delta: the server answered 404", result.stderr)
        case = {"faults": [{"match": "REPORT", "body": [["</S:update-report>", ""]]}]}
        proxy = faultserver.FaultServer("http", self.servers.port("http"), case)
        try:
            result = self.probe(1, 2, port=proxy.port)
        finally:
            proxy.stop()
        self.assertEqual(proxy.fired(), [1])
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertIn("Error in http delta: the report ends short", result.stderr)


if __name__ == "__main__":
    unittest.main()
