// Command batches: request texts sent in one piece each, and the property
// requests made from the catalogue.

#include "fetch/fetch.h"

#include "local/local.h"
#include "transport/transport.h"

#include <sys/stat.h>

#include <cstdio>
#include <string>

// Room reserved for a new batch; a batch grows past it when it must.
static constexpr size_t batch_room = 32768;

void
new_buffer(command_batches& batches)
{
	batches.last_buffer++;
	batches.buffer.emplace_back();
	batches.buffer.back().reserve(batch_room);
	batches.buffer_commands.resize(batches.last_buffer + 1);
	batches.buffer_commands[batches.last_buffer] = 0;
}

// Appends one request to the newest batch.
static void
append_request(command_batches& batches, const std::string& request)
{
	batches.buffer[batches.last_buffer] += request;
	batches.buffer_commands[batches.last_buffer]++;
}

// True when the newest batch has reached its limit and must close.
static bool
batch_is_full(const connection& conn, const command_batches& batches)
{
	return conn.ops->batch_full(batches.buffer[batches.last_buffer].size(), batches.buffer_commands[batches.last_buffer]);
}

bool
local_form_differs(const file_node& node, const struct stat& status)
{
	if (status.st_mode == 0)
		return true;
	if (node.special)
		return !S_ISLNK(status.st_mode);
	if (!S_ISREG(status.st_mode))
		return true;
	return (status.st_mode & 07777) != (node.executable ? 0755u : 0644u);
}

bool
has_property_request(const protocol_ops& ops, const file_node& node)
{
	return !ops.listing_gives_md5 || node.download;
}

void
build_property_batches(connection& conn, catalogue& cat, command_batches& batches)
{
	for (int32_t i = 0; i < cat.file_count; i++) {
		file_node& node = *cat.file[i];
		if (conn.ops->listing_gives_md5) {
			std::string local_path = *conn.path_target + node.path;
			// The mode and kind can be judged only when the listing
			// carried the properties inline.
			struct stat status;
			if (confirm_md5(node.md5, local_path, status) == 0 &&
			    (!node.props_known || !local_form_differs(node, status)))
				continue;
			node.download = 1;
		}
		append_request(batches, conn.ops->property_request(conn, node));
		if (batch_is_full(conn, batches))
			new_buffer(batches);
	}
}
