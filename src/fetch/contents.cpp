// The content phase: one content batch sent, and each of its files found
// in its region of the answers, verified and written, from the last file
// to the first.

#include "fetch/fetch.h"

#include "local/local.h"
#include "transport/transport.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <err.h>

// A failed batch is sent at most this many times in all.
static constexpr int content_attempts = 6;

void
verify_file_text(const connection& conn, const file_node& node, const char* data)
{
	std::string md5 = md5_hex(data, node.size);
	if (conn.verbosity >= 2) {
		printf("\r\x1b[0K\r");
		fflush(stdout);
	}
	if (md5 != node.md5)
		errx(1, "MD5 checksum mismatch: should be %s, calculated %s\n", node.md5, md5.c_str());
}

void
write_fetched_file(const connection& conn, file_node& node, const char* data)
{
	std::string local_path = *conn.path_target + node.path;
	struct stat status;

	verify_file_text(conn, node, data);
	write_file(conn, node, local_path, data, node.size);
	if (lstat(local_path.c_str(), &status) == 0)
		node.written = status_of(status);
}

// One attempt at a content batch.  Returns false when an answer failed;
// refusal then names a GET whose status made it fail, if one did.
static bool
content_attempt(connection& conn, catalogue& cat, const std::string& content_batch, int32_t first, int32_t last, std::string& refusal)
{
	int64_t total = conn.ops->receive_contents(conn, cat, content_batch, first, last, refusal);
	if (total < 0)
		return false;
	char* base = conn.response.data();
	for (int32_t i = last; i >= first; i--) {
		file_node& node = cat.file[i];
		if (!node.download)
			continue;
		if (node.raw_size < node.size || node.raw_size > total)
			return false;
		char* region_end = base + total;
		char* data = conn.ops->locate_content(conn, node, region_end - node.raw_size, region_end);
		if (data == nullptr)
			return false;
		write_fetched_file(conn, node, data);
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
