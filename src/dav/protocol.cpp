// WebDAV's side of the fetch: PROPFIND and GET requests, and where each
// answer's parts lie.

#include "dav/dav.h"

#include "local/local.h"
#include "transport/transport.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include <err.h>

// A batch closes when it holds this many requests.
static constexpr int32_t batch_requests = 96;

// Room for the header of a GET answer when its size is estimated.
static constexpr int64_t header_room = 1024;

static std::string
property_request(const connection& conn, const file_node& node)
{
	return "PROPFIND " + node.href + " HTTP/1.1\r\nDepth: 1\r\nHost: " + server_authority(conn) + "\r\n\r\n";
}

static std::string
content_request(const connection& conn, const file_node& node)
{
	return "GET " + node.href + " HTTP/1.1\r\nHost: " + server_authority(conn) + "\r\n" + text_encoding_lines(conn, node) +
	    "Connection: Keep-Alive\r\n\r\n";
}

static bool
batch_full(size_t, int32_t requests)
{
	return requests >= batch_requests;
}

static int64_t
content_answer_bytes(const connection&, const file_node& node)
{
	return node.size + header_room;
}

// The next batch goes out right behind the current one, on the same
// connection, so that its answers follow without a round trip between.
// Batches spread over several connections are queued by the connection
// that carries them.
static void
keep_ahead(connection& conn, const std::string&, uint32_t, const std::string* next, uint32_t)
{
	if (conn.lanes)
		return;
	conn.http_queued = next != nullptr ? *next : std::string();
}

static void
exchange_properties(connection& conn, const std::string& requests, int32_t count)
{
	process_command_http(conn, requests.c_str(), static_cast<uint32_t>(count));
}

// Reads the properties of node from the answer at cursor, whose body ends
// with its multistatus element.  Returns the first byte of the next
// answer.
static char*
take_properties(const connection&, file_node& node, char* cursor, char* response_end, std::string& expansion)
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

// The first answer that reports no success, taken in the order of the
// requests.  One that asking again cannot mend ends the run; the text of
// another ("GET href answered status") goes to refusal, and the attempt
// fails.  Returns false when an answer failed.
static bool
check_statuses(const connection& conn, const catalogue& cat, int32_t first, int32_t last, std::string& refusal)
{
	size_t k = 0;

	for (int32_t i = first; i <= last && k < conn.http_answers.size(); i++) {
		const file_node& node = cat.file[i];
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

// Takes each file's size from the length of its answer's body: the
// listing may have given no size at all.
static void
take_sizes(const connection& conn, catalogue& cat, int32_t first, int32_t last)
{
	size_t k = 0;

	for (int32_t i = first; i <= last && k < conn.http_answers.size(); i++) {
		file_node& node = cat.file[i];
		if (node.download)
			node.size = static_cast<int64_t>(conn.http_answers[k++].length);
	}
}

// Sends the batch, checks every answer's status, then measures each
// file's answer.  Returns the length of all answers, or -1 when an answer
// failed or they do not fit what was received.
static int64_t
receive_contents(connection& conn, catalogue& cat, const std::string& batch, int32_t first, int32_t last, std::string& refusal)
{
	int32_t requests = 0;
	for (int32_t i = first; i <= last; i++)
		requests += cat.file[i].download;
	exchange_contents_http(conn, batch, static_cast<uint32_t>(requests));
	if (!check_statuses(conn, cat, first, last, refusal))
		return -1;
	take_sizes(conn, cat, first, last);
	const char* response = conn.response.data();
	int64_t total = size_webdav_answers(response, response + conn.response.length(), cat, first, last);
	if (total < 0 || static_cast<uint64_t>(total) > conn.response.length())
		return -1;
	return total;
}

// The body ends the region; a delta or a compressed body in it is
// decoded, and the text then lies in conn.http_text.  A region after a chunked body begins with the
// line end that closed it.
static char*
locate_content(connection& conn, file_node& node, char* region_start, char* region_end)
{
	while (region_start < region_end && (*region_start == '\r' || *region_start == '\n'))
		region_start++;
	char* start = region_start;

	if (check_http_response(start, region_end) != 0 || start == nullptr || region_end - node.size < start)
		return nullptr;
	char* body = region_end - node.size;
	std::string_view header(region_start, static_cast<size_t>(start - region_start));
	std::string_view data(body, static_cast<size_t>(node.size));
	if (take_delta_text(conn, node, header, data) || take_encoded_text(conn, node, header, data))
		return conn.http_text.data();
	return body;
}

const protocol_ops webdav_protocol = {
	discover_http,
	list_tree_http,
	true,
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
	nullptr,
	nullptr,
	read_delta_http,
	false,
	nullptr,
	nullptr,
	spread_contents_http,
};
