"""One run of a section at a time.

While something holds the section's lock (here the test itself, with
flock, as a second trelk would), a run says so and exits 1 without touching
the target or the work directory; -n still shows the revision of a list
that is there.  Once the lock is released the same run updates the tree.
"""

import fcntl
import os
import shutil
import unittest

import harness as h


class SectionLock(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = h.Workspace("trelk-lock-")
        cls.repository = h.Repository(cls.workspace)
        cls.rev = cls.repository.commit({"head/a.txt": h.f(b"a\n"), "head/d/b.txt": h.f(b"b\n")})
        cls.servers = h.Servers(cls.workspace, cls.repository, ("svn",))
        h.write_configuration()

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.workspace.cleanup()

    def setUp(self):
        self.client = h.Client(self.workspace, self.servers, "svn")
        self.lock_path = self.client.known_files_path + ".lock"
        self.message = "trelk: Another run of section %s holds %s.  Quitting.\n" % (h.SECTION, self.lock_path)

    def hold_lock(self):
        """Takes the section's lock the way a running trelk holds it."""
        holder = open(self.lock_path, "a")
        self.addCleanup(holder.close)
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return holder

    def test_second_run_is_refused_and_touches_nothing(self):
        # A target that does not exist yet shows that it is not even made.
        os.rmdir(self.client.target)
        holder = self.hold_lock()
        for extra in ((), ("-t",), ("-n",)):
            result = self.client.update(*extra)
            self.assertEqual((result.status, result.stdout, result.stderr), (1, "", self.message), extra)
            self.assertFalse(os.path.lexists(self.client.target), extra)
            self.assertEqual(os.listdir(self.client.work), [h.SECTION + ".lock"], extra)

        holder.close()
        result = self.client.update()
        self.assertEqual(result.status, 0, result)
        exported = h.export(self.workspace, self.servers.url("svn"), self.rev)
        self.assertEqual(h.tree_differences(exported, self.client.target), [])
        self.assertTrue(self.client.known_files().startswith(b"%d\r\n" % self.rev))

    def test_show_revision_reads_a_list_while_another_run_holds_the_section(self):
        self.assertEqual(self.client.update().status, 0)
        before = h.snapshot(self.client.target, ignore=())
        list_before = self.client.known_files()
        self.hold_lock()
        result = self.client.update("-n")
        self.assertEqual((result.status, result.stdout, result.stderr), (0, "%d\n" % self.rev, ""))
        result = self.client.update()
        self.assertEqual((result.status, result.stdout, result.stderr), (1, "", self.message))
        self.assertEqual(h.snapshot(self.client.target, ignore=()), before)
        self.assertEqual(self.client.known_files(), list_before)


if __name__ == "__main__":
    unittest.main(verbosity=2)
