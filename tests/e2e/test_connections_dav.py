"""Content batches over several connections (http_connections=3): a first
fetch over http and https gives the tree of `svn export` and the lines of a
fetch over one connection, on three connections that Apache's access log
tells apart; a server that closes its connections within and between
batches, an answer cut or failed on one connection, and a GET answered 404
behave as on one connection."""

import os
import time
import unittest

import faultserver
import harness as h
import scenarios

CONNECTIONS = 3
MANY = 400  # small files beside the history tree: five batches of 96

# Apache logs each request with the client's port, which names its
# connection; "budget" closes every connection after that many requests.
ACCESS_LOG = ('LogFormat "%{remote}p %>s \\"%r\\"" connections\n'
              'CustomLog {dir}/access.log connections\n'
              'KeepAliveTimeout 60\n')


def apache_conf(budget):
    return ACCESS_LOG + "MaxKeepAliveRequests %d\n" % budget


def tree():
    """Keywords, links, executables, empty files and a 5 MiB file (larger
    than a new connection's response buffer), with enough files beside
    them for every connection to carry batches."""
    files = dict(scenarios.history_trees()[0])
    for i in range(MANY):
        files["head/many/file-%03d" % i] = h.f("many %d\n" % i * (i % 7 + 1))
    return files


def quiet_size(log):
    """The size of the access log once Apache has stopped writing to it:
    a run that ended early (a 404) leaves requests of other connections
    that Apache still serves and logs after the client has gone, and their
    lines must not count for the next fetch.  A guard, not a measure."""
    size = os.path.getsize(log) if os.path.exists(log) else 0
    for _ in range(40):
        time.sleep(0.25)
        now = os.path.getsize(log) if os.path.exists(log) else 0
        if now == size:
            return size
        size = now
    return size


def configuration(connections):
    return "[defaults]\n\n[%s]\nhttp_connections=%d\n" % (h.SECTION, connections)


class Connections(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workspace = h.Workspace()
        cls.servers = {}
        try:
            cls.repo = h.Repository(cls.workspace)
            cls.rev = cls.repo.commit(tree())
            for name, budget in (("kept", 0), ("96", 96), ("25", 25)):
                cls.servers[name] = h.Servers(cls.workspace, cls.repo, ("http", "https"),
                                              more=apache_conf(budget))
            cls.expected = h.export(cls.workspace, cls.servers["kept"].url("http"), cls.rev)
        except Exception:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        for servers in cls.servers.values():
            servers.stop()
        cls.workspace.cleanup()
        h.write_configuration()

    def first_fetch(self, servers, protocol, connections, port=None):
        """A first fetch into a fresh target; returns the client and the
        result, and the ports of the connections Apache saw meanwhile."""
        h.write_configuration(configuration(connections))
        log = os.path.join(servers.apache.dir, "access.log")
        start = quiet_size(log)
        client = h.Client(self.workspace, servers, protocol, "fetch")
        if port is not None:
            client.servers = FixedPort(port)
        result = client.update()
        with open(log, "rb") as f:
            f.seek(start)
            ports = {line.split()[0] for line in f.read().splitlines() if line}
        return client, result, ports

    def assert_fetched(self, client, result):
        self.assertEqual(result.status, 0, str(result))
        self.assertNotIn("Quitting", result.stderr)
        self.assertEqual(h.tree_differences(self.expected, client.target), [])

    def test_first_fetch_on_three_connections(self):
        """Every connection stays open: exactly three, and the files are
        written and shown in the order one connection gives."""
        one, alone, ports = self.first_fetch(self.servers["kept"], "http", 1)
        self.assertEqual(alone.status, 0, str(alone))
        self.assertEqual(len(ports), 1, ports)
        for protocol in ("http", "https"):
            with self.subTest(protocol):
                client, result, ports = self.first_fetch(self.servers["kept"], protocol, CONNECTIONS)
                self.assert_fetched(client, result)
                self.assertEqual(len(ports), CONNECTIONS, ports)
                self.assertEqual(written_lines(result, client), written_lines(alone, one))

    def test_server_closes_connections(self):
        """A keep-alive budget of 96 requests closes each connection after
        a batch, with the next one written behind it; one of 25 closes
        them within batches.  The unanswered requests go again on new
        connections."""
        for budget in ("96", "25"):
            with self.subTest(budget=budget):
                client, result, ports = self.first_fetch(self.servers[budget], "http", CONNECTIONS)
                self.assert_fetched(client, result)
                self.assertGreater(len(ports), CONNECTIONS, ports)

    def test_faults_on_one_connection(self):
        """A fault in the answer to a file of a later batch, through the
        fault server: a cut or a failure asked again, a 404 that ends the
        run naming the file and the status."""
        later = "^GET [^ ]*/many/file-250 "
        cases = [
            ("closed part way", {"match": later, "drop_at": 100}, 0, []),
            ("reset part way", {"match": later, "drop_at": 100, "reset": True}, 0, []),
            ("503 once", {"match": later, "replace": [["HTTP/1.1 200 OK", "HTTP/1.1 503 Service Unavailable"]]},
             0, []),
            ("404", {"match": later, "occurrence": "always",
                     "replace": [["HTTP/1.1 200 OK", "HTTP/1.1 404 Not Found"]]},
             1, ["trelk: GET /", "/many/file-250 answered 404 Not Found.  Quitting.\n"]),
        ]
        for name, fault, status, stderr in cases:
            with self.subTest(name):
                relay = faultserver.FaultServer("http", self.servers["kept"].port("http"), {"faults": [fault]})
                try:
                    client, result, _ = self.first_fetch(self.servers["kept"], "http", CONNECTIONS, relay.port)
                finally:
                    relay.stop()
                self.assertEqual(relay.fired(), [1], str(result))
                self.assertGreaterEqual(relay.connections, CONNECTIONS, str(result))
                if status == 0:
                    self.assert_fetched(client, result)
                else:
                    self.assertEqual(result.status, status, str(result))
                    self.assertIsNone(faultserver.in_order(result.stderr, stderr), str(result))


def written_lines(result, client):
    """The lines naming the files written, in order, the target left out."""
    return [line.replace(client.target, "") for line in result.stdout.split("\n") if line.startswith(" + ")]


class FixedPort:
    """Servers as a Client sees them, all behind one port."""

    def __init__(self, port):
        self.number = port

    def port(self, protocol):
        return self.number


if __name__ == "__main__":
    unittest.main()
