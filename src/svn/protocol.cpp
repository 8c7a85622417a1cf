// svn's side of the fetch: the get-file requests for properties and for
// contents, batches kept in flight, and where each answer's parts lie.

#include "svn/svn.h"

#include "local/local.h"
#include "transport/transport.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <err.h>

// A get-file request: properties only, or content only.
static std::string
get_file_request(const connection& conn, const file_node& node, bool properties)
{
	char tail[64];

	snprintf(tail, sizeof(tail), " ( %d ) %s ) )\n", conn.revision, properties ? "true false false" : "false true false");
	return "( get-file ( " + std::to_string(node.path.size()) + ":" + node.path + tail;
}

static std::string
property_request(const connection& conn, const file_node& node)
{
	return get_file_request(conn, node, true);
}

static std::string
content_request(const connection& conn, const file_node& node)
{
	return get_file_request(conn, node, false);
}

// A batch closes past svn_batch_limit bytes, whatever it holds.
static bool
batch_full(size_t bytes, int32_t)
{
	return bytes > svn_batch_limit;
}

// A file whose size is not known yet counts as empty until learn_sizes
// has asked for it.
static int64_t
content_answer_bytes(const connection& conn, const file_node& node)
{
	return svn_content_size(std::max<int64_t>(node.size, 0), conn.revision);
}

// Keeps the batch about to be read and the one after it in flight, so
// that the server works on the next batch while trelk handles the answers
// to this one, and its stream never waits for trelk between batches.
// After a fresh connection nothing is in flight, and the current batch
// goes first.
static void
keep_ahead(connection& conn, const std::string& current, uint32_t current_groups, const std::string* next, uint32_t next_groups)
{
	if (svn_state(conn).sent_ahead.empty())
		send_ahead_svn(conn, current, current_groups);
	if (next != nullptr)
		send_ahead_svn(conn, *next, next_groups);
}

static void
exchange_properties(connection& conn, const std::string& requests, int32_t count)
{
	process_command_svn(conn, requests.c_str(), {2 * static_cast<uint32_t>(count)});
}

// Ends the run on a property answer that reports a failure.
[[noreturn]] static void
property_failure(const char* text)
{
	report_command_failure(text);
	exit(1);
}

// Reads the properties of node from the answer at cursor.  Returns the
// first byte of the next answer.
static char*
take_properties(const connection& conn, file_node& node, char* cursor, char* response_end, std::string& expansion)
{
	char* end = response_end;
	if (check_svn_response(cursor, end) != 0)
		exit(1);
	char* close = svn_list_end(cursor, response_end);
	if (close == nullptr || strncmp(cursor, "( success ", 10) != 0)
		property_failure(cursor);
	read_svn_properties(cursor, close + 1, node, *conn.branch, expansion);
	if (node.md5[0] == '\0')
		errx(1, "Error in svn stream: no MD5 checksum for %s", node.path.c_str());
	return close + 2 < response_end ? close + 2 : response_end;
}

// Sets each file's raw_size, sends the batch and reads the answers by
// their exact length.  Returns the length of all answers.
static int64_t
receive_contents(connection& conn, catalogue& cat, const std::string& batch, int32_t first, int32_t last, std::string&)
{
	int64_t total = 0;
	uint32_t requests = 0;

	for (int32_t i = first; i <= last; i++) {
		file_node& node = cat.file[i];
		if (!node.download)
			continue;
		node.raw_size = svn_content_size(node.size, conn.revision);
		total += node.raw_size;
		requests++;
	}
	if (total > UINT32_MAX)
		errx(1, "Error in get_files: a content batch of %lld bytes is too large", static_cast<long long>(total));
	process_command_svn(conn, batch.c_str(), {2 * requests, static_cast<uint32_t>(total)});
	return total;
}

static char*
locate_content(connection&, file_node& node, char* region_start, char* region_end)
{
	char* start = region_start;
	char* end = region_end;

	if (check_svn_response(start, end) != 0)
		return nullptr;
	if (strncmp(start, "( success ", 10) != 0) {
		report_command_failure(start);
		return nullptr;
	}
	int64_t length = 0;
	char* data = join_svn_content(start, end, region_end, length);
	return data != nullptr && length == node.size ? data : nullptr;
}

// The stat request for the size of the file node at conn.revision.
static std::string
stat_request(const connection& conn, const file_node& node)
{
	return "( stat ( " + std::to_string(node.path.size()) + ":" + node.path + " ( " + std::to_string(conn.revision) +
	    " ) ) )\n";
}

// The size in a stat answer group ( success ( ( ( file size ... ) ) ) );
// -1 when it names no file or has another form.
static int64_t
stat_size(char* group, char* group_end)
{
	svn_items items{group, group_end};

	svn_open_list(items);
	if (svn_read_word(items) != "success")
		return -1;
	svn_open_list(items);
	svn_open_list(items);
	svn_open_list(items);
	std::string_view kind = svn_read_word(items);
	std::string_view text = svn_read_word(items);
	int64_t size = -1;
	// At most 18 digits, as in a listing, so that the size of its answer
	// cannot overflow before the file is found too large to fetch.
	if (!items.ok || kind != "file" || text.size() > 18 ||
	    std::from_chars(text.data(), text.data() + text.size(), size).ptr != text.data() + text.size())
		return -1;
	return size;
}

// Takes the sizes of the files asked, in order, from the stat answers of
// two groups each (the authentication request and the answer); a failed
// or malformed answer ends the run.
static void
take_sizes(connection& conn, catalogue& cat, const std::vector<int32_t>& asked, const svn_answer& answer)
{
	for (size_t i = 0; i < asked.size(); i++) {
		file_node& node = cat.file[asked[i]];
		char* start = answer.groups[2 * i].start;
		char* end = conn.response.end();
		if (check_svn_response(start, end) != 0)
			exit(1);
		const svn_group& own = answer.groups[2 * i + 1];
		if ((node.size = stat_size(own.start, own.end)) < 0)
			errx(1, "Error in svn stream: no size for %s", node.path.c_str());
	}
}

// Asks the size of every file to download that the listing gave none (a
// status listing gives no sizes, and the content answers are read by
// their length), in batches.  True when it asked for any.
static bool
learn_sizes(connection& conn, catalogue& cat)
{
	std::string batch;
	std::vector<int32_t> asked;
	bool any = false;

	for (int32_t i = 0; i <= cat.count(); i++) {
		if (i < cat.count() && cat.file[i].download && cat.file[i].size < 0) {
			batch += stat_request(conn, cat.file[i]);
			asked.push_back(i);
		}
		if (asked.empty() || (i < cat.count() && batch.size() <= svn_batch_limit))
			continue;
		take_sizes(conn, cat, asked, process_command_svn(conn, batch.c_str(), {2 * static_cast<uint32_t>(asked.size())}));
		batch.clear();
		asked.clear();
		any = true;
	}
	return any;
}

// The listing starts from the branch root, the one get-dir of the first
// batch.
static void
list(connection& conn, catalogue& cat, path_sets& sets)
{
	list_tree_svn(conn, root_get_dir_command(conn), 1, cat, sets);
}

const protocol_ops svn_protocol = {
	handshake_svn,
	list,
	false,
	true,
	property_request,
	content_request,
	batch_full,
	content_answer_bytes,
	keep_ahead,
	exchange_properties,
	take_properties,
	receive_contents,
	locate_content,
	stream_tree_svn,
	stream_texts_svn,
	read_delta_svn,
	true,
	list_branch_svn,
	learn_sizes,
	nullptr,
};
