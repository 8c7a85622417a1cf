"""trelk over the IPv6 loopback address: -6 -h ::1 reaches svnserve and
Apache httpd, whose virtual hosts answer only a Host header that brackets
the address (and names the port when it is not the protocol's own)."""

import unittest

import harness as h

TREE = {"head/README": h.f("one\n"), "head/bin/ls/ls.c": h.f("int main;\n")}


@unittest.skipUnless(h.ipv6_loopback(), "this machine has no IPv6 loopback address")
class Ipv6(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = h.Workspace()
        cls.repo = h.Repository(cls.workspace)
        cls.rev = cls.repo.commit(TREE)
        cls.servers = h.Servers(cls.workspace, cls.repo, ("http", "https"))
        cls.servers.svn = h.Svnserve(cls.workspace, cls.repo.root, host="::1")
        h.write_configuration()

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.workspace.cleanup()

    def test_update_over_ipv6(self):
        expected = h.export(self.workspace, self.servers.url("http"), self.rev)
        for protocol in ("svn", "http", "https"):
            with self.subTest(protocol):
                client = h.Client(self.workspace, self.servers, protocol, "v6-" + protocol)
                result = client.update("-6", rev=self.rev, verbosity=3, host="::1")
                self.assertEqual(result.status, 0, str(result))
                if protocol == "svn":
                    self.assertIn(":svn://[::1]:%d/%s " % (self.servers.port("svn"), h.BRANCH), result.stdout)
                else:
                    self.assertIn("\r\nHost: [::1]:%d\r\n" % self.servers.port(protocol), result.stdout)
                self.assertEqual(h.tree_differences(expected, client.target), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
