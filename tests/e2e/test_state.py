"""Updates from the state a run keeps beside its known-files list, over svn://
and http://: what the local check trusts, what it fetches again, and every
way back to the full run.  Each ending tree is compared with `svn export`
of the same revision, and the known-files list with the repository's."""

import os
import re
import shutil
import subprocess
import time
import unittest

import harness as h

STATE_HEAD = b"trelk-state\t"


def small_trees():
    r1 = {
        "head/README": h.f("readme\n"),
        "head/bin/ls/ls.c": h.f("/* $FreeBSD$ */\nint main(void) { return 0; }\n", keywords="FreeBSD=%H"),
        "head/bin/ls/Makefile": h.f("PROG=\tls\n"),
        "head/tools/run.sh": h.f("#!/bin/sh\necho run\n", executable=True),
        "head/lib/libfoo.so.1": h.f(b"\x00elf" * 300),
        "head/lib/libfoo.so": h.link("libfoo.so.1"),
        "head/doc/a.txt": h.f("a\n"),
        "head/doc/sub/b.txt": h.f("b\n"),
        "head/emptydir": h.d(),
    }
    r2 = dict(r1)
    r2["head/README"] = h.f("readme, second edition\n")
    r2["head/tools/new.sh"] = h.f("#!/bin/sh\necho new\n", executable=True)
    r2["head/bin/ls/Makefile"] = h.f("PROG=\tls\n", executable=True)
    # Its text stays; its keyword's revision does not.
    r2["head/bin/ls/ls.c"] = h.f("/* $FreeBSD$ */\nint main(void) { return 0; }\n", keywords="FreeBSD=%H",
                                 executable=True)
    del r2["head/doc/a.txt"]
    r3 = dict(r2)
    r3["head/bin/ls/ls.c"] = h.f("/* $FreeBSD$ */\nint main(void) { return 1; }\n", keywords="FreeBSD=%H")
    r3["head/lib/libfoo.so"] = h.f("now a file\n")
    for path in [p for p in r3 if p.startswith("head/doc/")]:
        del r3[path]
    r3["head/doc"] = h.f("doc is a file now\n")
    return [r1, r2, r3]


class StateScenarios:
    protocol = None

    @classmethod
    def setUpClass(cls):
        cls.ws = h.Workspace()
        h.write_configuration()
        cls.repo = h.Repository(cls.ws, "small")
        cls.revs = [cls.repo.commit(t) for t in small_trees()]
        cls.servers = h.Servers(cls.ws, cls.repo, (cls.protocol,))

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.ws.cleanup()

    # ------------------------------------------------------------ checks

    def client(self, name, servers=None):
        return h.Client(self.ws, servers or self.servers, self.protocol, name)

    def state_path(self, client):
        return client.known_files_path + ".state"

    def assert_run(self, result):
        self.assertEqual(result.status, 0, str(result))
        for line in result.stderr.splitlines():
            self.assertTrue(line.startswith((" = ", " * ")), "unexpected stderr line %r\n%s" % (line, result))

    def assert_tree(self, client, rev, repo=None, servers=None):
        repo = repo or self.repo
        servers = servers or self.servers
        # Pegged at the revision: a replaced branch has another history.
        exported = h.export(self.ws, servers.url(self.protocol) + "@%d" % rev, rev)
        self.assertEqual(h.tree_differences(exported, client.target), [], "tree at r%d" % rev)
        text = client.known_files().decode("utf-8", "surrogateescape")
        first, lines = repo.known_files(rev)
        self.assertTrue(text.startswith(first))
        self.assertEqual(set(l + "\n" for l in text[len(first):].split("\n")[:-1]), lines)
        self.assertTrue(h.read_bytes(self.state_path(client)).startswith(STATE_HEAD))

    def settled(self, client, rev):
        """A first fetch, then a run a tick later that leaves every copy
        trusted: the first one's writes were too recent to prove anything."""
        self.assert_run(client.update(rev=rev))
        time.sleep(1.2)
        self.assert_run(client.update(rev=rev))
        time.sleep(1.2)

    def target_opens(self, client, *extra, rev=None):
        """Runs an update under strace; returns its result and the files
        under the target it opened other than as a directory or the stamp."""
        log = os.path.join(self.ws.fresh("strace"))
        args = ["-p", self.protocol, "-h", "127.0.0.1", "-o", self.servers.port(self.protocol),
                "-b", h.BRANCH, "-l", client.target, "-k", client.work, "-v", 1]
        if rev is not None:
            args += ["-r", rev]
        # LeakSanitizer cannot run under a tracer; a sanitized build goes
        # without it here.
        env = h.environment()
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
        proc = subprocess.run(["strace", "-f", "-qq", "-e", "trace=open,openat", "-o", log, h.TRELK, h.SECTION]
                              + [str(a) for a in args] + list(extra),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env, timeout=600)
        opened = []
        with open(log, errors="surrogateescape") as fh:
            for line in fh:
                m = re.search(r'open(?:at)?\((?:AT_FDCWD, )?"([^"]*)", ([^)]*)\)', line)
                if not m or not m.group(1).startswith(client.target + "/"):
                    continue
                if "O_DIRECTORY" in m.group(2) or m.group(1).startswith(client.target + "/.svnversion"):
                    continue
                opened.append(m.group(1))
        return h.Result(proc), opened

    # --------------------------------------------------------- scenarios

    def test_unchanged_update_reads_no_file(self):
        """With nothing changed and nothing touched, an update trusts every
        copy by its status: it opens no file under the target.  -c reads
        them all."""
        client = self.client("unchanged")
        r3 = self.revs[2]
        self.settled(client, r3)
        result, opened = self.target_opens(client, rev=r3)
        self.assertEqual((result.status, result.stdout, result.stderr), (0, "# Revision: %d\n" % r3, ""))
        self.assertEqual(opened, [])
        result, opened = self.target_opens(client, "-c", rev=r3)
        self.assert_run(result)
        self.assertGreaterEqual(len(opened), len(h.branch_files(self.repo.tree(r3))) - 1)
        self.assert_tree(client, r3)

    def test_forward_and_back_through_the_delta(self):
        """Edits, an added executable, a mode-only change, a removed file,
        a link that becomes a file, a directory that becomes a file, the
        keyword's revision with and without a new text; then a downgrade to
        the first revision."""
        client = self.client("history")
        r1, r2, r3 = self.revs
        self.settled(client, r1)
        for rev in (r2, r3, r1):
            with self.subTest(rev=rev):
                result = client.update(rev=rev)
                self.assert_run(result)
                self.assert_tree(client, rev)
                if rev == r2:
                    # A mode changed alone has its line, as in the full run.
                    self.assertIn(client.target + "/bin/ls/Makefile", result.written)
                again = client.update(rev=rev)
                self.assertEqual((again.status, again.stdout, again.stderr), (0, "# Revision: %d\n" % rev, ""))

    def test_local_drift_is_fetched_again(self):
        """A file edited with its modification time put back, a mode
        changed, a file removed, a directory removed: each comes back as
        the repository holds it, and nothing else is written."""
        client = self.client("drift")
        r2 = self.revs[1]
        self.settled(client, r2)
        t = client.target
        readme = t + "/README"
        before = os.stat(readme)
        with open(readme, "r+b") as fh:
            fh.write(b"X")
        os.utime(readme, ns=(before.st_atime_ns, before.st_mtime_ns))
        os.chmod(t + "/tools/run.sh", 0o644)
        os.unlink(t + "/bin/ls/ls.c")
        shutil.rmtree(t + "/doc")
        os.rmdir(t + "/emptydir")
        result = client.update(rev=r2)
        self.assert_run(result)
        self.assert_tree(client, r2)
        written = {p for p in result.written if not os.path.isdir(p)}
        self.assertEqual(written, {readme, t + "/tools/run.sh", t + "/bin/ls/ls.c", t + "/doc/sub/b.txt"})

    def test_unusable_states_fall_back_to_the_full_run(self):
        """A damaged state, one of another version, one that does not match
        the list: the full run repairs the tree and writes a good state."""
        client = self.client("damaged")
        r2, r3 = self.revs[1], self.revs[2]
        self.settled(client, r2)
        state = self.state_path(client)
        good = h.read_bytes(state)
        damages = {
            "garbage": b"garbage\n",
            "truncated": good[:len(good) // 2],
            "other version": good.replace(STATE_HEAD + good.split(b"\t")[1].split(b"\n")[0],
                                          STATE_HEAD + b"0.01", 1),
        }
        for name, text in damages.items():
            with self.subTest(damage=name):
                # The local copy drifts unseen: only a full check finds it.
                os.chmod(client.target + "/README", 0o600)
                os.utime(client.target + "/README", ns=(0, 0))
                with open(state, "wb") as fh:
                    fh.write(text)
                self.assert_run(client.update(rev=r2))
                self.assert_tree(client, r2)
        # A list that no longer matches the state: the run checks in full.
        with open(client.known_files_path, "ab") as fh:
            fh.write(b"0123456789abcdef0123456789abcdef\t/README.extra\n")
        with open(client.target + "/README.extra", "w") as fh:
            fh.write("an earlier run wrote this\n")
        self.assert_run(client.update(rev=r3))
        self.assert_tree(client, r3)
        self.assertFalse(os.path.exists(client.target + "/README.extra"))

    def test_another_repository_at_the_same_place(self):
        """A server that now serves another repository (another UUID) under
        the same branch: the state is not used."""
        client = self.client("other")
        self.settled(client, self.revs[2])
        other = h.Repository(self.ws, "other")
        trees = small_trees()
        trees[0]["head/README"] = h.f("another repository\n")
        other.commit(trees[0])
        servers = h.Servers(self.ws, other, (self.protocol,))
        try:
            client.servers = servers
            self.assert_run(client.update(rev=1))
            self.assert_tree(client, 1, other, servers)
        finally:
            servers.stop()

    def test_branch_replaced_by_a_copy(self):
        """The branch deleted and made again as a copy of its first
        revision: the delta from the revision before gives the tree of the
        copy, and the way back gives the tree before it."""
        repo = h.Repository(self.ws, "copied")
        revs = [repo.commit(t) for t in small_trees()]
        url = "file://" + repo.path
        subprocess.run(["svnmucc", "-m", "replace", "-U", url, "rm", "head", "cp", str(revs[0]), "head", "head"],
                       check=True, stdout=subprocess.DEVNULL)
        copied = revs[-1] + 1
        repo.trees[copied], repo.head = repo.tree(revs[0]), copied
        servers = h.Servers(self.ws, repo, (self.protocol,))
        try:
            client = self.client("copied", servers)
            self.settled(client, revs[-1])
            for rev in (copied, revs[-1]):
                with self.subTest(rev=rev):
                    self.assert_run(client.update(rev=rev))
                    self.assert_tree(client, rev, repo, servers)
        finally:
            servers.stop()

    def test_directory_replaced_by_a_copy(self):
        """A directory replaced in one commit by a copy of another (the
        delta deletes it, then adds the copy in its place), and back."""
        repo = h.Repository(self.ws, "replaced")
        revs = [repo.commit(t) for t in small_trees()[:2]]
        url = "file://" + repo.path
        subprocess.run(["svnmucc", "-m", "replace", "-U", url, "rm", "head/bin", "cp", str(revs[0]), "head/lib",
                        "head/bin"], check=True, stdout=subprocess.DEVNULL)
        replaced = revs[-1] + 1
        tree = {p: n for p, n in repo.tree(revs[-1]).items() if not p.startswith("head/bin/")}
        tree.update({"head/bin/" + p[len("head/lib/"):]: n for p, n in repo.tree(revs[0]).items()
                     if p.startswith("head/lib/")})
        repo.trees[replaced], repo.head = tree, replaced
        servers = h.Servers(self.ws, repo, (self.protocol,))
        try:
            client = self.client("replaced", servers)
            self.settled(client, revs[-1])
            for rev in (replaced, revs[-1]):
                with self.subTest(rev=rev):
                    self.assert_run(client.update(rev=rev))
                    self.assert_tree(client, rev, repo, servers)
        finally:
            servers.stop()

    def test_mirror_behind_the_last_revision(self):
        """A mirror of the same repository that lacks the revision the tree
        is at: the server refuses the delta, and the full run brings the
        tree to the mirror's latest revision."""
        client = self.client("mirror")
        r2, r3 = self.revs[1], self.revs[2]
        self.settled(client, r3)
        mirror = h.Repository(self.ws, "mirror")
        dump = subprocess.run(["svnadmin", "dump", "-q", "-r", "0:%d" % r2, self.repo.path],
                              stdout=subprocess.PIPE, check=True).stdout
        subprocess.run(["svnadmin", "load", "-q", mirror.path], input=dump, check=True)
        h.make_readable(mirror.root)
        mirror.trees, mirror.head = {r: self.repo.tree(r) for r in range(r2 + 1)}, r2
        servers = h.Servers(self.ws, mirror, (self.protocol,))
        try:
            client.servers = servers
            result = client.update()
            self.assertEqual(result.status, 0, str(result))
            self.assertIn("Going on file by file.", result.stderr)
            self.assert_tree(client, r2, mirror, servers)
        finally:
            servers.stop()


class SvnState(StateScenarios, unittest.TestCase):
    protocol = "svn"


class HttpState(StateScenarios, unittest.TestCase):
    protocol = "http"


if __name__ == "__main__":
    unittest.main(verbosity=2)
