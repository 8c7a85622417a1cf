// The fetch loop: for each property batch, the properties of its files,
// the choice of what to download, then the download itself.

#include "fetch/fetch.h"

#include "dav/dav.h"
#include "local/local.h"
#include "progress/progress.h"
#include "svn/svn.h"
#include "transport/transport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <err.h>

// A content batch closes once its answers pass this many bytes, which
// bounds the response buffer.
static constexpr int64_t content_batch_bytes = int64_t(128) << 20;

// The largest answer one file may have: the readers count in 32 bits.
static constexpr int64_t largest_answer = (int64_t(1) << 31) - 1;

// Room for the header of a GET answer when its size is estimated.
static constexpr int64_t http_header_room = 1024;

// The content requests of the files of one property batch that must be
// downloaded, in catalogue order, split where their answers grow large.
struct content_batch {
	std::string text;
	int32_t first = -1;
	int32_t last = -1;
	int32_t requests = 0;
	int64_t bytes = 0;
};

// The content request of a file.
static std::string
content_request(const connection& conn, const file_node& node)
{
	if (conn.protocol == protocol_svn) {
		char tail[64];
		snprintf(tail, sizeof(tail), " ( %d ) false true false ) )\n", conn.revision);
		return "( get-file ( " + std::to_string(node.path.size()) + ":" + node.path + tail;
	}
	return "GET " + node.href + " HTTP/1.1\r\nHost: " + server_authority(conn) + "\r\nConnection: Keep-Alive\r\n\r\n";
}

// How many bytes the file's content answer will take, about.
static int64_t
answer_bytes(const connection& conn, const file_node& node)
{
	if (conn.protocol == protocol_svn)
		return svn_content_size(node.size, conn.revision);
	return node.size + http_header_room;
}

// Adds the file's content request to the newest content batch, opening a
// new one when the newest is full or its answers have grown large.
static void
queue_content(const connection& conn, const file_node& node, int32_t index, std::vector<content_batch>& contents)
{
	int64_t bytes = answer_bytes(conn, node);
	if (bytes > largest_answer)
		errx(1, "%s%s is too large to fetch (%lld bytes)", conn.path_target->c_str(), node.path.c_str(), static_cast<long long>(node.size));
	if (contents.empty() || contents.back().bytes > content_batch_bytes ||
	    batch_limit_reached(conn, contents.back().text.size(), contents.back().requests))
		contents.emplace_back();
	content_batch& batch = contents.back();
	batch.text += content_request(conn, node);
	if (batch.first < 0)
		batch.first = index;
	batch.last = index;
	batch.requests++;
	batch.bytes += bytes;
}

// Over WebDAV, the next file that has a request in the batch: the files
// passed over are current and only shown in the progress line.
static int32_t
next_requested_file(const connection& conn, const catalogue& cat, int32_t index)
{
	while (index < cat.file_count && !cat.file[index]->download) {
		if (conn.verbosity >= 2)
			show_progress(conn, cat.file[index]->path, index, cat.file_count);
		index++;
	}
	if (index >= cat.file_count)
		errx(1, "Error in http stream: more answers than requested files");
	return index;
}

// Ends the run on a property answer that reports a failure.
[[noreturn]] static void
property_failure(const char* text)
{
	report_command_failure(text);
	exit(1);
}

// svn: reads the properties of node from the answer at cursor.  Returns
// the first byte of the next answer.
static char*
take_svn_properties(const connection& conn, file_node& node, char* cursor, char* response_end, std::string& expansion)
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

// WebDAV: reads the properties of node from the answer at cursor, whose
// body ends with its multistatus element.  Returns the first byte of the
// next answer.
static char*
take_webdav_properties(const connection& conn, file_node& node, char* cursor, char* response_end, std::string& expansion)
{
	static constexpr std::string_view closing = "</D:multistatus>";

	char* end = response_end;
	char* answer = cursor;
	if (check_http_response(cursor, end) != 0 || cursor == nullptr)
		exit(1);
	std::string_view rest(cursor, response_end - cursor);
	size_t tag = rest.find(closing);
	if (tag == std::string_view::npos)
		errx(1, "Error in http stream: %s\n", answer);
	char* part_end = cursor + tag + closing.size();
	char saved = *part_end;
	*part_end = '\0';
	read_webdav_properties(cursor, part_end, node, expansion);
	*part_end = saved;
	while (part_end < response_end && (*part_end == '\r' || *part_end == '\n' || *part_end == ' '))
		part_end++;
	return part_end;
}

// The property phase of one batch: sends it, reads every file's
// properties, decides the downloads and queues their content requests.
static void
property_phase(connection& conn, catalogue& cat, const std::string& requests, int32_t count, int32_t& next_file, std::vector<content_batch>& contents)
{
	conn.expected_groups = 2 * count;
	if (conn.protocol == protocol_svn)
		process_command_svn(conn, requests.c_str(), 0);
	else
		process_command_http(conn, requests.c_str());
	char* cursor = conn.response.get();
	char* response_end = cursor + conn.response_length;
	for (int32_t k = 0; k < count; k++) {
		int32_t index = conn.protocol == protocol_svn ? next_file : next_requested_file(conn, cat, next_file);
		if (index >= cat.file_count)
			errx(1, "Error in svn stream: more answers than files");
		file_node& node = *cat.file[index];
		std::string expansion;
		if (conn.protocol == protocol_svn)
			cursor = take_svn_properties(conn, node, cursor, response_end, expansion);
		else
			cursor = take_webdav_properties(conn, node, cursor, response_end, expansion);
		if (!expansion.empty())
			node.expansion = expansion;
		std::string local_path = *conn.path_target + node.path;
		struct stat status;
		if (!node.download && (confirm_md5(node.md5, local_path, status) != 0 || local_form_differs(node, status)))
			node.download = 1;
		if (node.download)
			queue_content(conn, node, index, contents);
		if (conn.verbosity >= 2)
			show_progress(conn, node.path, index, cat.file_count);
		next_file = index + 1;
	}
}

// A batch's text and the number of groups of its answers (0: read by byte
// count).
struct batch_in_flight {
	const std::string* text;
	uint32_t groups;
};

// svn: keeps the batch about to be read and the one after it in flight, so
// that the server works on the next batch while trelk handles the answers
// to this one, and its stream never waits for trelk between batches.  After
// a fresh connection nothing is in flight, and the current batch goes
// first.  WebDAV sends each batch when it reads it.
static void
keep_ahead(connection& conn, batch_in_flight current, batch_in_flight next)
{
	if (conn.protocol != protocol_svn)
		return;
	if (conn.sent_ahead.empty())
		send_ahead_svn(conn, *current.text, current.groups);
	if (next.text != nullptr)
		send_ahead_svn(conn, *next.text, next.groups);
}

// Every property batch in turn: the properties, the download decisions and
// the content requests of the files that differ.
static void
property_pass(connection& conn, catalogue& cat, command_batches& batches, std::vector<content_batch>& contents)
{
	int32_t count = 0;
	while (count <= batches.last_buffer && batches.buffer_commands[count] != 0)
		count++;
	int32_t next_file = 0;
	for (int32_t i = 0; i < count; i++) {
		batch_in_flight next = {nullptr, 0};
		if (i + 1 < count)
			next = {&batches.buffer[i + 1], 2 * static_cast<uint32_t>(batches.buffer_commands[i + 1])};
		keep_ahead(conn, {&batches.buffer[i], 2 * static_cast<uint32_t>(batches.buffer_commands[i])}, next);
		property_phase(conn, cat, batches.buffer[i], batches.buffer_commands[i], next_file, contents);
	}
	if (conn.verbosity >= 2)
		for (int32_t i = next_file; i < cat.file_count; i++)
			show_progress(conn, cat.file[i]->path, i, cat.file_count);
}

// Every content batch in turn, its files verified and written.
static void
content_pass(connection& conn, catalogue& cat, const std::vector<content_batch>& contents)
{
	for (size_t j = 0; j < contents.size(); j++) {
		const content_batch& batch = contents[j];
		keep_ahead(conn, {&batch.text, 0}, {j + 1 < contents.size() ? &contents[j + 1].text : nullptr, 0});
		if (conn.verbosity >= 2)
			show_progress(conn, cat.file[batch.first]->path, batch.first, cat.file_count);
		fetch_contents(conn, cat, batch.text, batch.first, batch.last);
	}
}

void
get_files(connection& conn, catalogue& cat, command_batches& batches)
{
	std::vector<content_batch> contents;

	property_pass(conn, cat, batches, contents);
	content_pass(conn, cat, contents);
}
