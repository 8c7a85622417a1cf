// Reading svn answers: the scan that counts lists while skipping strings by
// their length prefix, the item cursor, and the reader of whole answers.

#include "svn/svn.h"

#include "transport/transport.h"

#include <sys/types.h>
#include <sys/socket.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <err.h>

// A length prefix never grows past this; a longer one is a broken stream.
static constexpr int64_t longest_string = int64_t(1) << 40;

// The most bytes taken from the socket in one read.
static constexpr size_t largest_read = size_t(1) << 20;

// The most bytes kept for later answers, carried or kept whole: far above
// the answers of one level of the tree listing, but a server that sends
// without end cannot take all memory.
static constexpr size_t largest_carry = size_t(256) << 20;

static bool
is_digit(unsigned char c)
{
	return c >= '0' && c <= '9';
}

int
svn_scan_byte(svn_scan& scan, unsigned char c)
{
	if (scan.string_left > 0) {
		scan.string_left--;
		return 0;
	}
	if (scan.number >= 0) {
		if (is_digit(c)) {
			scan.number = std::min(scan.number * 10 + (c - '0'), longest_string);
			return 0;
		}
		bool is_string = c == ':';
		if (is_string)
			scan.string_left = scan.number;
		scan.number = -1;
		if (is_string) {
			scan.item_start = false;
			return 0;
		}
	} else if (scan.item_start && is_digit(c)) {
		scan.number = c - '0';
		scan.item_start = false;
		return 0;
	}
	scan.item_start = c == ' ' || c == '\0' || c == '\n' || c == '(' || c == ')';
	if (c == '(') {
		scan.depth++;
		return 1;
	}
	if (c == ')') {
		scan.depth--;
		return -1;
	}
	return 0;
}

char*
svn_list_end(char* start, char* end)
{
	svn_scan scan;
	char* p = start;

	while (p < end) {
		if (scan.string_left > 0) {
			int64_t skip = std::min<int64_t>(scan.string_left, end - p);
			scan.string_left -= skip;
			p += skip;
			continue;
		}
		if (*p == '\0')
			return nullptr;
		if (svn_scan_byte(scan, *p) < 0 && scan.depth <= 0)
			return p;
		p++;
	}
	return nullptr;
}

// Passes over the blanks between items.
static void
skip_blanks(svn_items& items)
{
	while (items.p < items.end && (*items.p == ' ' || *items.p == '\n'))
		items.p++;
}

bool
svn_open_list(svn_items& items)
{
	skip_blanks(items);
	if (items.ok && items.p < items.end && *items.p == '(') {
		items.p++;
		return true;
	}
	items.ok = false;
	return false;
}

bool
svn_close_list(svn_items& items)
{
	skip_blanks(items);
	if (items.ok && items.p < items.end && *items.p == ')') {
		items.p++;
		return true;
	}
	return false;
}

// Reads the decimal length of a string item at p; -1 when p holds no
// length followed by ":" before end.  Sets colon to the ":".
static int64_t
string_length(const char* p, const char* end, const char*& colon)
{
	int64_t length = 0;
	const char* q = p;

	while (q < end && is_digit(*q) && q - p < 13)
		length = length * 10 + (*q++ - '0');
	if (q == p || q >= end || *q != ':')
		return -1;
	colon = q;
	return length;
}

std::string_view
svn_read_string(svn_items& items)
{
	const char* colon = nullptr;

	skip_blanks(items);
	int64_t length = items.ok ? string_length(items.p, items.end, colon) : -1;
	if (length < 0 || length > items.end - colon - 1) {
		items.ok = false;
		return {};
	}
	std::string_view text(colon + 1, length);
	items.p = const_cast<char*>(colon + 1 + length);
	return text;
}

std::string_view
svn_read_word(svn_items& items)
{
	skip_blanks(items);
	char* first = items.p;
	while (items.ok && items.p < items.end &&
	    (isalnum(static_cast<unsigned char>(*items.p)) || *items.p == '-'))
		items.p++;
	if (items.p == first)
		items.ok = false;
	return items.ok ? std::string_view(first, items.p - first) : std::string_view();
}

void
svn_skip_item(svn_items& items)
{
	const char* colon = nullptr;

	skip_blanks(items);
	if (!items.ok || items.p >= items.end) {
		items.ok = false;
		return;
	}
	if (*items.p == '(') {
		char* close = svn_list_end(items.p, items.end);
		if (close == nullptr)
			items.ok = false;
		else
			items.p = close + 1;
	} else if (string_length(items.p, items.end, colon) >= 0)
		svn_read_string(items);
	else
		svn_read_word(items);
}

// Reports a failed answer, printed from its first byte.
static int
report_failure(const char* text)
{
	report_command_failure(text);
	return 1;
}

// svn: skips leading blanks and the empty authentication request, and
// marks with end the first byte after the answer group at start.
int
check_svn_response(char*& start, char*& end)
{
	if (start == nullptr)
		return report_failure("");
	if (end == nullptr)
		end = start + strlen(start);
	char* text = start;
	if (begins_with(text, end, "( success ( ( ) 0: ) ) ( failure") ||
	    begins_with(text, end, "( success ( ) ) ( failure"))
		return report_failure(text);
	while (start < end && *start == ' ')
		start++;
	if (!begins_with(start, end, "( success "))
		return report_failure(text);
	if (begins_with(start, end, "( success ( ( ) 0: ) )"))
		start += 23;
	if (start > end)
		start = end;
	char* close = svn_list_end(start, end);
	if (close != nullptr)
		end = close + 2 < end ? close + 2 : end;
	else {
		char* nul = static_cast<char*>(memchr(start, '\0', end - start));
		if (nul != nullptr)
			end = nul + 1;
	}
	return 0;
}

svn_session&
svn_state(connection& conn)
{
	auto* session = dynamic_cast<svn_session*>(conn.session.get());
	if (session == nullptr) {
		auto made = std::make_unique<svn_session>();
		session = made.get();
		conn.session = std::move(made);
	}
	return *session;
}

// Reads answer bytes: first those carried over from a read that passed the
// end of the previous answer, then from the socket.
static ssize_t
read_answer(connection& conn, char* area, size_t size)
{
	std::deque<char>& carried = svn_state(conn).carried;
	if (carried.empty())
		return read_stream(conn, area, size);
	size_t count = std::min(size, carried.size());
	auto taken = carried.begin() + static_cast<ptrdiff_t>(count);
	std::copy(carried.begin(), taken, area);
	carried.erase(carried.begin(), taken);
	return static_cast<ssize_t>(count);
}

// Keeps bytes read past the end of an answer for the next one.
static void
carry_back(connection& conn, const char* data, size_t count)
{
	std::deque<char>& carried = svn_state(conn).carried;
	carried.insert(carried.begin(), data, data + count);
}

// Makes room for count more bytes after the first used bytes.
static void
make_room(connection& conn, uint64_t used, size_t count)
{
	conn.response.reserve(used, count, "process_command_svn realloc");
}

svn_group_splitter::svn_group_splitter(uint32_t expected, bool trace)
	: expected_(expected), trace_(trace)
{
}

bool
svn_group_splitter::take_byte(char& c, size_t position)
{
	if (separator_due_) {
		separator_due_ = false;
		if (c == ' ' || c == '\0') {
			c = '\0';
			return true;
		}
		fprintf(stderr, "oops: %d %c\n", static_cast<signed char>(c), c);
	} else if (position == 0 && scan_.depth == 0 && (c == ' ' || c == '\0'))
		return false;
	int kind = svn_scan_byte(scan_, c);
	if (kind != 0 && trace_)
		fprintf(stderr, "%d", scan_.depth);
	if (kind < 0 && scan_.depth <= 0) {
		scan_.depth = 0;
		ends_.push_back(position + 1);
		separator_due_ = true;
	}
	return true;
}

size_t
svn_group_splitter::take(char* text, size_t& length, size_t count)
{
	char* area = text + length;
	size_t i = 0;

	// Bytes are written back at or before the one being read, so the
	// bytes after the last group stay intact for the next answer.
	for (; i < count && (!complete() || separator_due_); i++) {
		char c = area[i];
		// What follows the last group without a blank is the next
		// answer's, never one more group of this one.
		if (complete() && c != ' ' && c != '\0') {
			separator_due_ = false;
			break;
		}
		if (take_byte(c, length))
			text[length++] = c;
	}
	return i;
}

// The room for the next read: what the response already has free, at
// least 64 KiB, at most largest_read.
static size_t
group_read_size(connection& conn)
{
	make_room(conn, conn.response.length(), 65536);
	uint64_t room = conn.response.capacity() - conn.response.length();
	return static_cast<size_t>(std::min<uint64_t>(room, largest_read));
}

// Group mode: reads until expected groups are complete, each read straight
// into the response and split there in place.  Sets group_ends; returns
// false when the stream fails first.
static bool
read_groups(connection& conn, uint32_t expected, std::vector<size_t>& group_ends)
{
	svn_group_splitter splitter(expected, conn.verbosity >= 4);

	while (!splitter.complete()) {
		size_t size = group_read_size(conn);
		size_t length = conn.response.length();
		char* area = conn.response.data() + length;
		ssize_t count = read_answer(conn, area, size);
		if (count <= 0)
			return false;
		if (conn.verbosity >= 4)
			printf("==========\n>> Response Parse:\n");
		size_t taken = splitter.take(conn.response.data(), length, static_cast<size_t>(count));
		if (taken < static_cast<size_t>(count))
			carry_back(conn, area + taken, count - taken);
		conn.response.set_length(length);
		if (conn.verbosity >= 4)
			fprintf(stderr, ". = %zu %u\n", splitter.group_ends().size(), expected);
	}
	group_ends = splitter.group_ends();
	return true;
}

// Follows the answers of content requests as their bytes arrive, so that a
// short answer (a failure, or less content than stated) is noticed instead
// of waited for.  An answer ends with the third group of a success, or with
// a failure group that no content string follows.
struct answer_tracker {
	svn_scan scan;
	uint64_t position = 0;
	uint64_t group_start = 0;
	int32_t groups_in_answer = 0;
	uint32_t answers = 0;
	uint64_t last_close = 0;	// the byte after the latest answer's end
	bool failure_pending = false;	// a failure group may have ended it
	uint64_t failure_close = 0;
};

// Counts one more complete answer, ending at close.
static void
end_answer(answer_tracker& tracker, uint64_t close)
{
	tracker.answers++;
	tracker.groups_in_answer = 0;
	tracker.last_close = close;
	tracker.failure_pending = false;
}

// Settles a pending failure group by the first byte after it: a string
// means the answer goes on, anything else that it ended there.
static void
settle_failure(answer_tracker& tracker, char c)
{
	if (!tracker.failure_pending || c == ' ' || c == '\0')
		return;
	if (c >= '0' && c <= '9')
		tracker.failure_pending = false;
	else
		end_answer(tracker, tracker.failure_close);
}

// Takes the bytes of the response that the tracker has not seen yet.
static void
track_answers(answer_tracker& tracker, const char* response, uint64_t length)
{
	while (tracker.position < length) {
		if (tracker.scan.string_left > 0) {
			uint64_t skip = std::min<uint64_t>(tracker.scan.string_left, length - tracker.position);
			tracker.scan.string_left -= skip;
			tracker.position += skip;
			continue;
		}
		char c = response[tracker.position];
		if (tracker.scan.depth == 0)
			settle_failure(tracker, c);
		int kind = svn_scan_byte(tracker.scan, c);
		if (kind > 0 && tracker.scan.depth == 1)
			tracker.group_start = tracker.position;
		tracker.position++;
		if (kind >= 0 || tracker.scan.depth > 0)
			continue;
		tracker.scan.depth = 0;
		if (++tracker.groups_in_answer == 3)
			end_answer(tracker, tracker.position);
		else if (strncmp(response + tracker.group_start, "( failure", 9) == 0) {
			tracker.failure_pending = true;
			tracker.failure_close = tracker.position;
		}
	}
}

// True when the answers received so far are complete and end anywhere but
// one blank before expected: a pending failure group with nothing after it
// yet counts as the end of its answer.
static bool
answers_end_short(const answer_tracker& tracker, uint32_t requests, uint32_t expected)
{
	uint32_t answers = tracker.answers + (tracker.failure_pending ? 1 : 0);
	uint64_t close = tracker.failure_pending ? tracker.failure_close : tracker.last_close;
	return answers >= requests && close + 1 != expected;
}

// Byte-count mode: reads exactly expected bytes, a leading leftover blank
// not counted.  Returns false when the stream fails, passes the count, or
// completes all requests answers anywhere but one blank before it.
static bool
read_bytes(connection& conn, uint32_t expected, uint32_t requests)
{
	answer_tracker tracker;

	while (conn.response.length() < expected) {
		// Up to the bytes still expected, and a block more, so that an
		// answer passing the count shows in the same read; only when no
		// other answer follows in the stream.
		size_t more = svn_state(conn).sent_ahead.empty() ? 4096 : 0;
		size_t length = conn.response.length();
		size_t size = std::min<uint64_t>(expected - length, largest_read) + more;
		make_room(conn, length, size);
		char* data = conn.response.data() + length;
		ssize_t count = read_answer(conn, data, size);
		if (count <= 0)
			return false;
		if (length == 0 && data[0] == ' ')
			memmove(data, data + 1, --count);
		conn.response.set_length(length + count);
		if (requests == 0)
			continue;
		track_answers(tracker, conn.response.data(), conn.response.length());
		if (answers_end_short(tracker, requests, expected))
			return false;
	}
	return conn.response.length() == expected;
}

// Serves command from an answer read before it was asked for.
static bool
take_kept_answer(connection& conn, const char* command, std::vector<size_t>& group_ends)
{
	std::deque<kept_answer>& kept_answers = svn_state(conn).kept_answers;
	for (auto kept = kept_answers.begin(); kept != kept_answers.end(); ++kept) {
		if (kept->command != command)
			continue;
		conn.response.assign(kept->answer, "process_command_svn realloc");
		group_ends = std::move(kept->group_ends);
		kept_answers.erase(kept);
		return true;
	}
	return false;
}

// Reads the answer at the front of the stream, of a command sent ahead, and
// keeps it until its command is asked for.
static bool
keep_front_answer(connection& conn)
{
	svn_session& session = svn_state(conn);
	command_ahead front = std::move(session.sent_ahead.front());
	session.sent_ahead.pop_front();
	conn.response.set_length(0);
	std::vector<size_t> group_ends;
	if (!read_groups(conn, front.groups, group_ends))
		return false;
	size_t kept = conn.response.length();
	for (const kept_answer& answer : session.kept_answers)
		kept += answer.answer.size();
	if (kept > largest_carry)
		return false;
	session.kept_answers.push_back({std::move(front.command), std::string(conn.response.view()), std::move(group_ends)});
	return true;
}

// True when command has been written and its answer not yet read.
static bool
is_in_flight(connection& conn, const char* command)
{
	for (const command_ahead& ahead : svn_state(conn).sent_ahead)
		if (ahead.command == command)
			return true;
	return false;
}

// Makes the answer of command the next in the stream: sends the command
// unless it is in flight, then reads and keeps the answers in front of it.
// False when the stream failed (a write that fails too, so that the retry
// goes on a fresh connection), or when an answer in front is read by its
// byte count and so cannot be kept.  The session is looked up after every
// step that may lose the connection.
static bool
bring_answer_forward(connection& conn, const char* command, svn_expected expected)
{
	if (!is_in_flight(conn, command)) {
		send_ahead_svn(conn, command, expected.bytes == 0 ? expected.groups : 0);
		const std::deque<command_ahead>& sent = svn_state(conn).sent_ahead;
		if (sent.empty() || sent.back().command != command)
			return false;
	}
	while (svn_state(conn).sent_ahead.front().command != command)
		if (svn_state(conn).sent_ahead.front().groups == 0 || !keep_front_answer(conn))
			return false;
	svn_state(conn).sent_ahead.pop_front();
	return true;
}

// One attempt: sends the command and reads its whole answer.
static bool
attempt(connection& conn, const char* command, svn_expected expected, std::vector<size_t>& group_ends)
{
	group_ends.clear();
	if (expected.bytes == 0 && take_kept_answer(conn, command, group_ends))
		return true;
	if (!bring_answer_forward(conn, command, expected))
		return false;
	conn.response.set_length(0);
	if (expected.bytes != 0)
		return read_bytes(conn, expected.bytes, expected.groups / 2);
	return read_groups(conn, expected.groups, group_ends);
}

// Before the next attempt: a message from the second failure on, the end
// of the run after the sixth.
static void
announce_retry(int failures)
{
	if (failures >= 6)
		errx(1, "Error in svn stream.  Quitting.");
	if (failures >= 2)
		fprintf(stderr, "Error in svn stream, retry #%d\n", failures);
}

// After a failed attempt the stream is of no further use: the server may
// have closed it, or the rest of the failed answer may still be on its way
// and would be read as the answer to the resent command.  The retry goes
// on a fresh connection.  A failure while reopening counts as one more
// failed attempt, so reopening never nests and the bound of six holds.
static void
retry_connection(connection& conn, int& failures)
{
	do
		announce_retry(++failures);
	while (!reopen_svn(conn, attempt));
}

// Writes what the socket takes now; false when the connection failed.
static bool
write_available(connection& conn, const std::string& command, size_t& written)
{
	ssize_t count = write_now(conn, command.data() + written, command.size() - written);
	if (count > 0)
		written += count;
	return count > 0 || errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK;
}

// Reads what has arrived into the carried bytes; false when the stream
// ended, or when more has arrived than is ever kept.
static bool
carry_available(connection& conn)
{
	char area[65536];
	ssize_t count = read_stream(conn, area, sizeof(area));
	std::deque<char>& carried = svn_state(conn).carried;
	if (count <= 0 || carried.size() + count > largest_carry)
		return false;
	carried.insert(carried.end(), area, area + count);
	return true;
}

void
send_ahead_svn(connection& conn, const std::string& command, uint32_t groups)
{
	if (conn.verbosity >= 3) {
		printf("<< %zu bytes\n%s", command.size(), command.c_str());
		fflush(stdout);
	}
	size_t written = 0;
	while (written < command.size()) {
		pollfd ready = {conn.socket_fd, POLLIN | POLLOUT, 0};
		int events = poll(&ready, 1, conn.read_time_limit * 1000);
		if (events < 0 && errno == EINTR)
			continue;
		if (events == 0) {
			errno = EAGAIN;
			check_read_time_limit(conn);
		}
		if (events < 0 || (ready.revents & (POLLERR | POLLNVAL)) != 0)
			return;
		if ((ready.revents & (POLLIN | POLLHUP)) != 0 && !carry_available(conn))
			return;
		if ((ready.revents & POLLOUT) != 0 && !write_available(conn, command, written))
			return;
	}
	svn_state(conn).sent_ahead.push_back({command, groups});
}

// The groups of the answer in conn.response, from the offset past each.
static std::vector<svn_group>
answer_groups(connection& conn, const std::vector<size_t>& group_ends)
{
	std::vector<svn_group> groups;
	char* text = conn.response.data();
	size_t start = 0;
	for (size_t end : group_ends) {
		groups.push_back({text + start, text + end});
		start = end + 1;
	}
	return groups;
}

svn_answer
process_command_svn(connection& conn, const char* command, svn_expected expected)
{
	std::vector<size_t> group_ends;
	int failures = 0;

	while (!attempt(conn, command, expected, group_ends))
		retry_connection(conn, failures);
	if (expected.bytes == 0 && conn.verbosity >= 3) {
		printf("==========\n>> Response:\n%s", conn.response.data());
		fflush(stdout);
	}
	return {conn.response.data(), answer_groups(conn, group_ends)};
}
