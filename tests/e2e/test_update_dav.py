"""trelk against Apache httpd with mod_dav_svn: the shared update scenarios
over http:// and https://, plus what only WebDAV has."""

import math
import os
import unittest

import faultserver
import harness as h
import scenarios

# Apache's own limit of requests on one connection (MaxKeepAliveRequests).
APACHE_KEEPALIVE_REQUESTS = 100

PROTOCOLS = ("svn", "http", "https")


class DavScenarios(scenarios.UpdateScenarios):
    protocols = PROTOCOLS

    def test_current_tree_sends_no_propfind(self):
        """With every local file current nothing is asked for file by file."""
        rev = self.world.history_revs[-1]
        client = self.client(self.world.history_servers, "current")
        self.assert_clean_output(client.update(rev=rev))
        traced = client.update(rev=rev, verbosity=3)
        self.assertEqual(traced.status, 0, str(traced))
        self.assertIn("REPORT ", traced.stdout, "no command echo at verbosity 3")
        self.assertNotIn("PROPFIND", traced.stdout)
        self.assertNotIn("GET ", traced.stdout)
        self.assertEqual(traced.written, set())
        self.assert_tree(client, self.world.history, rev)


class HttpUpdate(DavScenarios, unittest.TestCase):
    protocol = "http"

    def test_first_fetch_keeps_its_connections(self):
        """A first fetch of thousands of files, through a proxy that counts
        connections: each connection carries as many requests as Apache
        allows on one, and no file is asked for with PROPFIND."""
        repo = self.world.wide
        rev = self.world.wide_revs[0]
        client = self.client(self.world.wide_servers, "counted")
        proxy = faultserver.FaultServer("http", self.world.wide_servers.port("http"))
        try:
            result = h.trelk("-p", "http", "-h", "127.0.0.1", "-o", proxy.port, "-b", h.BRANCH,
                             "-l", client.target, "-k", client.work, "-v", 1, "-r", rev)
        finally:
            proxy.stop()
        self.assert_clean_output(result)
        self.assert_tree(client, repo, rev)
        requests = [request for request, _ in proxy.log]
        self.assertGreater(len(requests), 2 * 96, "the fetch needs several batches")
        self.assertEqual([r for r in requests if r.startswith(b"PROPFIND")], [])
        allowed = math.ceil(len(requests) / APACHE_KEEPALIVE_REQUESTS) + 1
        self.assertLessEqual(proxy.connections, allowed,
                             "%d connections for %d requests" % (proxy.connections, len(requests)))


class HttpsUpdate(DavScenarios, unittest.TestCase):
    protocol = "https"


class SameTreeOverEveryProtocol(unittest.TestCase):
    """svn, http and https fetch the same tree and the same known-files list."""

    def test_same_tree_and_list(self):
        w = scenarios.world(PROTOCOLS)
        for repo, servers, rev in ((w.history, w.history_servers, w.history_revs[-1]),
                                   (w.wide, w.wide_servers, w.wide_revs[0])):
            clients = {}
            for protocol in PROTOCOLS:
                client = h.Client(w.workspace, servers, protocol, "same-" + protocol)
                result = client.update(rev=rev)
                self.assertEqual(result.status, 0, "%s: %s" % (protocol, result))
                clients[protocol] = client
            svn = clients["svn"]
            for protocol in ("http", "https"):
                with self.subTest(repository=os.path.basename(repo.root), protocol=protocol):
                    other = clients[protocol]
                    self.assertEqual(h.tree_differences(svn.target, other.target), [])
                    mine = svn.known_files().split(b"\n")
                    theirs = other.known_files().split(b"\n")
                    self.assertEqual(mine[0], theirs[0])
                    self.assertEqual(sorted(mine), sorted(theirs))


def tearDownModule():
    scenarios.close_world()


if __name__ == "__main__":
    unittest.main(verbosity=2)
