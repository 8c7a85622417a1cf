"""trelk against svnserve: the shared update scenarios over svn://."""

import os
import re
import types
import unittest

import faultserver
import harness as h
import scenarios

# What the status listing's failure takes: the fault server ends the
# connection at the first byte of its answer.
STATUS_FAILS = {"faults": [{"match": "status \\(", "drop_at": 0, "occurrence": "always"}]}
PROPERTY_REQUEST = re.compile(rb"\( get-file \( \d+:.*? \( \d+ \) true false ", re.S)


def command_names(requests):
    """The command word of each svn request the fault server answered."""
    return [m.group(1) for m in (re.match(rb"\s*\( ([a-z-]+) ", r) for r in requests) if m]


class SvnUpdate(scenarios.UpdateScenarios, unittest.TestCase):
    protocol = "svn"
    protocols = ("svn",)

    def test_keywords_other_than_freebsd_alone_are_not_expanded(self):
        """Only svn:keywords exactly "FreeBSD=%H" expands "$FreeBSD$"; a file
        whose value also names Id arrives as the repository holds it (the
        reference export would expand it, so compare with the raw content)."""
        ws = self.world.workspace
        repo = h.Repository(ws, "keywords")
        data = b"/* $FreeBSD$ */\n"
        rev = repo.commit({"head/both.c": h.f(data, keywords="FreeBSD=%H Id"),
                           "head/only.c": h.f(data, keywords="FreeBSD=%H")})
        servers = h.Servers(ws, repo, ("svn",))
        try:
            client = self.client(servers, "keywords")
            self.assert_clean_output(client.update())
            exported = h.export(ws, servers.url("svn"), rev)
        finally:
            servers.stop()
        self.assertEqual(h.read_bytes(client.target + "/both.c"), data)
        self.assertEqual(h.read_bytes(client.target + "/only.c"),
                         h.read_bytes(exported + "/only.c"))
        self.assertIn(b"$FreeBSD: head/only.c %d " % rev, h.read_bytes(client.target + "/only.c"))
        self.assert_known_files(client, repo, rev)

    def populated_client(self, name, rev):
        """A target that `svn export` filled and that drifted since, with no
        known-files list: edited files (one expands "$FreeBSD$"), a removed
        file and link, a wrong mode, a removed directory and an extra file."""
        ws, servers = self.world.workspace, self.world.history_servers
        client = self.client(servers, name)
        h.svn_client(ws, "export", "-q", "--force", "-r", str(rev), servers.url("svn"), client.target)
        t = client.target
        with open(t + "/README", "w") as out:
            out.write("edited here\n")
        with open(t + "/bin/ls/ls.c", "a") as out:
            out.write("/* edited */\n")
        os.unlink(t + "/sizes/f4096")
        os.unlink(t + "/lib/libfoo.so")
        os.chmod(t + "/tools/run.sh", 0o644)
        os.unlink(t + "/newdir/sub/file")
        os.rmdir(t + "/newdir/sub")
        with open(t + "/extra.txt", "w") as out:
            out.write("not the repository's\n")
        return client

    def full_run_through(self, client, rev, case):
        """The run through the fault server with the case's faults; returns
        the result and the requests the server answered."""
        proxy = faultserver.FaultServer("svn", self.world.history_servers.port("svn"), case)
        servers, client.servers = client.servers, types.SimpleNamespace(port=lambda protocol: proxy.port)
        try:
            result = client.update(rev=rev)
        finally:
            client.servers = servers
            proxy.stop()
        return result, [request for request, _ in proxy.log]

    def test_full_run_without_state_lists_in_one_status_drive(self):
        """A full run over a populated target without state lists the branch
        in one status drive and asks no file's properties: it writes just
        what differs, and ends as `svn export`, with the lines and the list
        that the get-dir listing gives, when the status listing fails and
        with stream_listing=0."""
        repo, rev = self.world.history, self.world.history_revs[2]
        runs = {}
        for name, case, setting in (("drive", {}, ""), ("get-dir", STATUS_FAILS, ""),
                                    ("setting", {}, "stream_listing=0\n")):
            client = self.populated_client("populated-" + name, rev)
            h.write_configuration("[defaults]\n%s\n[%s]\n" % (setting, h.SECTION))
            try:
                result, requests = self.full_run_through(client, rev, case)
            finally:
                h.write_configuration()
            self.assertEqual(result.status, 0, str(result))
            self.assertEqual(h.read_bytes(client.target + "/extra.txt"), b"not the repository's\n")
            os.unlink(client.target + "/extra.txt")
            self.assert_tree(client, repo, rev)
            lines = sorted(result.stdout.replace(client.target, "T").split("\n"))
            runs[name] = (lines, sorted(client.known_files().split(b"\n")), requests, result)
        lines, known, requests, result = runs["drive"]
        self.assert_clean_output(result)
        self.assertEqual(runs["get-dir"][3].stderr.split("\n")[:2],
                         ["Error in svn stream: the connection ended inside the stream", "Going on file by file."])
        self.assertEqual((lines, known), runs["get-dir"][:2])
        self.assertEqual((lines, known), runs["setting"][:2])
        self.assert_clean_output(runs["setting"][3])
        self.assertEqual({l for l in lines if l.startswith(" + ")},
                         {" + T" + p for p in ("/README", "/bin/ls/ls.c", "/sizes/f4096", "/tools/run.sh", "/newdir/sub",
                                               "/newdir/sub/file")})
        commands = command_names(requests)
        self.assertEqual((commands.count(b"status"), commands.count(b"get-dir"), commands.count(b"stat")), (1, 0, 0))
        self.assertEqual([r for r in requests if PROPERTY_REQUEST.search(r)], [])
        files = len(h.branch_files(repo.tree(rev)))
        for name in ("get-dir", "setting"):
            self.assertGreaterEqual(len([r for r in runs[name][2] if PROPERTY_REQUEST.search(r)]), files, name)
        self.assertNotIn(b"status", command_names(runs["setting"][2]))


def tearDownModule():
    scenarios.close_world()


if __name__ == "__main__":
    unittest.main(verbosity=2)
