"""A fault-injecting server for trelk's end-to-end tests.

The server stands between trelk and a real svnserve or Apache httpd on
127.0.0.1.  It relays every request unchanged and splits the real server's
stream into answers, one per request (an svn command, or an HTTP request),
so that a fault can be put into a chosen answer at a chosen point: the
connection dropped (closed or reset) at byte N, the answer held back and the
connection left silent, bytes or svn strings replaced, an HTTP body edited
and framed again.  A case file (tests/e2e/faults/*.case, JSON) names the
faults; load_case() reads one.

A fault is a dictionary:
  match       regular expression searched in the request (svn: the command
              text; HTTP: the request line); default: every request
  occurrence  "once" (the first matching answer), "always", or a number n
              (the n-th matching answer only)
  and one or more actions, applied in this order:
  rename      [[old, new], ...]  svn: every string item whose text is old
              becomes new in answers, with its length fixed, and back in
              requests; HTTP: old becomes new in bodies, new becomes old
              in request lines
  replace     [[old, new], ...]  bytes of the answer as sent (first match)
  regex       [[pattern, new], ...] the same with a regular expression
  body        [[old, new], ...]  HTTP: in the decoded body, framing fixed
  drop_at     N   send N bytes of the answer (negative: all but -N), then
              end the connection; "reset": true sends a TCP reset instead
              of an orderly close
  stall       seconds: after drop_at bytes, stay silent that long before
              ending the connection
  close_after true: send the whole answer, then end the connection in
              good order, as a server does whose keep-alive budget is spent
(rename works on every answer; the other actions on the chosen ones.)

A case file holds "title", "protocol" (svn or http), "faults" or "silent"
(seconds: a server that accepts every connection, says nothing, and closes
after that long), optional "options" for trelk, and "expect": "status", the
exit statuses allowed, "stderr", texts that standard error must hold in
that order, and optionally "absent", texts it must not hold, and "fired",
how many answers each fault must have changed.  run_cases() brings a target to revision 1 straight from the
real server (unless the case says "start": "empty": then the target is a
first fetch), then updates it to revision 2 through the fault server (with
-c, a full check, unless the case says "state": true), and
checks besides: no hang, nothing changed beside the target, the fault met
an answer; a complete run leaves the tree of `svn export`; a stopped run
keeps the old known-files list and leaves only files as one of the two
revisions holds them.

Strings in case files are text; they are turned into bytes as UTF-8, so
"\\u0000" is a zero byte.  "{outside}" in a string stands for the absolute
path of a folder beside the target, which the caller fills in.
"""

import json
import os
import queue
import random
import re
import select
import socket
import struct
import subprocess
import threading
import time

import harness
from harness import d, f, link

WHITESPACE = b" \n\r\t"


# svn items

def svn_item_end(buf, pos):
	"""Returns the position after the svn item at pos (and one blank after
	it), or None when the buffer does not hold the whole item yet.  Raises
	ValueError for bytes that cannot begin an item."""
	n = len(buf)
	while pos < n and buf[pos] in WHITESPACE:
		pos += 1
	if pos >= n:
		return None
	c = buf[pos:pos + 1]
	if c == b"(":
		pos += 1
		while True:
			while pos < n and buf[pos] in WHITESPACE:
				pos += 1
			if pos >= n:
				return None
			if buf[pos:pos + 1] == b")":
				pos += 1
				break
			pos = svn_item_end(buf, pos)
			if pos is None:
				return None
	elif c.isdigit():
		j = pos
		while j < n and buf[j:j + 1].isdigit():
			j += 1
		if j >= n:
			return None
		if buf[j:j + 1] == b":":
			pos = j + 1 + int(buf[pos:j])
			if pos > n:
				return None
		else:
			pos = j
	elif c.isalpha():
		while pos < n and (buf[pos:pos + 1].isalnum() or buf[pos:pos + 1] == b"-"):
			pos += 1
		if pos >= n:
			return None
	else:
		raise ValueError("not an svn item: %r" % buf[pos:pos + 40])
	if pos < n and buf[pos] in WHITESPACE:
		pos += 1
	return pos


def svn_map_strings(buf, change):
	"""Returns buf with every string item s replaced by change(s), lengths
	fixed.  Bytes that are not items are kept as they are."""
	out = bytearray()
	pos = 0
	n = len(buf)
	while pos < n:
		m = re.compile(rb"(\d+):").match(buf, pos)
		if m and (pos == 0 or buf[pos - 1:pos] in b" (\n"):
			start = m.end()
			length = int(m.group(1))
			if start + length <= n:
				text = change(bytes(buf[start:start + length]))
				out += b"%d:" % len(text) + text
				pos = start + length
				continue
		out += buf[pos:pos + 1]
		pos += 1
	return bytes(out)


def svn_answer_shape(command):
	"""Returns how the real server answers command: the number of groups,
	and whether content strings follow (get-file asking for contents)."""
	if command == b"":
		return 1, False			# the greeting
	text = command.lstrip()
	if text.startswith(b"( 2 ("):
		return 1, False			# the client greeting
	if text.startswith(b"( get-file ") and re.search(rb"\) (true|false) true ", text):
		return 2, True
	if text.startswith((b"( set-path ", b"( delete-path ", b"( finish-report ")):
		return 0, False			# a report says; the server answers the whole
	if text.startswith(b"( success "):
		return 1, False			# the client's answer to close-edit
	return 2, False


# The answer to an update or status report runs to the end of its editor
# drive: the authentication requests, then every editor command.
EDIT_END = (b"( close-edit ", b"( abort-edit ", b"( failure ")


def svn_drive_end(buf):
	"""Returns the end of an editor drive at the start of buf: the group
	that closes or aborts it, or a failure; None when it has not arrived."""
	pos = 0
	while True:
		start = pos
		pos = svn_item_end(buf, pos)
		if pos is None:
			return None
		if buf[start:pos].lstrip().startswith(EDIT_END):
			return pos


def svn_answer_end(buf, command):
	"""Returns the end of the whole answer to command at the start of buf,
	or None when it has not all arrived."""
	if command.lstrip().startswith((b"( update ", b"( status ")):
		return svn_drive_end(buf)
	groups, contents = svn_answer_shape(command)
	pos = 0
	for i in range(groups):
		start = pos
		pos = svn_item_end(buf, pos)
		if pos is None:
			return None
		if buf[start:pos].lstrip().startswith(b"( failure"):
			return pos
	if not contents:
		return pos
	while True:				# strings up to the empty one
		start = pos
		pos = svn_item_end(buf, pos)
		if pos is None:
			return None
		if buf[start:pos].strip() == b"0:":
			break
	return svn_item_end(buf, pos)


def svn_split_commands(buf):
	"""Returns (commands, rest): the complete top-level groups at the start
	of buf, and the bytes after them."""
	commands = []
	pos = 0
	while True:
		end = svn_item_end(buf, pos)
		if end is None:
			return commands, buf[pos:]
		commands.append(buf[pos:end])
		pos = end


# HTTP messages

def http_headers(head):
	"""Returns the header lines of a message head as (name, value) pairs,
	names in lower case."""
	pairs = []
	for line in head.split(b"\r\n")[1:]:
		if b":" in line:
			name, value = line.split(b":", 1)
			pairs.append((name.strip().lower(), value.strip()))
	return pairs


def http_message_end(buf, response, method=b""):
	"""Returns (end, body_start, chunked) of the HTTP message at the start of
	buf, or None when it has not all arrived."""
	head_end = buf.find(b"\r\n\r\n")
	if head_end < 0:
		return None
	body = head_end + 4
	headers = dict(http_headers(buf[:head_end]))
	if b"chunked" in headers.get(b"transfer-encoding", b"").lower():
		pos = body
		while True:
			line_end = buf.find(b"\r\n", pos)
			if line_end < 0:
				return None
			size = int(buf[pos:line_end].split(b";")[0], 16)
			if size == 0:
				trailer = buf.find(b"\r\n", line_end + 2)
				while trailer >= 0 and trailer != line_end + 2:
					line_end, trailer = trailer, buf.find(b"\r\n", trailer + 2)
				if trailer < 0:
					return None
				return trailer + 2, body, True
			pos = line_end + 2 + size + 2
			if pos > len(buf):
				return None
	if b"content-length" in headers:
		end = body + int(headers[b"content-length"])
		return (end, body, False) if end <= len(buf) else None
	status = buf[9:12] if response else b""
	if not response or method == b"HEAD" or status in (b"204", b"304") or status.startswith(b"1"):
		return body, body, False
	return None				# ends when the server closes


def http_decode_body(message, body_start, chunked):
	"""Returns the body of a complete message without its chunk framing."""
	if not chunked:
		return message[body_start:]
	data = bytearray()
	pos = body_start
	while True:
		line_end = message.find(b"\r\n", pos)
		size = int(message[pos:line_end].split(b";")[0], 16)
		if size == 0:
			return bytes(data)
		data += message[line_end + 2:line_end + 2 + size]
		pos = line_end + 2 + size + 2


def http_reframe(message, body_start, chunked, body):
	"""Returns message with its body replaced by body, framed as before."""
	head = message[:body_start]
	if chunked:
		framed = (b"%x\r\n" % len(body) + body + b"\r\n" if body else b"") + b"0\r\n\r\n"
		return head + framed
	head = re.sub(rb"(?im)^content-length: *\d+", b"Content-Length: %d" % len(body), head)
	return head + body


# Faults

def to_bytes(value, outside=""):
	return value.replace("{outside}", outside).encode("utf-8")


class Fault:
	"""One fault of a case, and how many answers it has met."""

	def __init__(self, settings, outside):
		self.settings = settings
		self.match = re.compile(to_bytes(settings.get("match", ""), outside), re.S)
		self.occurrence = settings.get("occurrence", "once")
		self.pairs = {key: [(to_bytes(a, outside), to_bytes(b, outside)) for a, b in settings.get(key, [])]
			      for key in ("rename", "replace", "regex", "body")}
		self.seen = 0
		self.fired = 0

	def applies(self, request):
		"""Counts request if it matches; returns whether this answer gets
		the fault."""
		if not self.match.search(request):
			return False
		self.seen += 1
		if self.occurrence == "always":
			return True
		if self.occurrence == "once":
			return self.seen == 1
		return self.seen == int(self.occurrence)


class FaultServer:
	"""Listens on a free loopback port and relays every connection to the
	real server at upstream_port, with the faults of a case."""

	def __init__(self, protocol, upstream_port, case=None, outside=""):
		self.protocol = protocol
		self.upstream_port = upstream_port
		case = case or {}
		self.silent = case.get("silent")
		self.faults = [Fault(f, outside) for f in case.get("faults", [])]
		self.lock = threading.Lock()
		self.log = []			# (request, fault indexes) per answer
		self.connections = 0
		self.readers = {}		# client descriptor -> its request thread
		self.sockets = []
		self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
		self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
		self.listener.bind(("127.0.0.1", 0))
		self.listener.listen(64)
		self.port = self.listener.getsockname()[1]
		self.stopping = False
		threading.Thread(target=self._accept, daemon=True).start()

	def fired(self):
		"""Returns how many answers each fault has changed."""
		return [f.fired for f in self.faults]

	def stop(self):
		self.stopping = True
		self.listener.close()
		for s in list(self.sockets):
			try:
				s.close()
			except OSError:
				pass

	def _accept(self):
		while not self.stopping:
			try:
				client, _ = self.listener.accept()
			except OSError:
				return
			self.connections += 1
			self.sockets.append(client)
			threading.Thread(target=self._serve, args=(client,), daemon=True).start()

	def _serve(self, client):
		if self.silent is not None:
			time.sleep(self.silent)
			client.shutdown(socket.SHUT_RDWR)
			client.close()
			return
		upstream = socket.create_connection(("127.0.0.1", self.upstream_port))
		self.sockets.append(upstream)
		requests = queue.Queue()
		reader = threading.Thread(target=self._requests, args=(client, upstream, requests), daemon=True)
		self.readers[client.fileno()] = reader
		reader.start()
		try:
			self._answers(client, upstream, requests)
		except (OSError, ValueError):
			pass
		finally:
			for s in (client, upstream):
				try:
					s.shutdown(socket.SHUT_RDWR)
				except OSError:
					pass
				s.close()

	# requests: client to upstream

	def _requests(self, client, upstream, requests):
		buf = b""
		try:
			while True:
				data = client.recv(65536)
				if not data:
					break
				buf += data
				buf = self._forward_requests(buf, upstream, requests)
		except (OSError, ValueError):
			pass
		requests.put(None)
		try:
			upstream.shutdown(socket.SHUT_WR)
		except OSError:
			pass

	def _forward_requests(self, buf, upstream, requests):
		"""Sends every complete request of buf upstream (renamed back) and
		queues it; returns the incomplete rest."""
		while True:
			if self.protocol == "svn":
				commands, rest = svn_split_commands(buf)
				if not commands:
					return buf
				request, buf = commands[0], buf[len(commands[0]):]
				sent = svn_map_strings(request, self._unrename)
			else:
				found = http_message_end(buf, False)
				if found is None:
					return buf
				request, buf = buf[:found[0]], buf[found[0]:]
				line_end = request.find(b"\r\n")
				sent = self._unrename(request[:line_end]) + request[line_end:]
			requests.put(request)
			upstream.sendall(sent)

	def _unrename(self, text):
		"""Turns renamed names in a request back into the real ones."""
		for f in self.faults:
			for old, new in f.pairs["rename"]:
				text = text.replace(new, old)
		return text

	# answers: upstream to client

	def _answers(self, client, upstream, requests):
		buf = b""
		request = b"" if self.protocol == "svn" else None
		while True:
			while request is None:
				try:
					request = requests.get(timeout=0.1)
				except queue.Empty:
					if select.select([upstream], [], [], 0)[0] and not buf:
						data = upstream.recv(65536)
						if not data:
							return		# the server closed between requests
						buf += data
					continue
				if request is None:
					return
			end = self._answer_end(buf, request)
			while end is None:
				data = upstream.recv(65536)
				if not data:
					if buf:
						client.sendall(buf)
					return
				buf += data
				end = self._answer_end(buf, request)
			answer, buf = buf[:end], buf[end:]
			if not self._send_answer(client, request, answer):
				return
			request = None

	def _answer_end(self, buf, request):
		if self.protocol == "svn":
			return svn_answer_end(buf, request)
		found = http_message_end(buf, True, request.split(b" ", 1)[0])
		return found and found[0]

	def _send_answer(self, client, request, answer):
		"""Applies the faults that this answer meets and sends it; returns
		False when a fault ended the connection."""
		applied = []
		drop = None
		close_after = False
		with self.lock:
			for i, f in enumerate(self.faults):
				renamed = self._rename(answer, f.pairs["rename"]) if f.pairs["rename"] else answer
				changed = renamed != answer
				answer = renamed
				if f.applies(request):
					edited = self._edit(answer, f)
					changed = changed or edited != answer or "drop_at" in f.settings or f.settings.get("close_after")
					answer = edited
					if "drop_at" in f.settings:
						drop = f.settings
					close_after = close_after or bool(f.settings.get("close_after"))
				if changed:
					f.fired += 1
					applied.append(i)
			self.log.append((request, applied))
		if drop is None:
			client.sendall(answer)
			if close_after:
				self._end(client, False)
			return not close_after
		cut = drop["drop_at"]
		client.sendall(answer[:cut] if cut else b"")
		if drop.get("stall"):
			time.sleep(drop["stall"])
		self._end(client, drop.get("reset"))
		return False

	def _end(self, client, reset):
		"""Ends a client connection at once: an orderly close, or a reset.
		The reading thread is woken first, since a socket that a thread is
		still reading is not really closed."""
		if reset:
			client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
		else:
			client.shutdown(socket.SHUT_WR)
		client.shutdown(socket.SHUT_RD)
		reader = self.readers.get(client.fileno())
		if reader:
			reader.join(5)
		client.close()

	def _rename(self, answer, pairs):
		if self.protocol == "svn":
			table = dict(pairs)
			return svn_map_strings(answer, lambda s: table.get(s, s))
		found = http_message_end(answer, True)
		body = http_decode_body(answer, found[1], found[2])
		changed = body
		for old, new in pairs:
			changed = changed.replace(old, new)
		return answer if changed == body else http_reframe(answer, found[1], found[2], changed)

	def _edit(self, answer, f):
		if f.pairs["body"]:
			found = http_message_end(answer, True)
			body = http_decode_body(answer, found[1], found[2])
			for old, new in f.pairs["body"]:
				body = body.replace(old, new, 1)
			answer = http_reframe(answer, found[1], found[2], body)
		for old, new in f.pairs["replace"]:
			answer = answer.replace(old, new, 1)
		for pattern, new in f.pairs["regex"]:
			answer = re.sub(pattern, new, answer, count=1, flags=re.S)
		return answer


def load_case(path):
	"""Reads one case file: a JSON object with "title", "protocol", "faults"
	(or "silent") and "expect"."""
	with open(path, encoding="utf-8") as f:
		case = json.load(f)
	case["name"] = os.path.splitext(os.path.basename(path))[0]
	return case


# Test bench, on top of the shared harness: runs of trelk with a time
# limit, and a site whose surroundings must stay untouched.

TRELK_TIMEOUT = 60			# a hang is reported, not waited for


def trelk_command(protocol, port, target, work, extra=()):
	return [harness.TRELK, harness.SECTION, "-p", protocol, "-o", str(port), "-h", "127.0.0.1",
		"-b", harness.BRANCH, "-l", target, "-k", work, "-v", "1"] + [str(a) for a in extra]


def run_trelk(protocol, port, target, work, extra=(), timeout=TRELK_TIMEOUT):
	"""Runs trelk to its end; returns (status, stdout, stderr) as text.  A
	run that outlives timeout is killed and reported as status "hang"."""
	p = subprocess.Popen(trelk_command(protocol, port, target, work, extra),
			     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
	try:
		out, err = p.communicate(timeout=timeout)
	except subprocess.TimeoutExpired:
		p.kill()
		out, err = p.communicate()
		return "hang", out.decode(errors="replace"), err.decode(errors="replace")
	return p.returncode, out.decode(errors="replace"), err.decode(errors="replace")


def tree_difference(actual, expected):
	"""Returns a short text naming the paths where two snapshots differ, or
	the empty text."""
	lines = ["%s: have %s, want %s" % (path, actual.get(path, "nothing"), expected.get(path, "nothing"))
		 for path in sorted(set(actual) | set(expected)) if actual.get(path) != expected.get(path)]
	return "\n".join(lines[:20])


class Site:
	"""A fresh folder T with T/target (the tree), T/work (the known-files
	lists), and sentinels beside them: T/outside/passwd, T/outside/dir/keep,
	T/sentinel.  check_outside() proves that nothing but target and work
	changed."""

	def __init__(self, workspace):
		self.top = workspace.fresh("site")
		self.target = os.path.join(self.top, "target")
		self.work = os.path.join(self.top, "work")
		self.outside = os.path.join(self.top, "outside")
		for path in (self.target, self.work, os.path.join(self.outside, "dir")):
			os.makedirs(path)
		for path, text in (("outside/passwd", "root:sentinel\n"), ("outside/dir/keep", "keep\n"),
				   ("sentinel", "sentinel\n")):
			with open(os.path.join(self.top, path), "w") as out:
				out.write(text)
		self.before = self.outside_snapshot()

	def outside_snapshot(self):
		tree = harness.snapshot(self.top, ignore=())
		tree = {k: v for k, v in tree.items() if k.split("/")[0] not in ("target", "work")}
		return tree | {".": oct(os.lstat(self.top).st_mode)}

	def check_outside(self):
		"""Returns the empty text when nothing beside target and work
		changed, or a description of what did."""
		difference = tree_difference(self.outside_snapshot(), self.before)
		return "outside the target: " + difference if difference else ""

	def known_list(self):
		path = os.path.join(self.work, harness.SECTION)
		if not os.path.exists(path):
			return None
		with open(path, "rb") as f:
			return f.read()

	def tree(self):
		return harness.snapshot(self.target)


# Fault cases: a clean run at revision 1 straight from the real server,
# then the case's run at revision 2 through the fault server.

CASE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "faults")


def plain_revisions():
	"""Revision 1 and revision 2 of the repository that the cases use."""
	rand = random.Random(6)
	first = {"head/README": f("hello\n"), "head/bin/big": f(rand.randbytes(9000)),
		 "head/bin/run.sh": f("#!/bin/sh\necho hi\n", executable=True), "head/bin/link": link("../README"),
		 "head/sub/deep/victim.txt": f("victim\n"), "head/sub/empty": f(""), "head/docs/a.txt": f("a\n"),
		 "head/emptydir": d()}
	second = dict(first)
	del second["head/docs/a.txt"]
	second.update({"head/README": f("hello again\n"), "head/bin/big": f(rand.randbytes(9000)),
		       "head/sub/deep/victim.txt": f("victim 2\n"), "head/docs/b.txt": f("b\n"),
		       "head/added/x.txt": f("x\n")})
	return [first, second]


class Bench:
	"""One repository with its real servers, shared by the cases of a
	script."""

	def __init__(self, revisions, protocols):
		harness.write_configuration()
		self.workspace = harness.Workspace("trelk-faults-")
		self.repository = harness.Repository(self.workspace)
		for tree in revisions:
			self.repository.commit(tree)
		self.servers = harness.Servers(self.workspace, self.repository, protocols)
		self.url = "file://" + self.repository.path + "/" + harness.HEAD
		self.exports = {}

	def export(self, revision):
		if revision not in self.exports:
			self.exports[revision] = harness.snapshot(harness.export(self.workspace, self.url, revision))
		return self.exports[revision]

	def close(self):
		self.servers.stop()
		self.workspace.cleanup()


def in_order(text, parts):
	"""Returns the first of parts that does not occur in text after the
	previous one, or None."""
	pos = 0
	for part in parts:
		found = text.find(part, pos)
		if found < 0:
			return part
		pos = found + len(part)
	return None


def partial_tree_problems(tree, old, new):
	"""A failed run may have written some files of the new revision, but
	every file in the tree must be as one of the two revisions holds it."""
	return ["%s holds neither revision's content: %s" % (path, entry)
		for path, entry in tree.items()
		if entry[0] != "dir" and entry not in (old.get(path), new.get(path))]


def check_run(bench, site, case, status, err, known_before, fired):
	"""Returns the problems of one run of a case against its expectations."""
	expect = case["expect"]
	if status == "hang":
		return ["trelk did not end within %d seconds" % TRELK_TIMEOUT]
	problems = []
	if status not in expect["status"]:
		problems.append("exit status %s, want one of %s" % (status, expect["status"]))
	missing = in_order(err, expect.get("stderr", []))
	if missing is not None:
		problems.append("standard error lacks %r (in order)" % missing)
	for text in expect.get("absent", []):
		if text in err:
			problems.append("standard error holds %r" % text)
	if "silent" not in case and not any(fired):
		problems.append("the fault never met an answer")
	if "fired" in expect and fired != expect["fired"]:
		problems.append("the faults changed %s answers, want %s" % (fired, expect["fired"]))
	outside = site.check_outside()
	if outside:
		problems.append(outside)
	tree = site.tree()
	if status == 0:
		difference = tree_difference(tree, bench.export(2))
		if difference:
			problems.append("tree differs from svn export:\n" + difference)
	else:
		if site.known_list() != known_before:
			problems.append("the known-files list changed")
		problems += partial_tree_problems(tree, bench.export(1), bench.export(2))
	return problems


def run_case(bench, protocol, case):
	"""Runs one case; returns its problems (empty when it passes)."""
	site = Site(bench.workspace)
	port = bench.servers.port(protocol)
	if case.get("start") != "empty":
		status, out, err = run_trelk(protocol, port, site.target, site.work, ["-r", "1"])
		if status != 0 or tree_difference(site.tree(), bench.export(1)):
			return ["the clean run at revision 1 failed: %s %s" % (status, err.strip()[-300:])]
	known_before = site.known_list()
	server = FaultServer(protocol, port, case, outside=site.outside)
	try:
		# The update checks every file, as the faults of the listing and
		# the fetch need, unless the case is about the update that starts
		# from the state the first run recorded.
		full_check = [] if case.get("state") else ["-c"]
		status, out, err = run_trelk(protocol, server.port, site.target, site.work,
					     ["-r", "2"] + full_check + case.get("options", []))
	finally:
		server.stop()
	problems = check_run(bench, site, case, status, err, known_before, server.fired())
	if problems:
		problems.append("status %s, stderr: %s" % (status, err.strip()[-400:]))
	if os.environ.get("FAULTS_SHOW"):
		print("--- stdout\n%s--- stderr\n%s---" % (out[-3000:], err[-3000:]), flush=True)
	elif err.strip():
		print("    (status %s: %s)" % (status, err.strip().splitlines()[-1][:150]), flush=True)
	return problems


def run_suites(suites):
	"""Runs cases bench by bench and reports them.  suites yields
	(make_bench, cases), cases a list of (label, run) where run(bench)
	returns the problems found.  Prints one line per case and returns the
	process exit status: 1 when a case failed or none ran."""
	failed = total = 0
	for make_bench, cases in suites:
		bench = make_bench()
		try:
			for label, run in cases:
				problems = run(bench)
				total += 1
				failed += bool(problems)
				print("%s %s" % ("FAIL" if problems else "ok  ", label), flush=True)
				for p in problems:
					print("    " + p.replace("\n", "\n    "), flush=True)
		finally:
			bench.close()
	print("%d of %d cases failed" % (failed, total))
	return 1 if failed or not total else 0


def run_cases(protocol, names=None):
	"""Runs every case file of protocol (or the named ones), prints one line
	per case and returns the process exit status."""
	cases = [load_case(os.path.join(CASE_DIR, n)) for n in sorted(os.listdir(CASE_DIR)) if n.endswith(".case")]
	cases = [c for c in cases if c["protocol"] == protocol and (not names or c["name"] in names)]
	runs = [("%s: %s" % (c["name"], c["title"]), lambda bench, c=c: run_case(bench, protocol, c)) for c in cases]
	return run_suites([(lambda: Bench(plain_revisions(), (protocol,)), runs)])
