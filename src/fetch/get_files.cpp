// The fetch loop: for each property batch, the properties of its files,
// the choice of what to download, then the download itself.

#include "fetch/fetch.h"

#include "local/local.h"
#include "progress/progress.h"
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

// The content requests of the files of one property batch that must be
// downloaded, in catalogue order, split where their answers grow large.
struct content_batch {
	std::string text;
	int32_t first = -1;
	int32_t last = -1;
	int32_t requests = 0;
	int64_t bytes = 0;
};

// Adds the file's content request to the newest content batch, opening a
// new one when the newest is full or its answers have grown large.
static void
queue_content(const connection& conn, const file_node& node, int32_t index, std::vector<content_batch>& contents)
{
	int64_t bytes = conn.ops->content_answer_bytes(conn, node);
	if (bytes > largest_answer)
		errx(1, "%s%s is too large to fetch (%lld bytes)", conn.path_target->c_str(), node.path.c_str(), static_cast<long long>(node.size));
	if (contents.empty() || contents.back().bytes > content_batch_bytes ||
	    conn.ops->batch_full(contents.back().text.size(), contents.back().requests))
		contents.emplace_back();
	content_batch& batch = contents.back();
	batch.text += conn.ops->content_request(conn, node);
	if (batch.first < 0)
		batch.first = index;
	batch.last = index;
	batch.requests++;
	batch.bytes += bytes;
}

// Passes over one file that has no property request: a file whose
// properties came with the listing and whose local copy differs has its
// content queued; the others are current and only shown in the progress
// line.
static void
pass_over(const connection& conn, const catalogue& cat, int32_t index, std::vector<content_batch>& contents)
{
	const file_node& node = cat.file[index];
	if (node.download)
		queue_content(conn, node, index, contents);
	if (conn.verbosity >= 2)
		show_progress(conn, node.path, index, cat.count());
}

// The next file that has a request in the batch; the files before it are
// passed over.
static int32_t
next_requested_file(const connection& conn, const catalogue& cat, int32_t index, std::vector<content_batch>& contents)
{
	while (index < cat.count() && !has_property_request(*conn.ops, cat.file[index]))
		pass_over(conn, cat, index++, contents);
	if (index >= cat.count())
		errx(1, "Error in stream: more answers than requested files");
	return index;
}

// The property phase of one batch: sends it, reads every file's
// properties, decides the downloads and queues their content requests.
static void
property_phase(connection& conn, catalogue& cat, digest_cache& digests, const request_batch& batch, int32_t& next_file, std::vector<content_batch>& contents)
{
	conn.ops->exchange_properties(conn, batch.text, batch.requests);
	char* cursor = conn.response.data();
	char* response_end = cursor + conn.response.length();
	for (int32_t k = 0; k < batch.requests; k++) {
		int32_t index = next_requested_file(conn, cat, next_file, contents);
		file_node& node = cat.file[index];
		std::string expansion;
		cursor = conn.ops->take_properties(conn, node, cursor, response_end, expansion);
		if (!expansion.empty())
			node.expansion = expansion;
		node.props_known = 1;
		std::string local_path = *conn.path_target + node.path;
		struct stat status;
		if (!node.download && (confirm_md5(node.md5, local_path, status, &digests) != 0 || local_form_differs(node, status)))
			node.download = 1;
		if (node.download)
			queue_content(conn, node, index, contents);
		if (conn.verbosity >= 2)
			show_progress(conn, node.path, index, cat.count());
		next_file = index + 1;
	}
}

// A batch's text and the number of groups of its answers (0: read by byte
// count).
struct batch_in_flight {
	const std::string* text;
	uint32_t groups;
};

// Keeps the batch about to be read, and the one after it, in flight where
// the protocol does so.
static void
keep_ahead(connection& conn, batch_in_flight current, batch_in_flight next)
{
	conn.ops->keep_ahead(conn, *current.text, current.groups, next.text, next.groups);
}

// Every property batch in turn: the properties, the download decisions and
// the content requests of the files that differ.
static void
property_pass(connection& conn, catalogue& cat, command_batches& batches, digest_cache& digests, std::vector<content_batch>& contents)
{
	int32_t next_file = 0;
	for (size_t i = 0; i < batches.size(); i++) {
		batch_in_flight next = {nullptr, 0};
		if (i + 1 < batches.size())
			next = {&batches[i + 1].text, 2 * static_cast<uint32_t>(batches[i + 1].requests)};
		keep_ahead(conn, {&batches[i].text, 2 * static_cast<uint32_t>(batches[i].requests)}, next);
		property_phase(conn, cat, digests, batches[i], next_file, contents);
	}
	for (int32_t i = next_file; i < cat.count(); i++)
		pass_over(conn, cat, i, contents);
}

// The content batches of every file to download, in catalogue order, as
// the property pass queues them.
static std::vector<content_batch>
queue_downloads(const connection& conn, const catalogue& cat)
{
	std::vector<content_batch> contents;
	for (int32_t i = 0; i < cat.count(); i++)
		if (cat.file[i].download)
			queue_content(conn, cat.file[i], i, contents);
	return contents;
}

// Hands the texts of the content batches to the protocol, where it spreads
// them over several connections; none ends the pass.
static void
spread_contents(connection& conn, const std::vector<content_batch>& contents)
{
	if (conn.ops->spread_contents == nullptr)
		return;
	std::vector<const std::string*> texts;
	for (const content_batch& batch : contents)
		texts.push_back(&batch.text);
	conn.ops->spread_contents(conn, texts);
}

// Every content batch in turn, its files verified and written.
static void
content_pass(connection& conn, catalogue& cat, const std::vector<content_batch>& contents)
{
	spread_contents(conn, contents);
	for (size_t j = 0; j < contents.size(); j++) {
		const content_batch& batch = contents[j];
		keep_ahead(conn, {&batch.text, 0}, {j + 1 < contents.size() ? &contents[j + 1].text : nullptr, 0});
		if (conn.verbosity >= 2)
			show_progress(conn, cat.file[batch.first].path, batch.first, cat.count());
		fetch_contents(conn, cat, batch.text, batch.first, batch.last);
	}
	spread_contents(conn, {});
}

// The texts of every file to download in one stream, where the protocol
// has one.  False when it has none or the stream failed; then the content
// batches fetch them all again on a fresh connection.
static bool
stream_downloads(connection& conn, catalogue& cat)
{
	if (conn.ops->stream_texts == nullptr)
		return false;
	std::vector<int32_t> files;
	for (int32_t i = 0; i < cat.count(); i++)
		if (cat.file[i].download)
			files.push_back(i);
	bool streamed = conn.ops->stream_texts(conn, cat, files, [&conn, &cat](int32_t index, std::string_view text) {
		file_node& node = cat.file[index];
		if (conn.verbosity >= 2)
			show_progress(conn, node.path, index, cat.count());
		write_fetched_file(conn, node, text.data());
	});
	if (!streamed) {
		reset_connection(conn);
		conn.ops->open(conn);
	}
	return streamed;
}

void
get_files(connection& conn, catalogue& cat, command_batches& batches, digest_cache& digests)
{
	std::vector<content_batch> contents;

	property_pass(conn, cat, batches, digests, contents);
	if (!contents.empty() && stream_downloads(conn, cat))
		return;
	// The batches were made before every size was known.
	if (!contents.empty() && conn.ops->learn_sizes != nullptr && conn.ops->learn_sizes(conn, cat))
		contents = queue_downloads(conn, cat);
	content_pass(conn, cat, contents);
}
