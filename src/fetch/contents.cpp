// The content phase: one content batch sent, and each of its files found
// in its region of the answers, verified and written, from the last file
// to the first.

#include "fetch/fetch.h"

#include "dav/dav.h"
#include "local/local.h"
#include "svn/svn.h"
#include "transport/transport.h"

#include <cstdio>
#include <cstring>
#include <string>

#include <err.h>

// A failed batch is sent at most this many times in all.
static constexpr int content_attempts = 6;

// svn: sets each file's raw_size, sends the batch and reads the answers by
// their exact length.  Returns the length of all answers.
static int64_t
receive_svn_answers(connection& conn, catalogue& cat, const std::string& content_batch, int32_t first, int32_t last)
{
	int64_t total = 0;
	uint32_t requests = 0;

	for (int32_t i = first; i <= last; i++) {
		file_node& node = *cat.file[i];
		if (!node.download)
			continue;
		node.raw_size = svn_content_size(node.size, conn.revision);
		total += node.raw_size;
		requests++;
	}
	conn.expected_groups = 2 * requests;
	if (total > UINT32_MAX)
		errx(1, "Error in get_files: a content batch of %lld bytes is too large", static_cast<long long>(total));
	process_command_svn(conn, content_batch.c_str(), static_cast<uint32_t>(total));
	return total;
}

// WebDAV: the first answer that reports no success, taken in the order of
// the requests.  One that asking again cannot mend ends the run; the text
// of another ("GET href answered status") goes to refusal, and the attempt
// fails.  Returns false when an answer failed.
static bool
check_statuses(const connection& conn, const catalogue& cat, int32_t first, int32_t last, std::string& refusal)
{
	size_t k = 0;

	for (int32_t i = first; i <= last && k < conn.http_answers.size(); i++) {
		const file_node& node = *cat.file[i];
		if (!node.download)
			continue;
		const http_answer& answer = conn.http_answers[k++];
		if (answer.status >= 200 && answer.status <= 299)
			continue;
		if (!is_transient_status(answer.status))
			errx(1, "GET %s answered %s.  Quitting.", node.href.c_str(), answer.status_text.c_str());
		refusal = "GET " + node.href + " answered " + answer.status_text;
		return false;
	}
	return true;
}

// WebDAV: sends the batch, checks every answer's status, then measures
// each file's answer.  Returns the length of all answers, or -1 when an
// answer failed or they do not fit what was received.
static int64_t
receive_http_answers(connection& conn, catalogue& cat, const std::string& content_batch, int32_t first, int32_t last, std::string& refusal)
{
	int32_t requests = 0;
	for (int32_t i = first; i <= last; i++)
		requests += cat.file[i]->download;
	conn.expected_groups = 2 * requests;
	process_command_http(conn, content_batch.c_str());
	if (!check_statuses(conn, cat, first, last, refusal))
		return -1;
	const char* response = conn.response.get();
	int64_t total = size_webdav_answers(response, response + conn.response_length, cat, first, last);
	if (total < 0 || static_cast<uint64_t>(total) > conn.response_length)
		return -1;
	return total;
}

// Finds the data of one file in its region [region_start, region_end).
// Returns null when the answer failed or does not hold size bytes.
static char*
locate_data(const connection& conn, const file_node& node, char* region_start, char* region_end)
{
	char* start = region_start;
	char* end = region_end;

	if (conn.protocol != protocol_svn) {
		if (check_http_response(start, end) != 0 || start == nullptr)
			return nullptr;
		return region_end - node.size >= start ? region_end - node.size : nullptr;
	}
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

// Checks the data of a file against its MD5; a mismatch ends the run.
static void
verify(const connection& conn, const file_node& node, const char* data)
{
	std::string md5 = md5_hex(data, node.size);
	if (conn.verbosity >= 2) {
		printf("\r\x1b[0K\r");
		fflush(stdout);
	}
	if (md5 != node.md5)
		errx(1, "MD5 checksum mismatch: should be %s, calculated %s\n", node.md5, md5.c_str());
}

// One attempt at a content batch.  Returns false when an answer failed;
// refusal then names a GET whose status made it fail, if one did.
static bool
content_attempt(connection& conn, catalogue& cat, const std::string& content_batch, int32_t first, int32_t last, std::string& refusal)
{
	int64_t total = conn.protocol == protocol_svn ?
	    receive_svn_answers(conn, cat, content_batch, first, last) :
	    receive_http_answers(conn, cat, content_batch, first, last, refusal);
	if (total < 0)
		return false;
	char* base = conn.response.get();
	for (int32_t i = last; i >= first; i--) {
		file_node& node = *cat.file[i];
		if (!node.download)
			continue;
		if (node.raw_size < node.size || node.raw_size > total)
			return false;
		char* region_end = base + total;
		char* data = locate_data(conn, node, region_end - node.raw_size, region_end);
		if (data == nullptr)
			return false;
		verify(conn, node, data);
		write_file(conn, node, *conn.path_target + node.path, data, node.size);
		// Every search in the next region is bounded by its end; only a
		// failure message prints it up to a NUL, so one is put there.
		total -= node.raw_size;
		base[total] = '\0';
	}
	return true;
}

void
fetch_contents(connection& conn, catalogue& cat, const std::string& content_batch, int32_t batch_start, int32_t last_file)
{
	std::string refusal;

	for (int attempt = 0; attempt < content_attempts; attempt++) {
		if (attempt >= 2)
			fprintf(stderr, "Error in get files, retry #%d\n", attempt);
		refusal.clear();
		if (content_attempt(conn, cat, content_batch, batch_start, last_file, refusal))
			return;
	}
	if (!refusal.empty())
		errx(1, "%s.  Quitting.", refusal.c_str());
	errx(1, "Error in get_files.  Quitting.");
}
