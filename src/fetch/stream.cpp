// The first fetch of a target that holds nothing: every text in one stream
// from the server, verified and written as it comes.

#include "fetch/fetch.h"

#include "local/local.h"
#include "progress/progress.h"
#include "transport/transport.h"

#include <cstdio>
#include <string>
#include <string_view>

bool
can_stream_tree(const connection& conn, const path_sets& sets)
{
	return conn.ops->stream_tree != nullptr && sets.known_set.empty() && is_empty_directory(*conn.path_target);
}

bool
stream_files(connection& conn, catalogue& cat, path_sets& sets)
{
	complete_local_scan(sets);
	return conn.ops->stream_tree(conn, cat, sets, [&conn, &cat](int32_t index, std::string_view text) {
		file_node& node = cat.file[index];
		if (conn.verbosity >= 2)
			show_progress(conn, node.path, index, cat.count());
		write_fetched_file(conn, node, text.data());
	});
}

void
reopen_for_full_run(connection& conn, catalogue& cat)
{
	fprintf(stderr, "Going on file by file.\n");
	cat.file.clear();
	reset_connection(conn);
	conn.ops->open(conn);
}

void
list_branch(connection& conn, catalogue& cat, path_sets& sets)
{
	if (conn.ops->stream_listing != nullptr && conn.stream_listing != 0) {
		if (conn.ops->stream_listing(conn, cat, sets))
			return;
		reopen_for_full_run(conn, cat);
	}
	conn.ops->list(conn, cat, sets);
}
