"""Update scenarios shared by the svn:// and the http(s):// scripts.

A test class mixes in UpdateScenarios and names its `protocol`; the
repositories and servers of one script live in one World, built once.
"""

import os
import random

import harness as h

SENTINEL_TEXT = b"outside the target; trelk must never write here\n"


def sized(n, seed):
    """n bytes of varied content, zero bytes and line ends included."""
    return random.Random(seed).randbytes(n)


NAMES = [
    "with space", "a(b", "c)d", "(", ")", "( 4:head )", "3:abc", "#hash", "100%",
    "%41%zz", "a&b", "&amp;", "<lt>", "gt>", "it's", 'quo"te', "ünïcødé 文字",
    "semi;colon", "plus+sign", "q?x", "star*", "back\\slash", "~tilde", "=eq",
    "[br]{cb}", "comma,dot.", "x" * 200,
]


def history_trees():
    """Three revisions of one branch, each step changing every kind of node."""
    r1 = {
        "head/README": h.f("first readme\n"),
        "head/empty-file": h.f(b""),
        "head/bin/ls/ls.c": h.f("/*\n * $FreeBSD$\n */\nstatic const char id[] = \"$FreeBSD$\";\n"
                                "int main(void) { return 0; } /* $FreeBSD$ */",
                                keywords="FreeBSD=%H"),
        "head/bin/ls/Makefile": h.f("PROG=\tls\n# $FreeBSD$\n", keywords="FreeBSD=%H"),
        "head/keywords/other.c": h.f("/* $FreeBSD$ other keyword set */\n", keywords="Id"),
        "head/keywords/plain.c": h.f("/* $FreeBSD$ no keywords at all */\n"),
        "head/tools/run.sh": h.f("#!/bin/sh\necho run\n", executable=True),
        "head/tools/flip.sh": h.f("#!/bin/sh\necho flip\n", executable=True),
        "head/tools/flip2.sh": h.f("#!/bin/sh\necho flip2\n", executable=True),
        "head/lib/libfoo.so.1": h.f(sized(3000, 1)),
        "head/lib/libfoo.so": h.link("libfoo.so.1"),
        "head/lib/dirlink": h.link("../bin"),
        "head/to-link": h.f("regular first\n"),
        "head/from-link": h.link("README"),
        "head/escape": h.link("../sentinel"),
        "head/olddir/a": h.f("a\n"),
        "head/olddir/b/c": h.f("c\n"),
        "head/emptydir": h.d(),
        "head/sizes/f4095": h.f(sized(4095, 2)),
        "head/sizes/f4096": h.f(sized(4096, 3)),
        "head/sizes/f4097": h.f(sized(4097, 4)),
        "head/sizes/f8192": h.f(sized(8192, 5)),
        "head/sizes/big.bin": h.f(sized(5 * 1024 * 1024 + 17, 6)),
        "head/deep/" + "/".join("level%02d" % i for i in range(24)) + "/leaf": h.f("deep\n"),
    }
    for i, name in enumerate(NAMES):
        r1["head/names/" + name] = h.f("name %d: %s\n" % (i, name))
    r1["head/names/dir (x)/c)d(e"] = h.f("inside\n")

    r2 = dict(r1)
    r2["head/README"] = h.f("second readme\n")
    del r2["head/bin/ls/Makefile"]
    del r2["head/olddir/a"]
    del r2["head/olddir/b/c"]
    r2["head/newdir/sub/file"] = h.f("new\n")
    r2["head/newdir/empty-sub"] = h.d()
    r2["head/to-link"] = h.link("README")
    r2["head/from-link"] = h.f("regular now\n")
    r2["head/escape"] = h.f("a regular file where a link was\n")
    r2["head/tools/flip.sh"] = h.f("#!/bin/sh\necho flip\n")  # only the bit goes
    r2["head/tools/flip2.sh"] = h.f("#!/bin/sh\necho flip2, changed\n")
    r2["head/lib/libfoo.so.2"] = h.f(sized(3100, 7))
    r2["head/lib/libfoo.so"] = h.link("libfoo.so.2")
    r2["head/names/new one (2)"] = h.f("added\n")

    r3 = dict(r2)
    r3["head/bin/ls/ls.c"] = h.f(r1["head/bin/ls/ls.c"].data + b"\n/* $FreeBSD$ again */\n",
                                 keywords="FreeBSD=%H")
    r3["head/to-link"] = h.f("regular again\n")
    r3["head/sizes/big.bin"] = h.f(sized(3 * 1024 * 1024, 8))
    del r3["head/names/a&b"]
    del r3["head/names/" + NAMES[1]]
    r3["head/added-in-r3"] = h.f("added in r3\n")
    return [r1, r2, r3]


WIDE_DIRS = 400
WIDE_FILES = 10


def wide_name(i):
    return "directory-with-a-rather-long-name-so-that-listing-batches-fill-up-quickly-%04d" % i


def wide_trees():
    """Hundreds of long-named directories and thousands of files; then two
    revisions that change exactly 97 and exactly 96 files."""
    r1 = {}
    for i in range(WIDE_DIRS):
        for j in range(WIDE_FILES):
            r1["head/%s/file-%02d.c" % (wide_name(i), j)] = h.f("dir %d file %d\n" % (i, j))
    r1["head/Makefile"] = h.f("# $FreeBSD$\n", keywords="FreeBSD=%H")
    files = sorted(p for p in r1 if p.count("/") == 2)
    r2 = dict(r1)
    for p in files[::41][:97]:
        r2[p] = h.f(r1[p].data + b"changed in r2\n")
    r3 = dict(r2)
    for p in files[7::39][:96]:
        r3[p] = h.f(r2[p].data + b"changed in r3\n")
    return [r1, r2, r3]


class World:
    """The workspace, the repositories and the servers of one script."""

    def __init__(self, protocols):
        self.workspace = h.Workspace()
        try:
            self.history = h.Repository(self.workspace, "history")
            self.history_revs = [self.history.commit(t) for t in history_trees()]
            self.wide = h.Repository(self.workspace, "wide")
            self.wide_revs = [self.wide.commit(t) for t in wide_trees()]
            self.sentinel = os.path.join(self.workspace.path, "sentinel")
            with open(self.sentinel, "wb") as out:
                out.write(SENTINEL_TEXT)
            self.history_servers = h.Servers(self.workspace, self.history, protocols)
            self.wide_servers = h.Servers(self.workspace, self.wide, protocols)
        except Exception:
            self.close()
            raise
        h.write_configuration()

    def close(self):
        for name in ("history_servers", "wide_servers"):
            if hasattr(self, name):
                getattr(self, name).stop()
        self.workspace.cleanup()


_world = None


def world(protocols):
    global _world
    if _world is None:
        _world = World(protocols)
    return _world


def close_world():
    global _world
    if _world is not None:
        _world.close()
        _world = None


class UpdateScenarios:
    """Mixed into a unittest.TestCase that sets `protocol` and `protocols`."""

    protocol = None
    protocols = ("svn",)

    @classmethod
    def setUpClass(cls):
        cls.world = world(cls.protocols)

    # ---------------------------------------------------------- checks

    def client(self, servers, name="client"):
        return h.Client(self.world.workspace, servers, self.protocol, name)

    def assert_tree(self, client, repository, rev):
        """The target equals `svn export -r REV` of the same URL; the list
        and the stamp are right; nothing outside the target changed."""
        url = client.servers.url(self.protocol)
        exported = h.export(self.world.workspace, url, rev)
        diffs = h.tree_differences(exported, client.target)
        self.assertEqual(diffs, [], "tree at r%d differs from svn export" % rev)
        self.assertEqual(h.read_bytes(os.path.join(client.target, ".svnversion")),
                         b"%d\r\n" % rev)
        self.assert_known_files(client, repository, rev)
        self.assertEqual(h.read_bytes(self.world.sentinel), SENTINEL_TEXT,
                         "a file outside the target was written")

    def assert_known_files(self, client, repository, rev):
        text = client.known_files().decode("utf-8", "surrogateescape")
        first, lines = repository.known_files(rev)
        self.assertTrue(text.startswith(first), "first line of %r" % text[:40])
        body = text[len(first):]
        self.assertNotIn("\r", body)
        self.assertTrue(body == "" or body.endswith("\n"))
        got = [l + "\n" for l in body.split("\n")[:-1]]
        self.assertEqual(len(got), len(set(got)), "duplicate lines in the known-files list")
        self.assertEqual(set(got), lines)
        self.assertFalse(os.path.exists(client.known_files_path + ".new"))

    def assert_clean_output(self, result):
        """A complete run at verbosity 1: status 0, the revision line first,
        nothing on stderr but removed-folder and extra-file lines."""
        self.assertEqual(result.status, 0, str(result))
        for line in result.stderr.splitlines():
            self.assertTrue(line.startswith((" = ", " * ")), "unexpected stderr line %r" % line)

    def assert_reports(self, client, result, repository, old_rev, new_rev):
        """" + " lines name every changed regular file and new directory (and
        nothing that did not change); " - " lines the files that left."""
        t = client.target
        old = repository.tree(old_rev) if old_rev else {}
        new = repository.tree(new_rev)
        old_files, new_files = h.branch_files(old), h.branch_files(new)
        changed = {p for p, n in new_files.items() if not n.special
                   and (p not in old_files or old_files[p].data != n.data or old_files[p].special)}
        mode_only = {p for p, n in new_files.items() if p not in changed and not n.special
                     and n.executable != old_files[p].executable}
        new_dirs = h.branch_dirs(new) - h.branch_dirs(old)
        # Over WebDAV the listing creates folders without reporting them.
        required = {t + p for p in changed | (new_dirs if self.protocol == "svn" else set())}
        allowed = required | {t + p for p in mode_only | h.branch_dirs(new)}
        self.assertEqual(result.stdout.split("\n")[0], "# Revision: %d" % new_rev, str(result))
        self.assertEqual(required - result.written, set(), "files written but not reported")
        self.assertEqual(result.written - allowed, set(), "reported but unchanged")
        gone = {t + p for p, n in old_files.items() if p not in new_files and not n.special}
        self.assertEqual(result.removed, gone)

    def update_and_check(self, client, repository, rev, old_rev, latest=False):
        result = client.update() if latest else client.update(rev=rev)
        self.assert_clean_output(result)
        self.assert_reports(client, result, repository, old_rev, rev)
        self.assert_tree(client, repository, rev)
        # A second run at the same revision finds everything current.
        again = client.update(rev=rev)
        self.assertEqual((again.status, again.stdout, again.stderr),
                         (0, "# Revision: %d\n" % rev, ""), "second run at r%d" % rev)
        self.assert_tree(client, repository, rev)

    # ---------------------------------------------------------- scenarios

    def test_history_forward_backward_and_latest(self):
        """Across revisions that modify, add and delete files and folders,
        turn files into links and back, drop executable bits; then back to
        the first revision with -r and forward to the latest."""
        repo = self.world.history
        r1, r2, r3 = self.world.history_revs
        client = self.client(self.world.history_servers, "history")
        steps = [(r1, None, False), (r2, r1, False), (r3, r2, True), (r1, r3, False), (r3, r1, True)]
        for rev, old, latest in steps:
            with self.subTest(rev=rev, previous=old):
                self.update_and_check(client, repo, rev, old, latest)

    def test_wide_tree_and_batches_of_96_and_97(self):
        """Hundreds of long-named folders (listing batches past 32000 bytes),
        thousands of files (property batches split), then exactly 97 and
        exactly 96 changed files."""
        repo = self.world.wide
        r1, r2, r3 = self.world.wide_revs
        client = self.client(self.world.wide_servers, "wide")
        for rev, old, count in ((r1, None, WIDE_DIRS * WIDE_FILES + 1), (r2, r1, 97), (r3, r2, 96)):
            with self.subTest(rev=rev):
                result = client.update(rev=rev)
                self.assert_clean_output(result)
                files = {l for l in result.written if not os.path.isdir(l)}
                self.assertEqual(len(files), count, "files written at r%d" % rev)
                self.assert_reports(client, result, repo, old, rev)
                self.assert_tree(client, repo, rev)
        again = client.update()
        self.assertEqual((again.status, again.stdout, again.stderr), (0, "# Revision: %d\n" % r3, ""))

    def test_trim_and_list_extra_files(self):
        """-f lists local files the repository does not hold and keeps them;
        -t removes them; empty leftover folders go either way."""
        repo = self.world.history
        rev = self.world.history_revs[-1]
        client = self.client(self.world.history_servers, "trim")
        self.assert_clean_output(client.update())
        t = client.target
        extras = ["/untracked.txt", "/bin/ls/extra.c", "/localonly/file", "/names/a(b.orig"]
        for p in extras:
            os.makedirs(os.path.dirname(t + p), exist_ok=True)
            with open(t + p, "w") as out:
                out.write("local\n")
        os.makedirs(t + "/emptylocal/sub")

        listed = client.update("-f")
        self.assert_clean_output(listed)
        self.assertEqual(listed.written, set())
        self.assertEqual(listed.lines(" * ", "stderr") - {t + "/.svnversion"},
                         {t + p for p in extras})
        for p in extras:
            self.assertTrue(os.path.exists(t + p), "-f removed " + p)
        self.assertFalse(os.path.exists(t + "/emptylocal"), "empty leftover folder stayed")

        trimmed = client.update("-t")
        self.assert_clean_output(trimmed)
        self.assertEqual(trimmed.removed, {t + p for p in extras})
        self.assertEqual(trimmed.lines(" * ", "stderr"), set())
        self.assert_tree(client, repo, rev)

    def test_verbosity_zero_is_silent(self):
        repo = self.world.history
        r1, r2, r3 = self.world.history_revs
        client = self.client(self.world.history_servers, "quiet")
        # r2 -> r3 changes, adds and removes files but leaves no folder empty.
        for rev in (r2, r3):
            result = client.update(rev=rev, verbosity=0)
            self.assertEqual((result.status, result.stdout, result.stderr), (0, "", ""))
            self.assert_tree(client, repo, rev)

    def test_server_gone_keeps_the_known_files_list(self):
        repo = self.world.history
        r1 = self.world.history_revs[0]
        servers = h.Servers(self.world.workspace, repo, (self.protocol,))
        try:
            client = self.client(servers, "gone")
            self.assert_clean_output(client.update(rev=r1))
            before = client.known_files()
        finally:
            servers.stop()
        result = client.update()
        self.assertEqual(result.status, 1, str(result))
        self.assertNotEqual(result.stderr, "", "no message for a failed run")
        self.assertEqual(client.known_files(), before)
        self.assertEqual(h.read_bytes(os.path.join(client.target, ".svnversion")), b"%d\r\n" % r1)
