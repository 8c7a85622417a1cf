"""End-to-end harness: real Subversion servers on loopback, trelk runs, and
the Subversion client's `svn export` as the reference tree.

Everything lives in one temporary folder per fixture.  Repositories are
built from plain Python tree descriptions (path -> Node) through a dump file
that `svnadmin load` reads, so a tree of thousands of files costs one load,
and the description doubles as the model the known-files list is checked
against.  Servers are children of the test and are stopped when it ends.
"""

import hashlib
import os
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import uuid

TRELK = os.environ.get("TRELK", "")
TRELK_CONF = os.environ.get("TRELK_CONF", "")
SECTION = "e2e"
BRANCH = "base/head"
HEAD = "head"  # the branch below the repository root
APACHE_MODULES = "/usr/lib/apache2/modules"

# Exports and trelk must agree on modes 0644/0755; fix the mask export uses.
os.umask(0o022)


# ---------------------------------------------------------------- tree model

class Node:
    """One repository node: a directory, a file or a symbolic link."""

    def __init__(self, kind, data=b"", props=None):
        self.kind = kind  # "dir" or "file"; links are files with svn:special
        self.data = data
        self.props = dict(props or {})

    def __eq__(self, other):
        return (self.kind, self.data, self.props) == (other.kind, other.data, other.props)

    @property
    def special(self):
        return "svn:special" in self.props

    @property
    def executable(self):
        return "svn:executable" in self.props

    def md5(self):
        return hashlib.md5(self.data).hexdigest()


def d():
    return Node("dir")


def f(data, executable=False, keywords=None):
    if isinstance(data, str):
        data = data.encode()
    props = {}
    if executable:
        props["svn:executable"] = "*"
    if keywords is not None:
        props["svn:keywords"] = keywords
    return Node("file", data, props)


def link(target):
    return Node("file", b"link " + target.encode(), {"svn:special": "*"})


def complete(tree):
    """Return a copy of `tree` with every parent directory present."""
    out = dict(tree)
    for path in tree:
        parts = path.split("/")
        for i in range(1, len(parts)):
            out.setdefault("/".join(parts[:i]), d())
    return out


def branch_files(tree, branch=HEAD):
    """{"/rel/path": Node} of the files below `branch` in a repository tree."""
    prefix = branch + "/"
    return {p[len(branch):]: n for p, n in tree.items()
            if p.startswith(prefix) and n.kind == "file"}


def branch_dirs(tree, branch=HEAD):
    prefix = branch + "/"
    return {p[len(branch):] for p, n in tree.items()
            if p.startswith(prefix) and n.kind == "dir"}


# ------------------------------------------------------------ dump and load

def _props_block(props):
    out = b""
    for key in sorted(props):
        k = key.encode()
        v = props[key].encode()
        out += b"K %d\n%s\nV %d\n%s\n" % (len(k), k, len(v), v)
    return out + b"PROPS-END\n"


def _node_record(path, node, action):
    head = b"Node-path: %s\n" % path.encode()
    head += b"Node-kind: %s\n" % node.kind.encode()
    head += b"Node-action: %s\n" % action.encode()
    props = _props_block(node.props)
    head += b"Prop-content-length: %d\n" % len(props)
    body = props
    if node.kind == "file":
        head += b"Text-content-length: %d\n" % len(node.data)
        head += b"Text-content-md5: %s\n" % node.md5().encode()
        body += node.data
    head += b"Content-length: %d\n\n" % len(body)
    return head + body + b"\n\n"


def _delete_record(path):
    return b"Node-path: %s\nNode-action: delete\n\n\n" % path.encode()


def dump_revision(number, old, new, author="dev", log="e2e"):
    """Dump-file text of one revision turning tree `old` into tree `new`."""
    date = "2021-01-%02dT%02d:07:30.123456Z" % (1 + number // 24 % 28, number % 24)
    rprops = _props_block({"svn:author": author, "svn:log": log, "svn:date": date})
    out = [b"Revision-number: %d\nProp-content-length: %d\nContent-length: %d\n\n%s\n" % (
        number, len(rprops), len(rprops), rprops)]
    deleted = set()

    def gone(path):
        parts = path.split("/")
        return any("/".join(parts[:i]) in deleted for i in range(1, len(parts) + 1))

    for path in sorted(old):
        if gone(path):
            continue
        if path not in new or new[path].kind != old[path].kind:
            deleted.add(path)
            out.append(_delete_record(path))
    for path in sorted(new):
        node = new[path]
        if path not in old or gone(path):
            out.append(_node_record(path, node, "add"))
        elif node != old[path] and node.kind == "file":
            out.append(_node_record(path, node, "change"))
        elif node.props != old[path].props:
            out.append(_node_record(path, node, "change"))
    return b"".join(out)


# ------------------------------------------------------------------ helpers

def run(cmd, **kw):
    """Run a helper command; fail loudly with its output when it fails."""
    res = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)
    if res.returncode != 0:
        raise RuntimeError("%s failed (%d):\n%s%s" % (
            " ".join(map(str, cmd)), res.returncode,
            res.stdout.decode(errors="replace"), res.stderr.decode(errors="replace")))
    return res


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def ipv6_loopback():
    """True when this machine can listen on the IPv6 loopback address."""
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def wait_for_port(port, proc, what, log=None, host="127.0.0.1"):
    for _ in range(400):
        if proc.poll() is not None:
            text = open(log).read() if log and os.path.exists(log) else ""
            raise RuntimeError("%s exited with %d before accepting\n%s" % (what, proc.returncode, text))
        try:
            with socket.create_connection((host, port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("%s never accepted on port %d" % (what, port))


def make_readable(path):
    """Apache drops to www-data when started as root: open the folders to it."""
    for dirpath, dirnames, filenames in os.walk(path):
        os.chmod(dirpath, 0o755)
        for name in filenames:
            p = os.path.join(dirpath, name)
            if not os.path.islink(p):
                os.chmod(p, os.stat(p).st_mode | 0o444)


class Workspace:
    """A fresh temporary folder; removed by cleanup()."""

    def __init__(self, name="trelk-e2e-"):
        self.path = tempfile.mkdtemp(prefix=name)
        os.chmod(self.path, 0o755)
        self.svn_config = self.mkdir("svn-config")
        self._count = 0

    def mkdir(self, name):
        p = os.path.join(self.path, name)
        os.makedirs(p, exist_ok=True)
        return p

    def fresh(self, name):
        """A new, not yet existing path inside the workspace."""
        self._count += 1
        return os.path.join(self.path, "%s-%d" % (name, self._count))

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


# --------------------------------------------------------------- repository

class Repository:
    """A repository named "base" under ROOT, built revision by revision."""

    def __init__(self, workspace, name="root"):
        self.workspace = workspace
        self.root = workspace.mkdir(name)
        self.path = os.path.join(self.root, "base")
        run(["svnadmin", "create", "--fs-type", "fsfs", self.path])
        self.trees = {0: {}}
        self.head = 0

    def commit(self, tree, author="dev"):
        """Load one revision whose full content is `tree`; return its number."""
        tree = complete(tree)
        number = self.head + 1
        text = b"SVN-fs-dump-format-version: 2\n\nUUID: %s\n\n" % str(uuid.uuid4()).encode()
        text += dump_revision(number, self.trees[self.head], tree, author)
        run(["svnadmin", "load", "-q", "--ignore-uuid", self.path], input=text)
        self.trees[number] = tree
        self.head = number
        make_readable(self.root)
        return number

    def tree(self, rev):
        return self.trees[rev]

    def known_files(self, rev, branch=HEAD):
        """The expected known-files list of `rev` as (first line, set of lines)."""
        files = branch_files(self.trees[rev], branch)
        return ("%d\r\n" % rev, {"%s\t%s\n" % (n.md5(), p) for p, n in files.items()})


# ------------------------------------------------------------------ servers

class Svnserve:
    def __init__(self, workspace, root, port=None, host="127.0.0.1"):
        self.port = port or free_port()
        self.host = host
        self.log = os.path.join(workspace.path, "svnserve-%d.log" % self.port)
        self.proc = subprocess.Popen(
            ["svnserve", "-d", "--foreground", "--listen-host", host,
             "--listen-port", str(self.port), "-r", root, "--log-file", self.log],
            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, start_new_session=True)
        wait_for_port(self.port, self.proc, "svnserve", self.log, host)

    def url(self):
        host = "[%s]" % self.host if ":" in self.host else self.host
        return "svn://%s:%d/%s" % (host, self.port, BRANCH)

    def stop(self):
        _stop(self.proc)


CERTIFICATE_CONF = """\
[req]
distinguished_name = dn
prompt = no
[dn]
CN = trelk e2e
[authority]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[server]
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:::1
"""


def make_certificates(folder):
    """An authority (ca.pem) and a server certificate (cert.pem, key.pem)
    it signed for localhost, 127.0.0.1 and ::1, all in folder."""
    conf = os.path.join(folder, "openssl.cnf")
    with open(conf, "w") as out:
        out.write(CERTIFICATE_CONF)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run(["openssl", "req", "-x509", "-new", "-config", conf, "-extensions", "authority"] + ec +
        ["-days", "2", "-subj", "/CN=trelk e2e authority", "-keyout", "ca.key", "-out", "ca.pem"],
        cwd=folder)
    run(["openssl", "req", "-new", "-config", conf] + ec +
        ["-subj", "/CN=127.0.0.1", "-keyout", "key.pem", "-out", "cert.csr"], cwd=folder)
    run(["openssl", "x509", "-req", "-in", "cert.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
         "-set_serial", "2", "-days", "2", "-extfile", conf, "-extensions", "server",
         "-out", "cert.pem"], cwd=folder)


def fingerprint(certificate):
    """The SHA-256 fingerprint of a certificate as openssl(1) shows it."""
    res = run(["openssl", "x509", "-in", certificate, "-noout", "-fingerprint", "-sha256"])
    return res.stdout.decode().strip().split("=", 1)[1]


APACHE_CONF = """\
ServerName 127.0.0.1
ServerRoot {dir}
Listen 127.0.0.1:{http}
Listen 127.0.0.1:{https}
{listen6}PidFile {dir}/httpd.pid
ErrorLog {dir}/error.log
LogLevel warn
DefaultRuntimeDir {dir}/run
Mutex file:{dir}/run default
LoadModule mpm_event_module {mods}/mod_mpm_event.so
LoadModule authz_core_module {mods}/mod_authz_core.so
LoadModule dav_module {mods}/mod_dav.so
LoadModule dav_svn_module {mods}/mod_dav_svn.so
LoadModule socache_shmcb_module {mods}/mod_socache_shmcb.so
LoadModule ssl_module {mods}/mod_ssl.so
{deflate_module}{user}
StartServers 1
ServerLimit 1
ThreadsPerChild 25
MaxRequestWorkers 25
SSLSessionCache none
<VirtualHost 127.0.0.1:{https}{vhost6}>
  SSLEngine on
  SSLCertificateFile {dir}/cert.pem
  SSLCertificateKeyFile {dir}/key.pem
</VirtualHost>
<Location /base>
  DAV svn
  SVNPath {repo}
  Require all granted
{deflate_filter}</Location>
{more}"""


class Apache:
    """httpd with mod_dav_svn: one plain and one TLS port over ROOT/base.
    The TLS port shows cert.pem, which the authority ca_file signed.  With
    deflate, mod_deflate compresses every answer whose request accepts
    gzip.  more: lines added to httpd.conf, where "{dir}" stands for the
    server's folder."""

    def __init__(self, workspace, root, deflate=False, more=""):
        self.dir = workspace.fresh("httpd-%s" % os.path.basename(root))
        os.makedirs(os.path.join(self.dir, "run"), exist_ok=True)
        make_certificates(self.dir)
        self.ca_file = os.path.join(self.dir, "ca.pem")
        self.certificate = os.path.join(self.dir, "cert.pem")
        self.http_port = free_port()
        self.https_port = free_port()
        while self.https_port == self.http_port:
            self.https_port = free_port()
        user = "User www-data\nGroup www-data" if os.geteuid() == 0 else ""
        conf = os.path.join(self.dir, "httpd.conf")
        with open(conf, "w") as out:
            out.write(APACHE_CONF.format(dir=self.dir, http=self.http_port, https=self.https_port,
                                         mods=APACHE_MODULES, repo=os.path.join(root, "base"),
                                         user=user, more=more.replace("{dir}", self.dir),
                                         **self._ipv6(), **self._deflate(deflate)))
        make_readable(workspace.path)
        self.log = os.path.join(self.dir, "error.log")
        self.proc = subprocess.Popen(["apache2", "-f", conf, "-DFOREGROUND"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                                     start_new_session=True)
        wait_for_port(self.http_port, self.proc, "httpd", self.log)
        wait_for_port(self.https_port, self.proc, "httpd", self.log)

    @staticmethod
    def _deflate(deflate):
        if not deflate:
            return {"deflate_module": "", "deflate_filter": ""}
        return {"deflate_module": "LoadModule deflate_module %s/mod_deflate.so\n" % APACHE_MODULES,
                "deflate_filter": "  SetOutputFilter DEFLATE\n"}

    def _ipv6(self):
        """The same ports on ::1 too, when the machine has IPv6 loopback."""
        self.ipv6 = ipv6_loopback()
        if not self.ipv6:
            return {"listen6": "", "vhost6": ""}
        return {"listen6": "Listen [::1]:%d\nListen [::1]:%d\n" % (self.http_port, self.https_port),
                "vhost6": " [::1]:%d" % self.https_port}

    def port(self, scheme):
        return self.http_port if scheme == "http" else self.https_port

    def url(self, scheme):
        return "%s://127.0.0.1:%d/%s" % (scheme, self.port(scheme), BRANCH)

    def stop(self):
        _stop(self.proc)


def _stop(proc):
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def _start(make, attempts=3):
    """Start a server; a free port can be taken by someone else meanwhile."""
    for attempt in range(attempts):
        try:
            return make()
        except RuntimeError:
            if attempt == attempts - 1:
                raise


class Servers:
    """svnserve and/or Apache over one repository root, by protocol name."""

    def __init__(self, workspace, repository, protocols=("svn", "http", "https"), deflate=False, more=""):
        self.svn = self.apache = None
        try:
            if "svn" in protocols:
                self.svn = _start(lambda: Svnserve(workspace, repository.root))
            if {"http", "https"} & set(protocols):
                self.apache = _start(lambda: Apache(workspace, repository.root, deflate, more))
        except Exception:
            self.stop()
            raise

    def port(self, protocol):
        return self.svn.port if protocol == "svn" else self.apache.port(protocol)

    def url(self, protocol):
        return self.svn.url() if protocol == "svn" else self.apache.url(protocol)

    def stop(self):
        for server in (self.svn, self.apache):
            if server:
                server.stop()


# ------------------------------------------------------------ client oracle

def svn_client(workspace, *args):
    cmd = ["svn", "--config-dir", workspace.svn_config, "--non-interactive",
           "--trust-server-cert-failures", "unknown-ca,cn-mismatch,expired,not-yet-valid,other"]
    return run(cmd + list(args))


def export(workspace, url, rev):
    """`svn export -r REV URL` into a fresh folder; returns the folder."""
    dest = workspace.fresh("export")
    svn_client(workspace, "export", "-q", "-r", str(rev), url, dest)
    return dest


# --------------------------------------------------------------- trelk runs

class Result:
    def __init__(self, proc):
        self.status = proc.returncode
        self.stdout = proc.stdout.decode("utf-8", "surrogateescape")
        self.stderr = proc.stderr.decode("utf-8", "surrogateescape")

    def lines(self, prefix, stream="stdout"):
        text = self.stdout if stream == "stdout" else self.stderr
        return {l[len(prefix):] for l in text.split("\n") if l.startswith(prefix)}

    @property
    def written(self):
        return self.lines(" + ")

    @property
    def removed(self):
        return self.lines(" - ")

    def __str__(self):
        return "status %s\n--- stdout\n%s--- stderr\n%s" % (self.status, self.stdout, self.stderr)


def write_configuration(text="[defaults]\n\n[%s]\n" % SECTION):
    if not TRELK_CONF:
        raise RuntimeError("TRELK_CONF is not set (run through ctest)")
    with open(TRELK_CONF, "w") as out:
        out.write(text)


# The variables that choose how trelk checks a server's certificate (and
# OpenSSL's own default locations): a run sets them itself or goes without.
TLS_VARIABLES = ("SSL_CA_CERT_FILE", "SSL_CA_CERT_PATH", "SSL_NO_VERIFY_PEER",
                 "SSL_CERT_FILE", "SSL_CERT_DIR")


def environment(tls=None):
    """The test's environment without TLS_VARIABLES, plus those in tls."""
    env = {k: v for k, v in os.environ.items() if k not in TLS_VARIABLES}
    env.update(tls or {})
    return env


def trelk(*args, section=SECTION, tls=None):
    """Run the trelk binary with `args` after the section; capture everything.
    tls: the certificate variables of the run (see environment())."""
    if not TRELK:
        raise RuntimeError("TRELK is not set (run through ctest)")
    proc = subprocess.run([TRELK, section] + [str(a) for a in args], env=environment(tls),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    return Result(proc)


class Client:
    """trelk pointed at one server, one target and one work directory."""

    def __init__(self, workspace, servers, protocol, name="client"):
        self.workspace = workspace
        self.servers = servers
        self.protocol = protocol
        self.target = workspace.fresh(name + "-target")
        self.work = workspace.fresh(name + "-work")
        os.makedirs(self.target)
        os.makedirs(self.work)

    @property
    def known_files_path(self):
        return os.path.join(self.work, SECTION)

    def update(self, *extra, rev=None, verbosity=1, tls=None, host="127.0.0.1"):
        """Runs trelk on this client's target.  Over https the server's
        certificate is checked against the harness's authority unless tls
        names the certificate variables of the run."""
        args = ["-p", self.protocol, "-h", host, "-o", self.servers.port(self.protocol),
                "-b", BRANCH, "-l", self.target, "-k", self.work, "-v", verbosity]
        if rev is not None:
            args += ["-r", rev]
        if tls is None and self.protocol == "https":
            tls = {"SSL_CA_CERT_FILE": self.servers.apache.ca_file}
        return trelk(*(args + list(extra)), tls=tls)

    def known_files(self):
        with open(self.known_files_path, "rb") as fh:
            return fh.read()


# ---------------------------------------------------------- tree comparison

def snapshot(root, ignore=(".svnversion",)):
    """{relative path: description} of a tree, links not followed."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root)
        for name in dirnames + filenames:
            rel = name if rel_dir == "." else os.path.join(rel_dir, name)
            if rel in ignore:
                continue
            p = os.path.join(dirpath, name)
            st = os.lstat(p)
            if stat.S_ISLNK(st.st_mode):
                out[rel] = ("link", os.readlink(p))
            elif stat.S_ISDIR(st.st_mode):
                out[rel] = ("dir",)
            elif stat.S_ISREG(st.st_mode):
                with open(p, "rb") as fh:
                    data = fh.read()
                out[rel] = ("file", oct(stat.S_IMODE(st.st_mode)), len(data),
                            hashlib.md5(data).hexdigest())
            else:
                out[rel] = ("other", oct(st.st_mode))
    return out


def tree_differences(expected_root, actual_root, limit=20):
    """Human-readable differences between two trees (empty list if equal)."""
    exp = snapshot(expected_root)
    act = snapshot(actual_root)
    out = []
    for p in sorted(set(exp) | set(act)):
        if exp.get(p) != act.get(p):
            out.append("%s: expected %s, got %s" % (p, exp.get(p, "nothing"), act.get(p, "nothing")))
    if len(out) > limit:
        out = out[:limit] + ["... %d more" % (len(out) - limit)]
    return out


def read_bytes(path):
    with open(path, "rb") as fh:
        return fh.read()
