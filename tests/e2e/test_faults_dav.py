"""Faulty and hostile WebDAV servers: each case of faults/*.case for http, run
through the fault server in front of a real Apache httpd with mod_dav_svn."""

import sys

import faultserver

if __name__ == "__main__":
	sys.exit(faultserver.run_cases("http", sys.argv[1:]))
