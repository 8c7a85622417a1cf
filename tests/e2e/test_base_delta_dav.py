"""Updates over http from the recorded state whose changed texts come as
svndiffs against the local copies, through a proxy that records every GET
and the head of its answer: what was asked with a base, what came as a
delta, how many bytes, and the tree `svn export` gives at the end."""

import os
import time
import unittest

import faultserver
import harness as h

SVNDIFF = "application/vnd.svn-svndiff"


def long_text(tag):
    return "".join("line %d of %s\n" % (i, tag) for i in range(2000))


def trees():
    r1 = {
        "head/big.c": h.f(long_text("big")),
        "head/bin/ls.c": h.f("/* $FreeBSD$ */\n" + long_text("ls"), keywords="FreeBSD=%H"),
        "head/lib/libfoo.so": h.link("libfoo.so.1"),
        "head/lib/libfoo.so.1": h.f("one\n"),
        "head/drift.c": h.f(long_text("drift")),
        "head/race.c": h.f(long_text("race")),
    }
    r2 = dict(r1)
    r2["head/big.c"] = h.f(long_text("big").replace("line 1000 ", "line one thousand "))
    r2["head/bin/ls.c"] = h.f("/* $FreeBSD$ */\n" + long_text("ls").replace("line 7 ", "line seven "),
                              keywords="FreeBSD=%H")
    r2["head/lib/libfoo.so"] = h.link("libfoo.so.2")
    r2["head/lib/libfoo.so.2"] = h.f("two\n")
    r2["head/drift.c"] = h.f(long_text("drift").replace("line 5 ", "line five "))
    r2["head/race.c"] = h.f(long_text("race").replace("line 5 ", "line five "))
    return [r1, r2]


class RecordingProxy(faultserver.FaultServer):
    """Relays every request to the real server and keeps, for each GET by
    its path below the branch, its X-SVN-VR-Base and Accept-Encoding, and
    its answer's Content-Type, Content-Encoding and body length (None for
    a field that is not there).  before_report, when set, runs as the
    answer to the delta report passes: after the local check, before any
    GET is asked.  spoil, when set, gets the body of each GET answer by its
    path and returns the body to send."""

    def __init__(self, port):
        super().__init__("http", port)
        self.gets = {}
        self.reports = []
        self.before_report = None
        self.spoil = None

    def _send_answer(self, client, request, answer):
        if request.startswith(b"REPORT"):
            self.reports.append(request)
            if self.before_report:
                self.before_report()
        if request.startswith(b"GET "):
            head, _, _ = answer.partition(b"\r\n\r\n")
            end, body_start, chunked = faultserver.http_message_end(answer, True)
            body = faultserver.http_decode_body(answer[:end], body_start, chunked)
            path = request.split(b" ")[1].decode().split("/head", 1)[1]
            self.gets[path] = {"base": self._field(request, b"X-SVN-VR-Base"),
                               "accept": self._field(request, b"Accept-Encoding"),
                               "type": self._field(head, b"Content-Type"),
                               "coding": self._field(head, b"Content-Encoding"), "length": len(body)}
            if self.spoil:
                answer = faultserver.http_reframe(answer[:end], body_start, chunked, self.spoil(path, body)) + answer[end:]
        return super()._send_answer(client, request, answer)

    @staticmethod
    def _field(head, name):
        for line in head.split(b"\r\n")[1:]:
            key, _, value = line.partition(b":")
            if key.strip().lower() == name.lower():
                return value.strip().decode()
        return None


class BaseDeltas(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ws = h.Workspace()
        h.write_configuration()
        cls.repo = h.Repository(cls.ws, "deltas")
        cls.revs = [cls.repo.commit(t) for t in trees()]
        cls.servers = h.Servers(cls.ws, cls.repo, ("http",))

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.ws.cleanup()

    def assert_tree(self, client, rev):
        exported = h.export(self.ws, self.servers.url("http"), rev)
        self.assertEqual(h.tree_differences(exported, client.target), [], "tree at r%d" % rev)

    def test_changed_texts_come_as_deltas_unless_the_copy_lost_its_base(self):
        """Edited texts, a keyword-expanded one and a retargeted link come
        as svndiffs against the local copies.  A copy edited with its times
        put back is found drifted by the local check and asked for whole;
        one edited after the check, while the report is on its way, is no
        base any more and comes whole as well.  Both end as exported."""
        r1, r2 = self.revs
        client = h.Client(self.ws, self.servers, "http", "deltas")
        for _ in range(2):  # the second run trusts what the first wrote
            result = client.update(rev=r1)
            self.assertEqual(result.status, 0, str(result))
            time.sleep(1.2)
        drift = client.target + "/drift.c"
        times = os.stat(drift)
        with open(drift, "r+b") as fh:
            fh.write(b"X")
        os.utime(drift, ns=(times.st_atime_ns, times.st_mtime_ns))

        def edit_race():
            with open(client.target + "/race.c", "ab") as fh:
                fh.write(b"edited during the run\n")

        proxy = RecordingProxy(self.servers.port("http"))
        proxy.before_report = edit_race
        try:
            result = h.trelk("-p", "http", "-h", "127.0.0.1", "-o", proxy.port, "-b", h.BRANCH,
                             "-l", client.target, "-k", client.work, "-v", 1, "-r", r2)
        finally:
            proxy.stop()
        self.assertEqual(result.status, 0, str(result))
        self.assert_tree(client, r2)

        # The drifted copy was reported missing; the other was edited after.
        self.assertEqual(len(proxy.reports), 1)
        self.assertIn(b"<S:missing>drift.c</S:missing>", proxy.reports[0])
        self.assertNotIn(b"race.c", proxy.reports[0])
        base = "/base/!svn/rvr/%d/head" % r1
        for path in ("/big.c", "/bin/ls.c", "/lib/libfoo.so"):
            with self.subTest(path=path):
                get = proxy.gets[path]
                self.assertEqual((get["base"], get["type"]), (base + path, SVNDIFF))
                self.assertLess(get["length"], 200)
        for path in ("/drift.c", "/race.c", "/lib/libfoo.so.2"):
            with self.subTest(path=path):
                get = proxy.gets[path]
                self.assertEqual((get["base"], get["accept"]), (None, "gzip"))
                self.assertNotEqual(get["type"], SVNDIFF)
                self.assertEqual(get["length"], len(h.branch_files(self.repo.tree(r2))[path].data))
        self.assertEqual(set(proxy.gets), {"/big.c", "/bin/ls.c", "/lib/libfoo.so", "/drift.c", "/race.c",
                                           "/lib/libfoo.so.2"})

        # Back to the first revision: the bases are the copies this run wrote.
        result = client.update(rev=r1)
        self.assertEqual(result.status, 0, str(result))
        self.assert_tree(client, r1)


class CompressedTexts(unittest.TestCase):
    """Apache with mod_deflate: the texts asked for whole come gzipped."""

    @classmethod
    def setUpClass(cls):
        cls.ws = h.Workspace()
        h.write_configuration()
        cls.repo = h.Repository(cls.ws, "gzip")
        cls.revs = [cls.repo.commit(t) for t in trees()]
        cls.servers = h.Servers(cls.ws, cls.repo, ("http",), deflate=True)

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.ws.cleanup()

    def fetch(self, client, rev, spoil=None):
        proxy = RecordingProxy(self.servers.port("http"))
        proxy.spoil = spoil
        try:
            result = h.trelk("-p", "http", "-h", "127.0.0.1", "-o", proxy.port, "-b", h.BRANCH,
                             "-l", client.target, "-k", client.work, "-v", 1, "-r", rev)
        finally:
            proxy.stop()
        return result, proxy.gets

    def test_first_fetch_and_update_take_gzip_bodies(self):
        """A first fetch gets every text compressed; the update after gets
        the deltas as svndiffs, unmixed with gzip.  Both end as exported."""
        r1, r2 = self.revs
        client = h.Client(self.ws, self.servers, "http", "gzip")
        result, gets = self.fetch(client, r1)
        self.assertEqual(result.status, 0, str(result))
        exported = h.export(self.ws, self.servers.url("http"), r1)
        self.assertEqual(h.tree_differences(exported, client.target), [])
        files = h.branch_files(self.repo.tree(r1))
        self.assertEqual(set(gets), {p for p, n in files.items()})
        for path, get in gets.items():
            with self.subTest(path=path):
                self.assertEqual((get["accept"], get["coding"]), ("gzip", "gzip"))
        self.assertLess(gets["/big.c"]["length"], len(files["/big.c"].data) // 4)
        time.sleep(1.2)
        result, gets = self.fetch(client, r2)
        self.assertEqual(result.status, 0, str(result))
        exported = h.export(self.ws, self.servers.url("http"), r2)
        self.assertEqual(h.tree_differences(exported, client.target), [])
        self.assertEqual((gets["/big.c"]["type"], gets["/big.c"]["coding"]), (SVNDIFF, None))
        self.assertEqual(gets["/lib/libfoo.so.2"]["coding"], "gzip")

    def test_broken_gzip_body_ends_the_run_with_nothing_of_it_written(self):
        """A gzip body whose check value is wrong: the run ends naming the
        file, which is not written, and no known-files list is kept."""
        client = h.Client(self.ws, self.servers, "http", "spoiled")

        def spoil(path, body):
            return body[:-6] + bytes([body[-6] ^ 1]) + body[-5:] if path == "/big.c" else body

        result, gets = self.fetch(client, self.revs[0], spoil)
        self.assertEqual(gets["/big.c"]["coding"], "gzip")
        self.assertEqual(result.status, 1, str(result))
        self.assertEqual(result.stderr, "trelk: The server sent a broken text for %s/big.c "
                         "(gzip: incorrect data check).  Quitting.\n" % client.target)
        self.assertFalse(os.path.lexists(client.target + "/big.c"))
        self.assertFalse(os.path.exists(client.known_files_path))


if __name__ == "__main__":
    unittest.main(verbosity=2)
