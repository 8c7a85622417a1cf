"""trelk over https against Apache httpd: the server's certificate is
verified by default, and the three ways to reach a server whose authority
is not trusted (naming the authority, pinning the certificate's
fingerprint, turning verification off) each work; every refusal leaves the
target and the known-files list as they were and sends no request."""

import os
import socket
import struct
import threading
import unittest

import harness as h

TREE_1 = {"head/README": h.f("one\n"), "head/bin/ls/ls.c": h.f("int main;\n")}
TREE_2 = {"head/README": h.f("two\n"), "head/bin/ls/ls.c": h.f("int main;\n"),
          "head/bin/cp/cp.c": h.f("copy\n")}

WAYS_OUT = ("Name its authority with SSL_CA_CERT_FILE or SSL_CA_CERT_PATH, pin its "
            "certificate with tls_fingerprint=, or turn verification off with "
            "SSL_NO_VERIFY_PEER.  Quitting.")


class Verification(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = h.Workspace()
        cls.repo = h.Repository(cls.workspace)
        cls.revs = [cls.repo.commit(TREE_1), cls.repo.commit(TREE_2)]
        cls.servers = h.Servers(cls.workspace, cls.repo, ("https",))
        cls.apache = cls.servers.apache
        # A system without trusted authorities: OpenSSL's default locations
        # point at an empty file and an empty folder of the workspace.
        empty_file = os.path.join(cls.workspace.path, "no-authorities.pem")
        open(empty_file, "w").close()
        cls.no_system = {"SSL_CERT_FILE": empty_file,
                         "SSL_CERT_DIR": cls.workspace.mkdir("no-authorities")}

    @classmethod
    def tearDownClass(cls):
        cls.servers.stop()
        cls.workspace.cleanup()

    def setUp(self):
        h.write_configuration()

    def client_at_first_revision(self, name):
        client = h.Client(self.workspace, self.servers, "https", name)
        result = client.update(rev=self.revs[0])
        self.assertEqual(result.status, 0, str(result))
        return client

    def assert_tree(self, client, rev):
        expected = h.export(self.workspace, self.apache.url("http"), rev)
        self.assertEqual(h.tree_differences(expected, client.target), [])

    def assert_refused(self, client, result, message):
        """Status 1 with message, no request sent, nothing changed."""
        self.assertEqual(result.status, 1, str(result))
        self.assertIn(message, result.stderr)
        self.assertNotIn("<< ", result.stdout, "a request was sent")
        self.assertEqual(result.written, set())
        self.assert_tree(client, self.revs[0])
        first, lines = self.repo.known_files(self.revs[0])
        text = client.known_files().decode()
        self.assertTrue(text.startswith(first), text)

    def test_the_harness_authority_is_trusted(self):
        """By name and by address, against the authority SSL_CA_CERT_FILE
        names and against OpenSSL's default locations."""
        rows = [("address, SSL_CA_CERT_FILE", "127.0.0.1", None),
                ("name, SSL_CA_CERT_FILE", "localhost", None),
                ("default locations", "127.0.0.1", {"SSL_CERT_FILE": self.apache.ca_file,
                                                    "SSL_CERT_DIR": self.no_system["SSL_CERT_DIR"]})]
        for name, host, tls in rows:
            with self.subTest(name):
                client = h.Client(self.workspace, self.servers, "https", "trusted")
                result = client.update(rev=self.revs[1], host=host, tls=tls)
                self.assertEqual(result.status, 0, str(result))
                self.assert_tree(client, self.revs[1])

    def test_no_authority_is_refused(self):
        client = self.client_at_first_revision("refused")
        result = client.update(rev=self.revs[1], verbosity=3, tls=self.no_system)
        self.assert_refused(client, result, "trelk: Certificate verification of 127.0.0.1 failed: "
                            "unable to get local issuer certificate.  " + WAYS_OUT)

    def test_no_verify_peer(self):
        client = self.client_at_first_revision("unverified")
        tls = dict(self.no_system, SSL_NO_VERIFY_PEER="")
        result = client.update(rev=self.revs[1], verbosity=2, tls=tls)
        self.assertEqual(result.status, 0, str(result))
        self.assertIn("# Certificate: not verified (SSL_NO_VERIFY_PEER is set)\n", result.stderr)
        self.assert_tree(client, self.revs[1])

    def test_pinned_fingerprint(self):
        """The right fingerprint replaces the chain; a wrong one ends the
        run before any request, even with SSL_NO_VERIFY_PEER."""
        right = h.fingerprint(self.apache.certificate)
        wrong = h.fingerprint(self.apache.ca_file)
        client = self.client_at_first_revision("pinned")
        h.write_configuration("[defaults]\n\n[%s]\ntls_fingerprint=%s\n" % (h.SECTION, wrong))
        for tls in (self.no_system, dict(self.no_system, SSL_NO_VERIFY_PEER="yes")):
            result = client.update(rev=self.revs[1], verbosity=3, tls=tls)
            self.assert_refused(client, result, "trelk: The certificate of 127.0.0.1 has the SHA-256 "
                                "fingerprint %s, not %s as tls_fingerprint= says.  Quitting."
                                % (right, wrong))
        h.write_configuration("[defaults]\n\n[%s]\ntls_fingerprint=%s\n" % (h.SECTION, right.lower()))
        result = client.update(rev=self.revs[1], tls=self.no_system)
        self.assertEqual(result.status, 0, str(result))
        self.assert_tree(client, self.revs[1])

    def test_malformed_fingerprint_is_refused_at_start(self):
        client = self.client_at_first_revision("malformed")
        h.write_configuration("[defaults]\n\n[%s]\ntls_fingerprint=12:34\n" % h.SECTION)
        result = client.update(rev=self.revs[1], verbosity=3)
        self.assert_refused(client, result, "trelk: tls_fingerprint=12:34 is not a SHA-256 "
                            "fingerprint: 64 hexadecimal digits, colons allowed.")

    def test_peer_that_closes_during_the_handshake(self):
        """A peer that closes or resets every connection as the handshake
        starts ends the run with a message, never by a signal."""
        for linger in (False, True):
            with self.subTest(reset=linger):
                listener = socket.socket()
                listener.bind(("127.0.0.1", 0))
                listener.listen(16)
                listener.settimeout(0.2)
                stop = threading.Event()

                def refuse():
                    while not stop.is_set():
                        try:
                            peer, _ = listener.accept()
                        except socket.timeout:
                            continue
                        except OSError:
                            return
                        if linger:
                            peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                        peer.close()

                worker = threading.Thread(target=refuse, daemon=True)
                worker.start()
                client = h.Client(self.workspace, self.servers, "https", "closing-%d" % linger)
                try:
                    result = h.trelk("-p", "https", "-h", "127.0.0.1", "-o", listener.getsockname()[1],
                                     "-b", h.BRANCH, "-l", client.target, "-k", client.work,
                                     tls={"SSL_CA_CERT_FILE": self.apache.ca_file})
                finally:
                    stop.set()
                    worker.join()
                    listener.close()
                self.assertEqual(result.status, 1, str(result))
                self.assertTrue(result.stderr.strip(), str(result))


if __name__ == "__main__":
    unittest.main(verbosity=2)
