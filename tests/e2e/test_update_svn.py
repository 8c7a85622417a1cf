"""trelk against svnserve: the shared update scenarios over svn://."""

import os
import unittest

import harness as h
import scenarios


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


def tearDownModule():
    scenarios.close_world()


if __name__ == "__main__":
    unittest.main(verbosity=2)
