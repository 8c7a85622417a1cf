"""Local trees that fight back.

Each case brings a target to revision 1 with a clean run, plants something
hostile in it (a symbolic link where a directory of the branch belongs, a
file where a directory belongs, a pipe, socket or device where a file
belongs, lines in the known-files list that are not clean paths, ...), or
nothing where the repository itself swaps files and directories, then
updates to revision 2 over svn and over http.  The run may stop with a
clear message or complete, but nothing beside the target may change,
nothing is written or removed through a symbolic link, and a completed
tree equals `svn export` (plus what the case planted and trelk must leave
alone).
"""

import os
import shutil
import socket
import stat
import sys

import faultserver as fs
import harness


def replace_with_link(site, path, target):
	full = os.path.join(site.target, path)
	if os.path.isdir(full) and not os.path.islink(full):
		shutil.rmtree(full)
	elif os.path.lexists(full):
		os.remove(full)
	os.symlink(target, full)


def replace_with_file(site, path, text="planted\n"):
	full = os.path.join(site.target, path)
	shutil.rmtree(full) if os.path.isdir(full) else os.remove(full)
	with open(full, "w") as out:
		out.write(text)


def replace_with_dir(site, path, keep=True):
	full = os.path.join(site.target, path)
	os.remove(full)
	os.makedirs(full)
	if keep:
		with open(os.path.join(full, "keep"), "w") as out:
			out.write("keep\n")


def replace_with_special(site, path, kind):
	"""Puts a named pipe, a socket or a device node (what /dev/null is) in
	place of the entry at path."""
	full = os.path.join(site.target, path)
	if os.path.lexists(full):
		os.remove(full)
	if kind == "fifo":
		os.mkfifo(full)
	elif kind == "socket":
		with socket.socket(socket.AF_UNIX) as bound:
			bound.bind(full)
	else:
		os.mknod(full, 0o644 | stat.S_IFCHR, os.makedev(1, 3))


def edit_file(site, path, text="edited by the administrator\n"):
	with open(os.path.join(site.target, path), "w") as out:
		out.write(text)


def add_known_lines(site, paths):
	with open(os.path.join(site.work, harness.SECTION), "ab") as out:
		for path in paths:
			out.write(b"d41d8cd98f00b204e9800998ecf8427e\t%s\n" % path.encode())


def plant_file(site, path):
	with open(os.path.join(site.target, path), "w") as out:
		out.write("untracked\n")


# Each case: name, set-up on the site, extra options, allowed exit statuses,
# a text that standard error must hold when the run stops, and the planted
# paths that the run, completed or stopped, must leave as they are.
CASES = [
	("link-dir-outside", lambda s: replace_with_link(s, "sub", s.outside + "/dir"),
	 [], [0, 1], "sub", []),
	("link-dir-inside", lambda s: replace_with_link(s, "sub", "docs"),
	 [], [0, 1], "sub", []),
	("link-file-outside", lambda s: replace_with_link(s, "README", s.outside + "/passwd"),
	 [], [0], "README", []),
	("dangling-link-file-outside", lambda s: replace_with_link(s, "README", s.outside + "/created"),
	 [], [0], "README", []),
	("dangling-link-special", lambda s: replace_with_link(s, "bin/link", "../nowhere"),
	 [], [0], "", []),
	("link-special-outside", lambda s: replace_with_link(s, "bin/link", s.outside + "/passwd"),
	 [], [0], "", []),
	("file-where-dir", lambda s: replace_with_file(s, "sub"),
	 [], [1], "sub", []),
	("dir-where-file", lambda s: replace_with_dir(s, "README"),
	 [], [1], "README", []),
	("empty-dir-where-file", lambda s: replace_with_dir(s, "README", keep=False),
	 [], [0], "README", []),
	("dir-where-special", lambda s: replace_with_dir(s, "bin/link"),
	 [], [1], "bin/link", []),
	# The stamp is written after the new list and before it is installed:
	# a failure there must leave the old list in place.
	("dir-where-stamp", lambda s: replace_with_dir(s, ".svnversion"),
	 [], [1], ".svnversion", []),
	# Where a file of the branch goes, anything but a regular file or a
	# directory is a leftover: replaced, never opened (a pipe would block
	# the run for good, a device would take the content).
	("fifo-where-file", lambda s: replace_with_special(s, "README", "fifo"),
	 [], [0], "", []),
	("fifo-where-unchanged-file", lambda s: replace_with_special(s, "bin/run.sh", "fifo"),
	 [], [0], "", []),
	("fifo-where-stamp", lambda s: replace_with_special(s, ".svnversion", "fifo"),
	 [], [0], "", []),
	("socket-where-file", lambda s: replace_with_special(s, "sub/empty", "socket"),
	 [], [0], "", []),
	("fifo-where-special", lambda s: replace_with_special(s, "bin/link", "fifo"),
	 [], [0], "", []),
] + ([] if os.geteuid() != 0 else [
	("device-where-file", lambda s: replace_with_special(s, "bin/big", "device"),
	 [], [0], "", []),
]) + [
	("read-only-dir", lambda s: os.chmod(os.path.join(s.target, "sub/deep"), 0o555),
	 [], [0] if os.geteuid() == 0 else [1], "victim", []),
	("known-list-unclean-paths", lambda s: (plant_file(s, "x"), add_known_lines(
		s, ["/../outside/passwd", "../sentinel", "//x", "/./x", "/sub/../x", "/x/", "x", "/../target/x"])),
	 [], [0], "", ["x"]),
	("known-list-through-link", lambda s: (replace_with_link(s, "linkdir", s.outside + "/dir"),
					      add_known_lines(s, ["/linkdir/keep"])),
	 [], [0], "", ["linkdir"]),
	("trim-through-links", lambda s: (replace_with_link(s, "linkdir", s.outside + "/dir"),
					 replace_with_link(s, "lnk", s.outside + "/passwd")),
	 ["-t"], [0], "", []),
]


def two_step_revisions():
	"""Revision 1 holds a symbolic link "d" to a folder beside the target,
	revision 2 a directory "d" with files, one named like the sentinel in
	that folder."""
	return [{"head/README": harness.f("one\n"), "head/d": harness.link("../outside/dir")},
		{"head/README": harness.f("two\n"), "head/d/keep": harness.f("evil\n"),
		 "head/d/new.txt": harness.f("evil\n")}]


TWO_STEP_CASES = [
	("two-step-link-then-dir", lambda s: None, [], [0, 1], "d", []),
]


def swap_revisions():
	"""Between revision 1 and 2 files and links become directories (x, l, v,
	which is empty then) and directories become a file and a link (z, w)."""
	first = {"head/README": harness.f("one\n"), "head/x": harness.f("x is a file\n"),
		 "head/l": harness.link("README"), "head/v": harness.f("v\n"),
		 "head/z/a.txt": harness.f("a\n"), "head/z/sub/b.txt": harness.f("b\n"),
		 "head/z/sub/l": harness.link("b.txt"), "head/z/empty": harness.d(),
		 "head/w/c.txt": harness.f("c\n")}
	second = {"head/README": harness.f("two\n"), "head/x/inside.txt": harness.f("in x\n"),
		  "head/l/inside.txt": harness.f("in l\n"), "head/v": harness.d(),
		  "head/z": harness.f("z is a file\n"), "head/w": harness.link("README")}
	return [first, second]


# What trelk wrote and nobody changed gives way to the other kind; what the
# administrator made or changed stays, and the run stops naming it.
SWAP_CASES = [
	("swap-written-entries", lambda s: None, [], [0], "", []),
	("swap-written-entries-trim", lambda s: None, ["-t"], [0], "", []),
	("swap-empty-dirs-left", lambda s: os.makedirs(os.path.join(s.target, "z/sub/more")),
	 [], [0], "", []),
	("swap-file-edited", lambda s: edit_file(s, "x"), [], [1], "/x exists locally", ["x"]),
	("swap-link-retargeted", lambda s: replace_with_link(s, "l", "elsewhere"),
	 [], [1], "/l exists locally", ["l"]),
	("swap-dir-holds-own-file", lambda s: plant_file(s, "z/sub/mine"),
	 [], [1], "/z/sub/mine, which trelk did not write", ["z/a.txt", "z/sub/b.txt", "z/sub/l", "z/sub/mine"]),
	("swap-dir-file-edited", lambda s: edit_file(s, "z/a.txt"),
	 [], [1], "/z/a.txt, which trelk did not write", ["z/a.txt", "z/sub/b.txt"]),
	("swap-dir-holds-fifo", lambda s: os.mkfifo(os.path.join(s.target, "w/pipe")),
	 [], [1], "/w/pipe, which trelk did not write", ["w/c.txt", "w/pipe"]),
]

BENCHES = [(fs.plain_revisions, CASES), (two_step_revisions, TWO_STEP_CASES), (swap_revisions, SWAP_CASES)]


def run_case(bench, protocol, name, setup, options, statuses, message, planted_kept):
	site = fs.Site(bench.workspace)
	port = bench.servers.port(protocol)
	status, out, err = fs.run_trelk(protocol, port, site.target, site.work, ["-r", "1"])
	if status != 0:
		return ["the clean run at revision 1 failed: %s %s" % (status, err.strip()[-300:])]
	setup(site)
	planted = site.tree()
	known_before = site.known_list()
	status, out, err = fs.run_trelk(protocol, port, site.target, site.work, ["-r", "2"] + options)
	os.chmod(site.target, 0o755)
	problems = []
	if status == "hang":
		return ["trelk did not end within %d seconds" % fs.TRELK_TIMEOUT]
	if status not in statuses:
		problems.append("exit status %s, want one of %s" % (status, statuses))
	outside = site.check_outside()
	if outside:
		problems.append(outside)
	tree = site.tree()
	if status == 0:
		expected = dict(bench.export(2))
		expected.update({p: planted[p] for p in planted_kept})
		difference = fs.tree_difference(tree, expected)
		if difference:
			problems.append("tree differs from svn export:\n" + difference)
	elif status == 1:
		if message not in err or not err.strip():
			problems.append("standard error lacks a message naming %r" % message)
		for path in planted_kept:
			if tree.get(path) != planted[path]:
				problems.append("%s: have %s, want it kept as %s" % (path, tree.get(path, "nothing"), planted[path]))
		if site.known_list() != known_before:
			problems.append("the known-files list changed")
		allowed = {p: e for p, e in planted.items()}
		problems += fs.partial_tree_problems({p: e for p, e in tree.items() if allowed.get(p) != e},
						     bench.export(1), bench.export(2))
	if problems:
		problems.append("status %s, stderr: %s" % (status, err.strip()[-400:]))
	elif err.strip():
		print("    (status %s: %s)" % (status, err.strip().splitlines()[-1][:150]), flush=True)
	return problems


def main(names):
	suites = []
	for (revisions, cases), protocol in [(b, p) for b in BENCHES for p in ("svn", "http")]:
		runs = [("%s %s" % (protocol, case[0]), lambda bench, case=case, protocol=protocol: run_case(bench, protocol, *case))
			for case in cases if not names or case[0] in names]
		suites.append((lambda revisions=revisions, protocol=protocol: fs.Bench(revisions(), (protocol,)), runs))
	return fs.run_suites(suites)


if __name__ == "__main__":
	sys.exit(main(sys.argv[1:]))
