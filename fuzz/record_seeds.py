"""Records the seed corpora of the fuzz targets from real servers.

A small repository is served by svnserve and by Apache (the end-to-end
harness starts both); trelk updates a tree from each through a recording
relay, and the answers it received become the seeds: the get-dir answers
for the svn listing, every HTTP exchange for the reader, the answer bodies
for the XML extractor, and the known-files list of the run.  Usage:

    TRELK=build/trelk TRELK_CONF=/tmp/x.conf python3 fuzz/record_seeds.py fuzz/corpus

TRELK_CONF must be the configuration path that binary was built with, and
a scratch path: the recorder writes an empty configuration there.
"""

import hashlib
import os
import socket
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402
from harness import f, d, link  # noqa: E402


class Relay:
    """Forwards connections to 127.0.0.1:upstream and keeps, per connection,
    what the client sent and what the server answered, in order."""

    def __init__(self, upstream):
        self.upstream = upstream
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]
        self.connections = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            client, _ = self.listener.accept()
            server = socket.create_connection(("127.0.0.1", self.upstream))
            log = []
            self.connections.append(log)
            threading.Thread(target=self._pump, args=(client, server, "c", log), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client, "s", log), daemon=True).start()

    @staticmethod
    def _pump(src, dst, side, log):
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            if not data:
                try:
                    dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return
            log.append((side, data))
            dst.sendall(data)


def save(folder, data):
    os.makedirs(folder, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def svn_seeds(relay, out):
    """Server bytes from the first get-dir answer to the first get-file."""
    for log in relay.connections:
        answers, listing = b"", False
        for side, data in log:
            if side == "c":
                if b"( get-file " in data:
                    break
                listing = listing or b"( get-dir " in data
            elif listing:
                answers += data
        if answers:
            save(os.path.join(out, "svn_listing"), b"\0" + answers)


def svn_drive_seeds(relay, out, mode):
    """Server bytes after the first update report: the stream of a first
    fetch (mode 1, and 2 for the stream of chosen texts) or the delta from
    the recorded revision (mode 0)."""
    for log in relay.connections:
        answers, drive = b"", False
        for side, data in log:
            if side == "c":
                drive = drive or b"( update " in data
            elif drive:
                answers += data
        if answers:
            for selector in ((1, 2) if mode == 1 else (0,)):
                save(os.path.join(out, "svn_drive"), bytes([selector]) + answers)
            return


def http_seeds(relay, out):
    """Each exchange: first byte the request count less one, then the
    answers; and the bodies, with a selector byte, for the XML target."""
    for log in relay.connections:
        sent = b"".join(data for side, data in log if side == "c")
        got = b"".join(data for side, data in log if side == "s")
        requests = sent.count(b" HTTP/1.1\r\n")
        if not got or requests == 0:
            continue
        save(os.path.join(out, "http_reader"), bytes([min(requests, 3) - 1]) + got[:16384])
        if b"<S:add-file" in got or b"multistatus" in got:
            save(os.path.join(out, "xml_value"), b"\0" + got[:8192])
            save(os.path.join(out, "xml_value"), b"\1" + got[:8192])


def main():
    out = sys.argv[1]
    harness.write_configuration()
    ws = harness.Workspace("trelk-seeds-")
    try:
        repo = harness.Repository(ws)
        rev = repo.commit({
            "head/Makefile": f("all:\n\techo $FreeBSD$\n", keywords="FreeBSD=%H"),
            "head/bin/ls/ls.c": f("int main() { return 0; }\n"),
            "head/bin/sh/run.sh": f("#!/bin/sh\n", executable=True),
            "head/bin/cat": d(),
            "head/a name/with space%.txt": f("odd <name> & more\n"),
            "head/link": link("bin/ls/ls.c"),
            "head/big.bin": f(bytes(range(256)) * 40),
        })
        servers = harness.Servers(ws, repo, ("svn", "http"))
        try:
            clients = {}
            for protocol in ("svn", "http"):
                relay = Relay(servers.port(protocol))
                client = clients[protocol] = harness.Client(ws, servers, protocol, name=protocol)
                args = ["-p", protocol, "-h", "127.0.0.1", "-o", relay.port, "-b", harness.BRANCH,
                        "-l", client.target, "-k", client.work, "-v", 1, "-r", rev]
                result = harness.trelk(*args)
                if result.status != 0:
                    raise RuntimeError(str(result))
                (svn_seeds if protocol == "svn" else http_seeds)(relay, out)
                save(os.path.join(out, "known_files"), client.known_files())
                if protocol == "svn":
                    svn_drive_seeds(relay, out, 1)
            # An update from the state the first run recorded: the delta.
            tree = dict(repo.tree(rev))
            tree["head/Makefile"] = f("all:\n\techo $FreeBSD$ again\n", keywords="FreeBSD=%H")
            tree["head/bin/ls/ls.c"] = f("int main() { return 1; }\n", executable=True)
            tree["head/new.txt"] = f("new\n")
            del tree["head/big.bin"]
            second = repo.commit(tree)
            relay = Relay(servers.port("svn"))
            client = clients["svn"]
            args = ["-p", "svn", "-h", "127.0.0.1", "-o", relay.port, "-b", harness.BRANCH,
                    "-l", client.target, "-k", client.work, "-v", 1, "-r", second]
            result = harness.trelk(*args)
            if result.status != 0:
                raise RuntimeError(str(result))
            svn_drive_seeds(relay, out, 0)
        finally:
            servers.stop()
    finally:
        ws.cleanup()


if __name__ == "__main__":
    main()
