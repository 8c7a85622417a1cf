// The HTTP reader: sends a pipelined batch of requests and reads every
// answer into the one response buffer.  Each answer is recognised by the
// status line where the previous one ended and framed by its own header;
// chunk framing is taken out in place, so that every body lies in one
// piece right after its header's blank line.  The connection is kept for
// the next batch while the server keeps it open; when the server closes it
// part way (its keep-alive budget spent, or a failure), the requests not
// yet answered are sent again on a new one.

#include "dav/dav.h"
#include "transport/transport.h"

#include <err.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

// Offsets into the buffer are signed 32-bit: one exchange stays below 2 GiB.
static constexpr int64_t answers_limit = INT32_MAX;
// Attempts of one request text before the run gives up.
static constexpr int attempt_limit = 6;
// The most bytes taken in by one read.
static constexpr size_t read_limit = 1 << 20;
// A chunk-size line longer than this is not one.
static constexpr size_t chunk_line_limit = 1024;
// The most request bytes written ahead of reading: the socket buffers of
// both ends hold them even while the server is busy writing answers, so the
// write never waits on a server that waits for its answers to be read.
static constexpr size_t ahead_limit = 32768;

// How an attempt on one connection ended.
enum class read_outcome {
	complete,	// every unit is counted
	closing,	// the server said it closes after the answers read so far
	ended,		// the server closed, or a read failed, before the end
};

[[noreturn]] static void
bad_stream_data()
{
	errx(1, "process_command_http: Bad stream data");
}

[[noreturn]] static void
bad_chunk_data()
{
	errx(1, "process_command_http: Bad stream data ");
}

// Empties the response: clears what the last exchange used and keeps the
// zero byte after the (no) received bytes.
static void
clear_response(connection& conn)
{
	memset(conn.response.data(), 0, conn.response.length() + 1);
	conn.response.set_length(0);
}

// Makes sure a connection is open for the next request: the one kept from
// the last exchange while the server has not closed it, or a new one.
// Returns true when the connection is new.
static bool
open_for_request(connection& conn)
{
	if (conn.http_kept_open && !idle_connection_ended(conn))
		return false;
	conn.http_kept_open = false;
	reset_connection(conn);
	return true;
}

// Adds count to bytes_expected; the sum must stay a valid offset.
static void
expect_more(http_read& r, int64_t count, void (*on_overflow)())
{
	if (count < 0 || count > answers_limit - r.bytes_expected)
		on_overflow();
	r.bytes_expected += count;
}

// Takes count bytes at offset at out of the received bytes, moving the
// rest (and the zero byte after it) down, and clears the vacated tail.
static void
remove_bytes(response_buffer& response, size_t at, size_t count)
{
	char* data = response.data();
	size_t old_length = response.length();

	memmove(data + at, data + at + count, old_length - at - count + 1);
	response.set_length(old_length - count);
	memset(data + old_length - count + 1, 0, count);
}

// True when line begins with the header field name (any case) and its colon.
static bool
is_field(std::string_view line, std::string_view name)
{
	return line.size() > name.size() && line[name.size()] == ':' &&
	    strncasecmp(line.data(), name.data(), name.size()) == 0;
}

// The value of a header field line, blanks trimmed.
static std::string_view
field_value(std::string_view line)
{
	std::string_view value = line.substr(line.find(':') + 1);
	while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
		value.remove_prefix(1);
	while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
		value.remove_suffix(1);
	return value;
}

// Reads a Content-Length value: decimal digits only, below 2 GiB.
static int64_t
content_length(std::string_view value)
{
	int64_t length = 0;

	if (value.empty())
		bad_stream_data();
	for (char c : value) {
		if (c < '0' || c > '9')
			bad_stream_data();
		length = length * 10 + (c - '0');
		if (length > answers_limit)
			bad_stream_data();
	}
	return length;
}

// True when a Transfer-Encoding value ends in the chunked coding: the
// codings are a comma-separated list of tokens, any case, and chunked
// frames the body only as the last of them.
static bool
names_chunked(std::string_view value)
{
	size_t comma = value.rfind(',');
	std::string_view last = comma == std::string_view::npos ? value : value.substr(comma + 1);
	while (!last.empty() && (last.front() == ' ' || last.front() == '\t'))
		last.remove_prefix(1);
	while (!last.empty() && (last.back() == ' ' || last.back() == '\t'))
		last.remove_suffix(1);
	return last.size() == 7 && strncasecmp(last.data(), "chunked", 7) == 0;
}

// Calls take with each field line of an answer's header, the status line
// left out, until take returns true.  Each field line ends with CRLF; text
// after the last one is no field.
template <typename Take>
static void
for_each_field(std::string_view header, Take take)
{
	size_t at = header.find("\r\n");

	while (at != std::string_view::npos && at + 2 < header.size()) {
		size_t eol = header.find("\r\n", at + 2);
		if (eol == std::string_view::npos)
			break;
		std::string_view line = header.substr(at + 2, eol - at - 2);
		at = eol;
		if (take(line))
			return;
	}
}

std::optional<std::string_view>
header_field(std::string_view header, std::string_view name)
{
	std::optional<std::string_view> found;

	for_each_field(header, [&](std::string_view line) {
		if (is_field(line, name))
			found = field_value(line);
		return found.has_value();
	});
	return found;
}

body_framing
read_framing(std::string_view header)
{
	body_framing framing;
	bool chunked = false;

	for_each_field(header, [&](std::string_view line) {
		if (is_field(line, "Content-Length") && framing.kind == body_framing::none) {
			framing.kind = body_framing::content_length;
			framing.length = content_length(field_value(line));
		}
		if (is_field(line, "Transfer-Encoding"))
			chunked = names_chunked(field_value(line));
		return false;
	});
	// Chunked coding wins over a Content-Length (RFC 9112, section 6.3).
	if (chunked) {
		framing.kind = body_framing::chunked;
		framing.length = 0;
	}
	return framing;
}

// The status code of a status line ("HTTP/1.1 404 Not Found": 404), 0
// when it has none.
static int
status_code(std::string_view line)
{
	size_t blank = line.find(' ');
	if (blank == std::string_view::npos || line.size() < blank + 4)
		return 0;
	int code = 0;
	for (size_t i = blank + 1; i < blank + 4; i++) {
		if (line[i] < '0' || line[i] > '9')
			return 0;
		code = code * 10 + (line[i] - '0');
	}
	return code;
}

// True when the status line reports success (2xx).
static bool
is_success_status(std::string_view header)
{
	size_t blank = header.find(' ');
	return blank != std::string_view::npos && blank + 1 < header.size() && header[blank + 1] == '2';
}

bool
is_transient_status(int status)
{
	return (status >= 500 && status <= 599) || status == 408 || status == 429;
}

// True when the server ends the connection after this answer: it says
// "Connection: close", or it speaks HTTP/1.0 without asking to keep alive.
static bool
closes_connection(std::string_view header)
{
	bool old_version = header.compare(0, 9, "HTTP/1.0 ") == 0;
	bool keep_alive = false;
	bool close = false;

	for_each_field(header, [&](std::string_view line) {
		if (!is_field(line, "Connection"))
			return false;
		std::string_view value = field_value(line);
		for (size_t i = 0; i + 5 <= value.size(); i++)
			if (strncasecmp(value.data() + i, "close", 5) == 0)
				close = true;
		for (size_t i = 0; i + 10 <= value.size(); i++)
			if (strncasecmp(value.data() + i, "keep-alive", 10) == 0)
				keep_alive = true;
		return close;
	});
	return close || (old_version && !keep_alive);
}

// Counts the body of the answer being read as complete; its data ends at
// data_end.
static void
finish_answer(std::vector<http_answer>& answers, http_read& r, int64_t data_end)
{
	http_answer& answer = answers.back();
	answer.length = static_cast<uint64_t>(data_end) - answer.body;
	r.units++;
	r.body = body_state::none;
	r.answered++;
	r.answered_end = r.bytes_expected;
	if (r.closes_after)
		r.server_closes = true;
}

// Records the answer whose header [start, start + length) was just taken.
static void
record_answer(std::vector<http_answer>& answers, size_t start, std::string_view header)
{
	http_answer answer;
	std::string_view line = header.substr(0, header.find("\r\n"));

	answer.status = status_code(line);
	size_t blank = line.find(' ');
	// The status text goes into messages: the server's control characters
	// are shown escaped, never sent to a terminal.
	answer.status_text = printable_text(blank == std::string_view::npos ? line : line.substr(blank + 1));
	answer.start = start;
	answer.body = start + header.size();
	answers.push_back(std::move(answer));
}

// Takes the header that begins at bytes_expected, once it is complete.
// Returns false when more bytes are needed.
static bool
take_header(response_buffer& response, std::vector<http_answer>& answers, http_read& r)
{
	std::string_view data = response.view();
	size_t start = static_cast<size_t>(r.bytes_expected);

	if (data.size() - start >= 5 && data.compare(start, 5, "HTTP/") != 0)
		bad_stream_data();
	size_t blank = data.find("\r\n\r\n", start);
	if (blank == std::string_view::npos)
		return false;
	std::string_view header = data.substr(start, blank + 4 - start);
	// The blank line may come before five bytes have: without a status
	// line in front of it, it is no header.
	if (header.compare(0, 5, "HTTP/") != 0)
		bad_stream_data();
	if (!is_success_status(header))
		r.failure_answer = true;
	r.closes_after = closes_connection(header);
	record_answer(answers, start, header);
	body_framing framing = read_framing(header);
	expect_more(r, static_cast<int64_t>(header.size()), bad_stream_data);
	r.units++;
	if (framing.kind == body_framing::chunked) {
		r.body = body_state::chunked;
		r.first_chunk = true;
	} else if (framing.kind == body_framing::content_length) {
		expect_more(r, framing.length, bad_stream_data);
		r.body = body_state::length;
	} else {
		// Without framing the answer has no body (a 204, say).
		finish_answer(answers, r, r.bytes_expected);
	}
	return true;
}

// Counts a Content-Length body once all its bytes are in.
static bool
take_length_body(const response_buffer& response, std::vector<http_answer>& answers, http_read& r)
{
	if (static_cast<int64_t>(response.length()) < r.bytes_expected)
		return false;
	finish_answer(answers, r, r.bytes_expected);
	return true;
}

// Reads a chunk-size line (extensions after ";" ignored): hexadecimal,
// below 2 GiB.
static int64_t
chunk_size(std::string_view line)
{
	line = line.substr(0, line.find(';'));
	while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
		line.remove_prefix(1);
	while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
		line.remove_suffix(1);
	if (line.empty())
		bad_chunk_data();
	int64_t size = 0;
	for (char c : line) {
		int digit;
		if (c >= '0' && c <= '9')
			digit = c - '0';
		else if (c >= 'a' && c <= 'f')
			digit = c - 'a' + 10;
		else if (c >= 'A' && c <= 'F')
			digit = c - 'A' + 10;
		else
			bad_chunk_data();
		size = size * 16 + digit;
		if (size > answers_limit)
			bad_chunk_data();
	}
	return size;
}

// Takes the framing of the next chunk out of the buffer: the CRLF that
// ends the previous chunk's data (none before the first chunk), the size
// line and its CRLF.  Returns false when more bytes are needed.
static bool
take_chunk(response_buffer& response, http_read& r)
{
	std::string_view data = response.view();
	size_t marker = static_cast<size_t>(r.bytes_expected);
	size_t line = marker;

	if (!r.first_chunk) {
		if (data.size() < marker + 2)
			return false;
		if (data.compare(marker, 2, "\r\n") != 0)
			bad_chunk_data();
		line += 2;
	}
	size_t eol = data.find("\r\n", line);
	// Too long is too long however the line arrives, whole or in pieces.
	if (eol == std::string_view::npos ? data.size() - line > chunk_line_limit : eol - line > chunk_line_limit)
		bad_chunk_data();
	if (eol == std::string_view::npos)
		return false;
	int64_t size = chunk_size(data.substr(line, eol - line));
	remove_bytes(response, marker, eol + 2 - marker);
	r.first_chunk = false;
	if (size == 0)
		r.body = body_state::trailer;
	else
		expect_more(r, size, bad_chunk_data);
	return true;
}

// Ends a chunked body after its last chunk: any trailer fields are taken
// out and the final CRLF stays, counted in bytes_expected.  Returns false
// when more bytes are needed.
static bool
take_trailer(response_buffer& response, std::vector<http_answer>& answers, http_read& r)
{
	std::string_view data = response.view();
	size_t at = static_cast<size_t>(r.bytes_expected);

	if (data.size() < at + 2)
		return false;
	if (data.compare(at, 2, "\r\n") != 0) {
		size_t end = data.find("\r\n\r\n", at);
		if (end == std::string_view::npos)
			return false;
		remove_bytes(response, at, end + 2 - at);
	}
	int64_t data_end = r.bytes_expected;
	expect_more(r, 2, bad_chunk_data);
	finish_answer(answers, r, data_end);
	return true;
}

void
take_http_answers(response_buffer& response, std::vector<http_answer>& answers, http_read& r)
{
	bool progress = true;

	while (progress && r.units < r.units_expected && !r.server_closes) {
		switch (r.body) {
		case body_state::none:
			progress = take_header(response, answers, r);
			break;
		case body_state::length:
			progress = take_length_body(response, answers, r);
			break;
		case body_state::chunked:
			progress = take_chunk(response, r);
			break;
		case body_state::trailer:
			progress = take_trailer(response, answers, r);
			break;
		}
	}
}

// Reads what the server sends next behind the received bytes, growing the
// buffer first when less than a block is free.  Keeps a zero byte after
// the received bytes.  Returns the count, 0 when the server closed, -1 on
// a failure.
static ssize_t
read_more(connection& conn)
{
	size_t length = conn.response.length();
	conn.response.reserve(length, 4096, "process_command_http realloc");
	size_t room = conn.response.capacity() - length;
	if (room > read_limit)
		room = read_limit;
	ssize_t count = read_stream(conn, conn.response.data() + length, room);
	if (count > 0)
		conn.response.set_length(length + static_cast<size_t>(count));
	return count;
}

// Writes the tally of the attempt to standard error (verbosity 3 and up).
static void
print_tally(const connection& conn, const http_read& r)
{
	if (conn.verbosity >= 3)
		fprintf(stderr, "\rBytes read: %zu, Bytes expected: %" PRId64 ", g:%u, rg:%u",
		    conn.response.length(), r.bytes_expected, r.units, r.units_expected);
}

// One attempt on one connection: reads until every unit is counted, the
// server has said it closes after the answers read so far, or the stream
// ends early.  A server that closes after an answer reporting a failure
// has given all it will: that answer is left to the caller's check.
static read_outcome
read_answers(connection& conn, http_read& r)
{
	while (r.units < r.units_expected) {
		if (r.server_closes)
			return read_outcome::closing;
		ssize_t count = read_more(conn);
		if (count < 0)
			return read_outcome::ended;
		if (count == 0)
			return r.failure_answer ? read_outcome::complete : read_outcome::ended;
		take_http_answers(conn.response, conn.http_answers, r);
		print_tally(conn, r);
	}
	return read_outcome::complete;
}

// Drops what arrived of an answer that did not come whole, so that the
// buffer ends with the last complete answer, where the answer to the
// request sent again will begin.
static void
drop_unfinished_answer(connection& conn, http_read& r)
{
	size_t end = static_cast<size_t>(r.answered_end);

	memset(conn.response.data() + end, 0, conn.response.length() - end + 1);
	conn.response.set_length(end);
	conn.http_answers.resize(r.answered);
	r.units = 2 * r.answered;
	r.bytes_expected = r.answered_end;
	r.body = body_state::none;
	r.first_chunk = false;
	r.closes_after = false;
	r.server_closes = false;
	r.failure_answer = false;
	for (const http_answer& answer : conn.http_answers)
		if (answer.status < 200 || answer.status > 299)
			r.failure_answer = true;
}

// Where each request of a request text ends: after its blank line, or
// after its body as its own header frames it.
static std::vector<size_t>
request_ends(std::string_view text)
{
	std::vector<size_t> ends;
	size_t at = 0;

	while (at < text.size()) {
		size_t blank = text.find("\r\n\r\n", at);
		if (blank == std::string_view::npos)
			break;
		body_framing framing = read_framing(text.substr(at, blank + 4 - at));
		at = blank + 4;
		if (framing.kind == body_framing::content_length)
			at += static_cast<size_t>(framing.length);
		else if (framing.kind == body_framing::chunked) {
			size_t last = text.find("\r\n0\r\n\r\n", at - 2);
			at = last == std::string_view::npos ? text.size() : last + 7;
		}
		ends.push_back(std::min(at, text.size()));
	}
	return ends;
}

// Reports a failed attempt: silent the first time, numbered for the
// second to fifth, and the sixth ends the run.
static void
report_failed_attempt(int attempt)
{
	if (attempt + 1 == attempt_limit)
		errx(1, "Error in http stream.  Quitting.");
	if (attempt > 0)
		fprintf(stderr, "Error in http stream, retry #%d\n", attempt + 1);
}

// The requests of the text that have no complete answer yet.
static const char*
unanswered_requests(const char* request, const std::vector<size_t>& ends, uint32_t answered)
{
	if (answered == 0)
		return request;
	if (answered > ends.size())
		return request + strlen(request);
	return request + ends[answered - 1];
}

// Writes the request text queued to follow this exchange's, once per
// connection, when it is short enough never to block.
static void
send_ahead(connection& conn)
{
	if (conn.http_ahead.empty() || conn.http_ahead_sent || conn.http_ahead.size() > ahead_limit)
		return;
	conn.http_ahead_sent = try_send_command(conn, conn.http_ahead.c_str());
}

// Forgets what was written ahead on a connection that is gone.
static void
lose_connection(connection& conn)
{
	conn.http_kept_open = false;
	conn.http_ahead_sent = false;
	conn.http_carried.clear();
}

// Ends a complete exchange: bytes past its last answer belong to the
// answers of the requests written ahead, and are kept for their exchange;
// without such requests they mean the connection cannot be trusted.
static void
finish_exchange(connection& conn, const http_read& r)
{
	size_t end = static_cast<size_t>(r.bytes_expected);
	bool extra = conn.response.length() > end;

	if (r.server_closes || r.failure_answer || (extra && !conn.http_ahead_sent)) {
		lose_connection(conn);
		return;
	}
	conn.http_kept_open = true;
	if (!extra)
		return;
	conn.http_carried.assign(conn.response.data() + end, conn.response.length() - end);
	memset(conn.response.data() + end, 0, conn.response.length() - end + 1);
	conn.response.set_length(end);
}

// Takes the request text written ahead by the last exchange as this
// one's: true when it is this request and still on the kept connection,
// and then the answer bytes already read are put in the buffer.
static bool
take_ahead(connection& conn, const char* request)
{
	bool mine = conn.http_ahead_sent && conn.http_kept_open && conn.http_ahead == request;

	if (conn.http_ahead_sent && !mine)
		lose_connection(conn);	// answers to other requests are on the way
	if (mine)
		conn.response.assign(conn.http_carried, "process_command_http realloc");
	conn.http_carried.clear();
	conn.http_ahead = std::move(conn.http_queued);
	conn.http_queued.clear();
	conn.http_ahead_sent = false;
	return mine;
}

// Sends the requests not yet answered and reads their answers, on the kept
// connection or a new one, until every unit is counted; the requests queued
// to follow go out behind them.  A connection that brought no new answer
// before it ended counts as a failed attempt, unless it was a kept one that
// the server may have closed while it was idle.  With once, the first such
// attempt makes it return false instead of trying again.
static bool
exchange_answers(connection& conn, const char* request, http_read& r, bool once)
{
	std::vector<size_t> ends = request_ends(request);
	bool already_sent = take_ahead(conn, request);

	if (already_sent)
		take_http_answers(conn.response, conn.http_answers, r);
	for (int failures = 0;;) {
		bool fresh = false;
		bool sent = already_sent;
		if (!already_sent) {
			fresh = open_for_request(conn);
			sent = try_send_command(conn, unanswered_requests(request, ends, r.answered));
		}
		already_sent = false;
		uint32_t answered_before = r.answered;
		read_outcome outcome = read_outcome::ended;
		if (sent) {
			send_ahead(conn);
			outcome = read_answers(conn, r);
		}
		if (outcome == read_outcome::complete) {
			finish_exchange(conn, r);
			return true;
		}
		lose_connection(conn);
		drop_unfinished_answer(conn, r);
		if (outcome == read_outcome::ended && r.answered == answered_before && fresh) {
			if (once)
				return false;
			report_failed_attempt(failures++);
		}
	}
}

void
send_ahead_http(connection& conn, const std::string& request)
{
	if (conn.http_ahead_sent)
		lose_connection(conn);	// answers to other requests are on the way
	conn.http_carried.clear();
	open_for_request(conn);
	conn.http_ahead = request;
	conn.http_ahead_sent = try_send_command(conn, request.c_str());
	conn.http_kept_open = conn.http_ahead_sent;
}

bool
exchange_once_http(connection& conn, const char* request, uint32_t answers)
{
	http_read r;
	r.units_expected = 2 * answers;

	clear_response(conn);
	conn.http_answers.clear();
	return exchange_answers(conn, request, r, true);
}

void
process_command_http(connection& conn, const char* request, uint32_t answers)
{
	http_read r;
	r.units_expected = 2 * answers;

	clear_response(conn);
	conn.http_answers.clear();
	if (answers == 0) {
		// Answers left unread would be taken for the next exchange's.
		take_ahead(conn, "");
		open_for_request(conn);
		send_command(conn, request);
		lose_connection(conn);
	} else
		exchange_answers(conn, request, r, false);
	if (conn.verbosity >= 3) {
		print_tally(conn, r);
		fprintf(stderr, "\n");
	}
	if (conn.verbosity >= 4)
		fprintf(stderr, "==========\n%s\n==========\n", conn.response.data());
}

// Reports a failed answer, printed from its first byte.
static int
report_failure(const char* text)
{
	report_command_failure(text);
	return 1;
}

// HTTP: moves start to the body of a 2xx answer.
int
check_http_response(char*& start, char* end)
{
	if (start == nullptr)
		return report_failure("");
	char* text = start;

	if (begins_with(text, end, "HTTP/1.1 50") || begins_with(text, end, "HTTP/1.1 40"))
		return report_failure(text);
	if (!begins_with(text, end, "HTTP/1.1 20"))
		return 0;
	size_t length = end != nullptr ? end - text : strlen(text);
	size_t blank = std::string_view(text, length).find("\r\n\r\n");
	if (blank == std::string_view::npos) {
		start = nullptr;
		return report_failure(text);
	}
	start = text + blank + 4;
	return 0;
}
