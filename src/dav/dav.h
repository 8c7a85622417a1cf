// WebDAV protocol: reading pipelined HTTP answers, the OPTIONS discovery and
// the update report, and the PROPFIND and GET answers.
#pragma once

#include "transport/transport.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct catalogue;
struct file_node;
struct path_sets;

// Sends one request text (possibly many pipelined requests) on the kept
// connection, or a new one when the server has closed it, and reads the
// answers to them (0: sends and reads nothing back) into conn.response,
// chunk framing removed in place, and the status, place and body length of
// every answer into conn.http_answers.  Requests a closing server left
// unanswered go again on a new connection; a connection that ends without
// a new answer is a failed attempt, six of which end the run.
void process_command_http(connection& conn, const char* request, uint32_t answers);

// The same for one request whose failure the caller can go on from: false,
// the connection dropped, when a fresh connection ends before its answer is
// whole, instead of asking again.
bool exchange_once_http(connection& conn, const char* request, uint32_t answers);

// What the reader expects next where bytes_expected points.
enum class body_state {
	none,		// a status line
	length,		// the rest of a Content-Length body
	chunked,	// a chunk-size line
	trailer,	// the end of a chunked body after its last chunk
};

// Where the framing of one attempt's answers stands: what it has taken
// apart, and what it expects next.
struct http_read {
	uint32_t units_expected = 0;	// two per answer: its header and its body
	uint32_t units = 0;		// headers and complete bodies
	int64_t bytes_expected = 0;	// where the next thing begins
	body_state body = body_state::none;
	bool first_chunk = false;	// the next chunk follows the header
	bool failure_answer = false;	// an answer with a status other than 2xx
	bool closes_after = false;	// the answer being read ends the connection
	bool server_closes = false;	// a complete answer said the server closes
	uint32_t answered = 0;		// complete answers
	int64_t answered_end = 0;	// where the last complete answer ends
};

// Takes apart every header, body and chunk of the answers that response
// holds past what r has taken: chunk framing removed in place, each
// answer's status and bounds appended to answers.  Stops when more bytes
// are needed, every expected unit is counted, or an answer said that the
// server closes.  It does no I/O, so that it is tested and fuzzed apart from
// the socket; framing that is not HTTP's ends the run.
void take_http_answers(response_buffer& response, std::vector<http_answer>& answers, http_read& r);

// Writes request on the kept connection, or a new one, as if an exchange
// had written it ahead: the next process_command_http of the same request
// text reads its answers, and answers read meanwhile go to
// conn.http_carried.  A server that has closed leaves it unsent, for that
// exchange to send.
void send_ahead_http(connection& conn, const std::string& request);

// Content batches over several connections (http_connections=).

// Takes the texts of the content pass's batches in order: batch j goes on
// connection j mod http_connections, the run's own as the first, the
// others opened as their first batch is written; the first batch of each
// is written at once.  An empty list closes the others.  Fewer than two
// batches, or one connection, leave every batch on conn.
void spread_contents_http(connection& conn, const std::vector<const std::string*>& batches);

// As process_command_http for a content batch: on the connection the batch
// went on, with its next batch there written behind it, the answers
// arriving meanwhile on the others read into their keeping.  The answers
// end up in conn.response and conn.http_answers all the same.  A batch
// not spread goes on conn.
void exchange_contents_http(connection& conn, const std::string& batch, uint32_t answers);

// How an HTTP header delimits its body.
struct body_framing {
	enum { none, content_length, chunked } kind = none;
	int64_t length = 0;
};

// Finds how the header (status line through blank line) frames its body:
// a Transfer-Encoding whose last coding is chunked wins over any
// Content-Length.  A malformed Content-Length ends the run.
body_framing read_framing(std::string_view header);

// The value of the first field name (any case) in the header, status
// line through blank line, blanks trimmed; nullopt when it has none.
std::optional<std::string_view> header_field(std::string_view header, std::string_view name);

// True when a GET answered with this status may succeed when asked again:
// a server error (5xx), a request timeout (408) or too many requests (429).
bool is_transient_status(int status);

// What the run and the fetch ask of WebDAV.
extern const protocol_ops webdav_protocol;

// Judges the HTTP answer at start: 0 for success, 1 for a 4xx or 5xx
// status or a 2xx answer without its header's end (reported on standard
// error with report_command_failure).  Moves start to the body of a 2xx
// answer.  Never ends the run.
int check_http_response(char*& start, char* end);

// OPTIONS on the branch: learns the latest revision (when none was asked
// for), the repository root and the branch's path below it (trunk).
void discover_http(connection& conn);

// The update report for the whole branch: creates its directories under the
// target, takes them out of local_dir_set, and appends every file, with its
// href, MD5 and path, to the catalogue; with the properties set inline (the
// server's inline-props), also its executable and special flags and its
// "$FreeBSD$" expansion, and props_known.
void list_tree_http(connection& conn, catalogue& cat, path_sets& sets);

// The header lines every WebDAV request with an XML body carries, from
// the request line through Transfer-Encoding.
std::string request_head(const connection& conn, const std::string& request_line);

// Frames data as one chunk followed by the last chunk.
std::string one_chunk(std::string_view data);

// The URL the update reports go to: the repository's "!svn/me".
std::string report_target(const connection& conn);

// Ends the run unless href can go into a request line as it is.
void check_href(const std::string& href);

// The decoded path below the branch of a report href ("/bin/ls"), every
// name checked so that it names a place inside the target; the run ends
// when the href lies outside the branch or names the branch itself.
std::string relative_path(const std::string& href, const std::string& trunk);

// The update report of what changed between revision from and
// conn.revision, for a tree at from that lacks the paths missing
// (relative to the target).
std::string delta_request(const connection& conn, int32_t from, const std::vector<std::string>& missing);

// Reads the body of a delta update report into delta; conn.trunk is trunk.
// False, the reason in reason, when the body is cut short, is no XML or
// leaves out what a file needs (its href, its MD5).  A name that would
// leave the target ends the run.
bool parse_delta_report(std::string_view body, const std::string& trunk, tree_delta& delta, std::string& reason);

// The WebDAV read_delta: sends delta_request and parses its answer.
// False, the reason on standard error, when the answer failed or was cut
// short.
bool read_delta_http(connection& conn, int32_t from, const std::vector<std::string>& missing, tree_delta& delta);

// The text of the first element named tag at or after start, entities
// decoded, never reading at or past end; nullopt when it is missing.
std::optional<std::string> parse_xml_value(const char* start, const char* end, std::string_view tag);

// Decodes base64 text; characters that are no digits (line ends, "=")
// are passed over.
std::string base64_decoded(std::string_view text);

// Replaces the XML entities (&lt; &gt; &amp; &quot; &apos; and numeric
// references) in text.
void decode_xml_entities(std::string& text);

// Replaces every "%" followed by two hexadecimal digits by that byte; a
// decoded byte is never decoded again, and a lone "%" stays as it is.
void percent_decode(std::string& text);

// Takes size, the executable and special flags and the expansion text from
// one file's part of the PROPFIND answers [part, part_end).
void read_webdav_properties(const char* part, const char* part_end, file_node& node, std::string& expansion);

// The header lines of a GET that ask for node's text as a delta against
// its local copy: empty unless the delta named the file's base and the
// local copy, as the repository would hold it, has the base's MD5.
std::string base_delta_lines(const connection& conn, const file_node& node);

// The header lines of a GET for node's text: those of base_delta_lines
// when it has any, otherwise the request for a gzip-compressed body.
std::string text_encoding_lines(const connection& conn, const file_node& node);

// Takes a GET answer (its header and body) whose body is compressed
// (Content-Encoding gzip): inflates it into conn.http_text, sets
// node.size and returns true.  False for a body sent as it is.  A broken
// gzip body, or one in a coding never asked for, ends the run naming the
// file.
bool take_encoded_text(connection& conn, file_node& node, std::string_view header, std::string_view body);

// Takes a GET answer (its header and body) whose body is an svndiff
// against node's base: decodes it against the local copy into
// conn.http_text, sets node.size and returns true.  False for an answer
// that holds the text itself.  A broken delta, or a local copy that no
// longer holds the base, ends the run naming the file.
bool take_delta_text(connection& conn, file_node& node, std::string_view header, std::string_view body);

// Measures the answers of one GET batch: sets raw_size of every file from
// first to last (catalogue indexes) whose download flag is set and returns
// the offset at which the last body ends.  Returns -1 when the answers end
// before some file's body (that file and the later ones get raw_size 0):
// the batch must then be sent again.
int64_t size_webdav_answers(const char* response, const char* response_end, catalogue& cat, int32_t first, int32_t last);
