// Fetch: bounded batches of requests, and the loop that asks for properties,
// decides what to download, and downloads, verifies and writes.
#pragma once

#include "transport/transport.h"

#include <sys/stat.h>

#include <time.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct catalogue;
struct file_node;
struct path_sets;

// One request text, sent in one piece, and how many requests it holds.
struct request_batch {
	std::string text;
	int32_t requests = 0;
};

// The property batches of a run; only the newest receives requests.
using command_batches = std::vector<request_batch>;

// True when node gets a property request: none when the listing gave its
// properties, otherwise every file when the listing gives no MD5, and
// only the files whose local copy differs when it does.
bool has_property_request(const protocol_ops& ops, const file_node& node);

// One property request per catalogue file that has_property_request names
// (when the listing gives MD5s, those files get download set), in batches
// that close where the protocol's batch_full says.
void build_property_batches(connection& conn, catalogue& cat, command_batches& batches, digest_cache& digests);

// True when the local copy, as lstat gave its status (all zero: missing),
// is not of the node's form: a link where a file belongs or the reverse,
// or a mode other than 0755 or 0644 as the executable flag says.
bool local_form_differs(const file_node& node, const struct stat& status);

// Works through the batches: first the properties of every file and the
// download decision, then the content of the files that differ, verified
// and written.  Where the protocol keeps batches in flight, the next batch
// is always written before the answers in front of it are read.
void get_files(connection& conn, catalogue& cat, command_batches& batches, digest_cache& digests);

// Sends one content batch and verifies and writes its files, from last to
// batch_start; failed answers resend the batch, up to six attempts.
void fetch_contents(connection& conn, catalogue& cat, const std::string& content_batch, int32_t batch_start, int32_t last_file);

// Checks the data of a file (node.size bytes) against its MD5; a mismatch
// ends the run.
void verify_file_text(const connection& conn, const file_node& node, const char* data);

// Verifies and writes one fetched file (node.size bytes of data) and keeps
// the status of the copy written in node.written.
void write_fetched_file(const connection& conn, file_node& node, const char* data);

// True when this run can take every text in one stream: the protocol has
// one, and the target holds nothing and no list names a file, so there is
// nothing local to compare.
bool can_stream_tree(const connection& conn, const path_sets& sets);

// Fetches the whole branch in one stream where can_stream_tree said so:
// every file verified and written as it arrives, and in the catalogue.
// False when the stream failed; the caller then goes on with the full run,
// which keeps what was written and fetches the rest.
bool stream_files(connection& conn, catalogue& cat, path_sets& sets);

// After a failed stream: empties the catalogue and opens the repository
// again on a fresh connection, for the full run.
void reopen_for_full_run(connection& conn, catalogue& cat);

// Lists the branch for the full run: in one stream where the protocol has
// one and stream_listing= allows it, and when that fails, with its listing
// on a fresh connection.  The
// directories the stream made stay; its files leave the catalogue.
void list_branch(connection& conn, catalogue& cat, path_sets& sets);

// The state the last run left, when this run can start from it: the
// protocol has a delta, no full check was asked for, and the state names
// the repository the server opened, the branch, and exactly the files and
// MD5s of the known-files list.
std::optional<tree_state> usable_tree_state(const connection& conn, const known_path_set& known_set);

// Brings the tree from the state's revision to conn.revision: the local
// check, the delta with the drifted files asked for whole, the texts of
// what changed, the modes of what changed mode alone, and the catalogue of
// the whole branch for the known-files list.  False when the server's
// delta or its texts failed; the full run then follows.
bool update_from_state(connection& conn, catalogue& cat, path_sets& sets, tree_state& state);

// The state of the tree at the end of a complete run, from the catalogue
// and the directories made or found; nullopt when the server named no
// repository UUID or some file's properties are not known.
std::optional<tree_state> record_tree_state(const connection& conn, const catalogue& cat, const path_sets& sets, const struct timespec& run_start);

// Installs the state written for this run, or removes the last run's when
// this run left none: it no longer describes the tree.
void keep_tree_state(const connection& conn, const std::optional<tree_state>& state);
