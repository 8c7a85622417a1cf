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

// Appends one request to the newest batch, opening a new one when the
// newest has reached the protocol's limit.
static void
append_request(const connection& conn, command_batches& batches, const std::string& request)
{
	if (batches.empty() || conn.ops->batch_full(batches.back().text.size(), batches.back().requests)) {
		batches.emplace_back();
		batches.back().text.reserve(batch_room);
	}
	batches.back().text += request;
	batches.back().requests++;
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

// True when the listing gave node's MD5: every file's where the protocol's
// listing gives MD5s, and a file's whose properties came with the listing.
static bool
md5_listed(const protocol_ops& ops, const file_node& node)
{
	return ops.listing_gives_md5 || (ops.listing_gives_properties && node.props_known);
}

bool
has_property_request(const protocol_ops& ops, const file_node& node)
{
	if (ops.listing_gives_properties && node.props_known)
		return false;
	return !ops.listing_gives_md5 || node.download;
}

void
build_property_batches(connection& conn, catalogue& cat, command_batches& batches, digest_cache& digests)
{
	for (int32_t i = 0; i < cat.count(); i++) {
		file_node& node = cat.file[i];
		if (md5_listed(*conn.ops, node)) {
			std::string local_path = *conn.path_target + node.path;
			// The mode and kind can be judged only when the listing
			// carried the properties inline.
			struct stat status;
			if (confirm_md5(node.md5, local_path, status, &digests) == 0 &&
			    (!node.props_known || !local_form_differs(node, status)))
				continue;
			node.download = 1;
		}
		if (has_property_request(*conn.ops, node))
			append_request(conn, batches, conn.ops->property_request(conn, node));
	}
}
