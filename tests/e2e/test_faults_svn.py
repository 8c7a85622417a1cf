"""Faulty and hostile svn servers: each case of faults/*.case for svn, run
through the fault server in front of a real svnserve."""

import sys

import faultserver

if __name__ == "__main__":
	sys.exit(faultserver.run_cases("svn", sys.argv[1:]))
