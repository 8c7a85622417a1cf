"""An update killed with SIGKILL part-way, then run again.

The target is brought to revision 1 of a repository of a few hundred files;
the update to revision 2 (most files changed, some removed, some added) is
killed after its revision line or after N " + " lines, read one by one from
a pseudo-terminal so that trelk's output is line-buffered.  The next run
must complete, and the tree must equal `svn export` of revision 2, with the
known-files list of revision 2 and nothing beside the target touched.
"""

import os
import pty
import random
import signal
import subprocess
import sys

import faultserver as fs
import harness
from harness import f

KILL_POINTS = [0, 1, 40, 200]		# " + " lines seen before the kill; 0: the revision line


def revisions():
	rand = random.Random(3)
	first = {}
	for n in range(300):
		path = "head/d%02d/file%03d.txt" % (n % 30, n)
		first[path] = f(rand.randbytes(rand.randrange(200, 9000)), executable=(n % 17 == 0))
	second = dict(first)
	for n, path in enumerate(sorted(first)):
		if n % 10 == 0:
			del second[path]
		elif n % 5 != 0:
			second[path] = f(rand.randbytes(rand.randrange(200, 9000)))
	for n in range(30):
		second["head/new%d/added%02d.txt" % (n % 3, n)] = f(rand.randbytes(3000))
	return [first, second]


def run_until_killed(command, kill_after):
	"""Starts command with its standard output on a pseudo-terminal and
	kills it with SIGKILL after kill_after " + " lines (0: after the
	revision line).  Returns the lines seen, or None when the run ended by
	itself first."""
	master, slave = pty.openpty()
	p = subprocess.Popen(command, stdout=slave, stderr=subprocess.DEVNULL)
	os.close(slave)
	seen, pending, killed = [], b"", False
	try:
		while not killed:
			try:
				data = os.read(master, 4096)
			except OSError:
				break
			if not data:
				break
			pending += data
			while b"\n" in pending and not killed:
				line, pending = pending.split(b"\n", 1)
				line = line.rstrip(b"\r").decode(errors="replace")
				seen.append(line)
				plus = sum(l.startswith(" + ") for l in seen)
				if (kill_after == 0 and line.startswith("# Revision")) or (kill_after and plus >= kill_after):
					p.send_signal(signal.SIGKILL)
					killed = True
	finally:
		os.close(master)
		try:
			p.wait(fs.TRELK_TIMEOUT)
		except subprocess.TimeoutExpired:
			p.kill()
			p.wait()
	return seen if killed and p.returncode == -signal.SIGKILL else None


def run_point(bench, protocol, kill_after):
	site = fs.Site(bench.workspace)
	port = bench.servers.port(protocol)
	status, out, err = fs.run_trelk(protocol, port, site.target, site.work, ["-r", "1"])
	if status != 0:
		return ["the clean run at revision 1 failed: %s %s" % (status, err.strip()[-300:])]
	seen = run_until_killed(fs.trelk_command(protocol, port, site.target, site.work, ["-r", "2"]), kill_after)
	if seen is None:
		return ["the run ended before the kill point"]
	status, out, err = fs.run_trelk(protocol, port, site.target, site.work, ["-r", "2"])
	problems = []
	if status != 0:
		problems.append("the run after the kill: status %s, %s" % (status, err.strip()[-300:]))
	difference = fs.tree_difference(site.tree(), bench.export(2))
	if difference:
		problems.append("tree differs from svn export:\n" + difference)
	first, lines = bench.repository.known_files(2)
	known = (site.known_list() or b"").decode(errors="replace")
	if not known.startswith(first) or set(l + "\n" for l in known[len(first):].split("\n")[:-1]) != lines:
		problems.append("the known-files list is not that of revision 2")
	outside = site.check_outside()
	if outside:
		problems.append(outside)
	return problems


def main():
	suites = []
	for protocol in ("svn", "http"):
		runs = [("%s killed after %d lines" % (protocol, point),
			 lambda bench, point=point, protocol=protocol: run_point(bench, protocol, point))
			for point in KILL_POINTS]
		suites.append((lambda protocol=protocol: fs.Bench(revisions(), (protocol,)), runs))
	return fs.run_suites(suites)


if __name__ == "__main__":
	sys.exit(main())
