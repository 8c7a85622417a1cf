// trelk: bring a local tree up to date with one revision of a Subversion
// repository, over svn://, http:// or https://, without a working copy.
//
// main is the run, one phase after the other; each phase lives in the
// subsystem that owns it.

#include "dav/dav.h"
#include "fetch/fetch.h"
#include "local/local.h"
#include "run/run.h"
#include "svn/svn.h"
#include "transport/transport.h"

#include <time.h>

#include <optional>

#ifndef TRELK_CONF
#define TRELK_CONF "/usr/local/etc/trelk.conf"
#endif

// The full run: lists the branch and fetches what differs.  While the
// server works on the listing, trelk scans the target (done at the latest
// before the listing changes anything) and then reads the files the last
// run wrote.
static void
list_and_fetch(connection& conn, catalogue& cat, path_sets& sets, digest_cache& digests)
{
	command_batches batches;

	sets.scan = {*conn.path_target, conn.trim_tree != 0 || conn.extra_files != 0, false};
	plan_local_digests(digests, *conn.path_target, sets.known_set);
	conn.idle_work = [&sets, &digests] {
		if (!sets.scan.done) {
			complete_local_scan(sets);
			return true;
		}
		return digest_next_local_file(digests);
	};
	list_branch(conn, cat, sets);
	build_property_batches(conn, cat, batches, digests);
	get_files(conn, cat, batches, digests);
}

int
main(int argc, char* argv[])
{
	// Start: an empty catalogue, the values at start.
	catalogue cat;
	path_sets sets;
	digest_cache digests;
	connection conn;
	struct timespec run_start;
	clock_gettime(CLOCK_REALTIME, &run_start);

	// Command line and settings.
	const char* section = check_section(argc, argv, TRELK_CONF);
	load_configuration(conn, TRELK_CONF, section);
	apply_options(conn, argc, argv);
	finish_settings(conn, TRELK_CONF);
	conn.ops = conn.protocol == protocol_svn ? &svn_protocol : &webdav_protocol;

	// Directories, known files, response buffer: no traffic yet.  One run
	// of a section at a time: the lock is taken before anything else is
	// read or written.  -n only reads the list, which a rename replaces
	// whole, so it may show the revision while another run holds the lock
	// (and then makes nothing); when it goes on to update, it needs the
	// lock like any run.
	ensure_directory(*conn.path_work);
	make_list_paths(conn, section);
	section_lock lock(conn);
	if (!conn.show_revision)
		lock.require(section);
	if (lock.held())
		ensure_directory(*conn.path_target);
	load_known_files(conn, sets.known_set);
	lock.require(section);
	refuse_work_directory_in_trimmed_target(conn);
	conn.response = response_buffer(initial_response_capacity);

	// Connect and open the repository.  A target with nothing in it takes
	// every text in one stream; a tree the last run left in a state it
	// recorded asks only for what changed since.  Should either fail, the
	// full run below goes on from what it wrote.
	bool streamed = can_stream_tree(conn, sets);
	reset_connection(conn);
	conn.ops->open(conn);
	print_header(conn);
	bool done = false;
	std::optional<tree_state> state = usable_tree_state(conn, sets.known_set);
	if (streamed)
		done = stream_files(conn, cat, sets);
	else if (state)
		done = update_from_state(conn, cat, sets, *state);
	if (!done && (streamed || state))
		reopen_for_full_run(conn, cat);
	if (!done)
		list_and_fetch(conn, cat, sets, digests);

	// Record, stamp and clean up; the known-files list and the state are
	// replaced last, the state after the list that it must match.
	std::optional<tree_state> next = record_tree_state(conn, cat, sets, run_start);
	save_known_files(conn, cat, sets);
	write_revision_stamp(conn);
	clean_local_tree(conn, sets);
	if (next)
		save_tree_state(tree_state_path(conn), *next);
	close_connection(conn);
	install_known_files(conn);
	keep_tree_state(conn, next);
	return 0;
}
