// The svn tree listing: get-dir commands in batches, level by level.  Files
// go into the catalogue; directories are made under the target and listed
// in their turn.

#include "svn/svn.h"

#include "local/local.h"
#include "transport/transport.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <err.h>

// The get-dir commands of one batch of the walk and how many there are.
struct listing_batch {
	std::string text;
	uint32_t commands = 0;
};

// One entry of a directory listing, kept until the whole batch has been
// read without a fault, so that a resent batch never adds anything twice.
struct listed_entry {
	bool is_file;
	std::string path;	// relative to the branch, beginning with "/"
	int64_t size;
};

// Reads the directory path of one get-dir command line: the string after
// "( get-dir ( ".  A line of another form ends the run.
static std::string
command_path(std::string_view line)
{
	static constexpr std::string_view prefix = "( get-dir ( ";

	if (line.substr(0, prefix.size()) != prefix)
		errx(1, "Error in response: %s\n", std::string(line).c_str());
	std::string text(line.substr(prefix.size()));
	svn_items items{text.data(), text.data() + text.size()};
	std::string_view path = svn_read_string(items);
	if (!items.ok)
		errx(1, "Error in response: %s\n", std::string(line).c_str());
	return std::string(path);
}

// Reads a file size; -1 when the text is not a decimal number.
static int64_t
read_size(std::string_view text)
{
	int64_t size = 0;

	if (text.empty() || text.size() > 18)
		return -1;
	for (char c : text) {
		if (c < '0' || c > '9')
			return -1;
		size = size * 10 + (c - '0');
	}
	return size;
}

void
check_listed_name(std::string_view name, const std::string& parent)
{
	if (name.size() >= 256)
		errx(1, "The server sent a file name that is too long (%zu bytes) in %s.  Quitting.", name.size(),
		    parent.empty() ? "/" : parent.c_str());
	check_repository_name(name);
}

// Reads one entry list ( name kind [size] ... ) into entries.  Returns
// false when the entry is malformed.
static bool
read_entry(svn_items& items, const std::string& parent, std::vector<listed_entry>& entries)
{
	svn_open_list(items);
	std::string_view name = svn_read_string(items);
	std::string_view kind = svn_read_word(items);
	if (!items.ok || !isalpha(static_cast<unsigned char>(kind[0])))
		return false;
	if (kind == "file" || kind == "dir") {
		check_listed_name(name, parent);
		int64_t size = 0;
		if (kind == "file" && (size = read_size(svn_read_word(items))) < 0)
			return false;
		entries.push_back({kind == "file", parent + "/" + std::string(name), size});
	}
	while (items.ok && !svn_close_list(items))
		svn_skip_item(items);
	return items.ok;
}

// Walks the entries of one get-dir answer group [group, group_end):
// ( success ( revision ( properties ) ( entry ... ) ... ) ).
static bool
read_entries(char* group, char* group_end, const std::string& parent, std::vector<listed_entry>& entries)
{
	svn_items items{group, group_end};

	svn_open_list(items);
	if (svn_read_word(items) != "success")
		return false;
	svn_open_list(items);
	svn_read_word(items);
	svn_skip_item(items);
	svn_open_list(items);
	while (items.ok && !svn_close_list(items))
		if (!read_entry(items, parent, entries))
			return false;
	return items.ok;
}

// Reads the answers of one batch, two groups each: the authentication
// request, judged with the answer, and the answer itself.  Returns false
// when an answer reports a failure or is malformed.
static bool
read_batch(connection& conn, const std::string& commands, const svn_answer& answer, std::vector<listed_entry>& entries)
{
	std::string_view lines = commands;

	for (size_t i = 0; i + 1 < answer.groups.size(); i += 2) {
		size_t newline = lines.find('\n');
		std::string parent = command_path(lines);
		lines.remove_prefix(newline == std::string_view::npos ? lines.size() : newline + 1);
		char* start = answer.groups[i].start;
		char* end = conn.response.end();
		const svn_group& own = answer.groups[i + 1];
		if (check_svn_response(start, end) != 0 || !read_entries(own.start, own.end, parent, entries))
			return false;
	}
	return true;
}

// Before a resend of a failed batch: a message from the third resend on,
// the end of the run after the sixth.
static void
announce_resend(int failures)
{
	if (failures > 6)
		errx(1, "Error in svn stream.  Quitting.");
	if (failures >= 3)
		fprintf(stderr, "Error in svn stream, retry #%d\n", failures - 1);
}

// Appends a directory's get-dir command to the newest batch, which closes
// once it has passed the limit.
static void
queue_directory(const connection& conn, const std::string& path, std::vector<listing_batch>& next)
{
	char head[64];

	if (next.empty() || next.back().text.size() > svn_batch_limit)
		next.emplace_back();
	listing_batch& batch = next.back();
	snprintf(head, sizeof(head), "( get-dir ( %zu:", path.size());
	batch.text += head;
	batch.text += path;
	snprintf(head, sizeof(head), " ( %d ) false true ( kind size ) false ) )\n", conn.revision);
	batch.text += head;
	batch.commands++;
}

// Takes the entries of a batch that was read whole: files into the
// catalogue, directories made locally and queued for the next level.
static void
take_entries(connection& conn, const std::vector<listed_entry>& entries, catalogue& cat, path_sets& sets, std::vector<listing_batch>& next)
{
	complete_local_scan(sets);
	for (const listed_entry& entry : entries) {
		if (entry.is_file) {
			clear_directory_for_file(conn, sets, entry.path);
			file_node& node = new_file_node(cat);
			node.path = entry.path;
			node.size = entry.size;
			continue;
		}
		make_branch_directory(conn, sets, entry.path, true);
		queue_directory(conn, entry.path, next);
	}
}

void
list_tree_svn(connection& conn, const std::string& commands, uint32_t count, catalogue& cat, path_sets& sets)
{
	std::vector<listed_entry> entries;
	int failures = 0;

	for (;;) {
		svn_answer answer = process_command_svn(conn, commands.c_str(), {2 * count});
		entries.clear();
		if (read_batch(conn, commands, answer, entries))
			break;
		announce_resend(++failures);
	}
	std::vector<listing_batch> next;
	take_entries(conn, entries, cat, sets, next);
	entries = {};
	// Every batch of the next level goes out at once, so the server never
	// waits between them; their answers are taken in the order of the walk.
	for (const listing_batch& batch : next)
		send_ahead_svn(conn, batch.text, 2 * batch.commands);
	for (listing_batch& batch : next) {
		list_tree_svn(conn, batch.text, batch.commands, cat, sets);
		batch.text = std::string();
	}
}
