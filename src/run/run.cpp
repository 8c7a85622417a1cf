// The part of the run that belongs to no other subsystem: the settings
// header.

#include "run/run.h"

#include "transport/transport.h"

#include <err.h>

#include <cstdio>
#include <cstdlib>

// The name of a protocol number as the header shows it.
static const char*
protocol_name(uint32_t protocol)
{
	if (protocol == protocol_svn)
		return "svn";
	if (protocol == protocol_http)
		return "http";
	return "https";
}

// Prints the revision line on standard output and, from verbosity 2, the
// settings on standard error.
void
print_header(const connection& conn)
{
	if (conn.verbosity != 0)
		printf("# Revision: %d\n", conn.revision);
	if (conn.verbosity < 2)
		return;
	fprintf(stderr, "# Protocol: %s\n", protocol_name(conn.protocol));
	fprintf(stderr, "# Address: %s\n", conn.host ? conn.host->c_str() : "");
	fprintf(stderr, "# Port: %d\n", conn.port);
	fprintf(stderr, "# Branch: %s\n", conn.branch ? conn.branch->c_str() : "");
	fprintf(stderr, "# Target: %s\n", conn.path_target ? conn.path_target->c_str() : "");
	fprintf(stderr, "# Trim tree: %s\n", conn.trim_tree != 0 ? "Yes" : "No");
	fprintf(stderr, "# Show extra files: %s\n", conn.extra_files != 0 ? "Yes" : "No");
	fprintf(stderr, "# Known files directory: %s\n", conn.path_work ? conn.path_work->c_str() : "");
	if (certificate_unverified(conn))
		fprintf(stderr, "# Certificate: not verified (SSL_NO_VERIFY_PEER is set)\n");
}
