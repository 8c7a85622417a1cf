// svn protocol: reading answers, the handshake, the tree listing, and the
// property and content answers of get-file.
#pragma once

#include "transport/transport.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

struct catalogue;
struct file_node;
struct path_sets;

// An svn batch of commands closes after the command that takes it past this
// many bytes, so that a whole batch always fits the socket's send buffer.
inline constexpr size_t svn_batch_limit = 32000;

// A command written before the answers in front of it were read, with the
// number of groups of its answer (0: its answer is read by byte count).
struct command_ahead {
	std::string command;
	uint32_t groups = 0;
};

// An answer read before its command was asked for, with the offset past
// each of its groups.
struct kept_answer {
	std::string command;
	std::string answer;
	std::vector<size_t> group_ends;
};

// What svn keeps between the exchanges of one connection: commands
// written before the answers in front of them were read, oldest first;
// answers read before their commands were asked for; and bytes read past
// the end of an answer, which begin the next one.
struct svn_session : protocol_session {
	std::deque<command_ahead> sent_ahead;
	std::deque<kept_answer> kept_answers;
	std::deque<char> carried;
};

// The svn session of conn, begun when the connection has none yet.
svn_session& svn_state(connection& conn);

// What the run and the fetch ask of svn.
extern const protocol_ops svn_protocol;

// Where a walk over svn answer text stands: the list depth and, inside a
// string item, how many of its bytes are still to come.  The reader keeps
// one across reads, so parentheses inside names are never counted.
struct svn_scan {
	int32_t depth = 0;
	int64_t string_left = 0;
	int64_t number = -1;		// a length prefix being read; -1: none
	bool item_start = true;
};

// Takes one byte of answer text into scan.  Returns 1 for an opening and
// -1 for a closing parenthesis that counts, 0 for any other byte.
int svn_scan_byte(svn_scan& scan, unsigned char c);

// The closing parenthesis of the list that opens at start, strings skipped
// by their length prefix; null when the list does not close before end or
// before a NUL byte outside a string.
char* svn_list_end(char* start, char* end);

// A cursor over svn answer text [p, end).  Items are taken one at a time;
// a mismatch clears ok, and every later take then fails too.
struct svn_items {
	char* p;
	char* end;
	bool ok = true;
};

// Takes the "(" that opens a list; false (and ok cleared) when the next
// item is something else.
bool svn_open_list(svn_items& items);

// True when the next item is the ")" that closes the current list, which
// is then taken.
bool svn_close_list(svn_items& items);

// Takes a string item and returns its bytes (in place).
std::string_view svn_read_string(svn_items& items);

// Takes a word or number item and returns its text.
std::string_view svn_read_word(svn_items& items);

// Takes one item of any kind, a whole list included.
void svn_skip_item(svn_items& items);

// Judges the svn answer at start: 0 success, 1 failure (reported on
// standard error with report_command_failure).  Moves start past blanks
// and an empty authentication request, and sets end to the first byte
// after the answer group.  Never ends the run.
int check_svn_response(char*& start, char*& end);

// Splits svn answer text into its top-level groups as the bytes come, in
// place and with no I/O of its own, so that it is tested and fuzzed apart
// from the socket.  A blank left before the first group (the end of the
// previous answer) is dropped; the blank after each group becomes a NUL.
class svn_group_splitter {
public:
	// trace: the list depth on standard error at each parenthesis.
	explicit svn_group_splitter(uint32_t expected, bool trace = false);
	// Takes the count bytes that follow the first length bytes of text,
	// written back in place, never forward, with length advanced past the
	// bytes kept.  Returns how many were taken: fewer than count once every
	// group and the blank after the last are in, the rest being the next
	// answer's.
	size_t take(char* text, size_t& length, size_t count);
	// True once every expected group is in.
	bool complete() const { return ends_.size() >= expected_; }
	// The offset past the closing parenthesis of each group taken.
	const std::vector<size_t>& group_ends() const { return ends_; }

private:
	// Takes one byte at offset position; false when it is not kept.
	bool take_byte(char& c, size_t position);

	svn_scan scan_;
	uint32_t expected_;
	bool trace_;
	bool separator_due_ = false;
	std::vector<size_t> ends_;
};

// One group of an answer in conn.response: [start, end), end on the NUL
// that follows its closing parenthesis.
struct svn_group {
	char* start;
	char* end;
};

// The answer that process_command_svn read into conn.response: its text
// and, in group mode, its groups in order.
struct svn_answer {
	char* text = nullptr;
	std::vector<svn_group> groups;
};

// What the answer to a command is read as: groups top-level groups, or,
// when bytes is not 0, exactly that many bytes holding groups / 2 content
// answers (two groups and a string each).
struct svn_expected {
	uint32_t groups = 0;
	uint32_t bytes = 0;
};

// Sends command and reads the answer into conn.response: in group mode
// until the expected groups are complete, each followed by a NUL in place
// of its blank; in byte mode exactly the expected bytes.  A blank left over
// from the previous answer is not stored.  Failed reads, an answer that
// passes the expected bytes, and content answers that all end short of
// them resend the command on a fresh connection, up to six attempts.
svn_answer process_command_svn(connection& conn, const char* command, svn_expected expected);

// Writes command while the answers to earlier commands may still be
// arriving, so that the server has it at hand when they end: the socket is
// written only when it takes bytes, and what arrives meanwhile is kept for
// the reader, so neither side waits on the other for ever.  groups is the
// number of groups of its answer, or 0 when it will be read by byte count.
// A later process_command_svn with the same text reads its answer without
// sending it again; one that asks for another command first reads the
// answers in front of that one's and keeps them (only answers with groups).
// A connection that fails meanwhile is left to the next read.
void send_ahead_svn(connection& conn, const std::string& command, uint32_t groups);

// One attempt of the reader: sends command and reads its answer; false
// when the stream failed.
// group_ends: the offset past each group of the answer, in group mode.
using svn_attempt = bool (*)(connection& conn, const char* command, svn_expected expected, std::vector<size_t>& group_ends);

// Opens a fresh connection after a failed attempt and greets the server and
// logs in again through attempt, keeping the revision.  False when any step
// fails.
bool reopen_svn(connection& conn, svn_attempt attempt);

// Greets the server, logs in anonymously, learns the latest revision when
// none was asked for, and confirms that the branch is a directory.
void handshake_svn(connection& conn);

// The get-dir command for the branch root at conn.revision.
std::string root_get_dir_command(const connection& conn);

// Lists the directories named by the count get-dir commands of one batch
// and, batch by batch, everything below them: files go into the catalogue,
// directories are created under the target and taken out of local_dir_set.
void list_tree_svn(connection& conn, const std::string& commands, uint32_t count, catalogue& cat, path_sets& sets);

// The path below the repository root of the file at path (relative to
// the branch, beginning with "/"): "head/bin/ls.c" for "/bin/ls.c" in the
// branch "base/head", "bin/ls.c" in a branch that is a whole repository.
std::string svn_repository_path(const std::string& path, const std::string& branch);

// The "$FreeBSD$" expansion of the file at path (relative to the branch,
// beginning with "/") whose properties are found: empty unless its
// svn:keywords asks for it; the path as the repository names it.
std::string svn_expansion_text(const file_properties& found, const std::string& path, const std::string& branch);

// Ends the run with a clear message unless name, listed by the server in
// the directory parent (relative to the branch), is usable as a path
// component of the target.
void check_listed_name(std::string_view name, const std::string& parent);

// Fetches every file of the branch in one update stream from an empty
// report: directories made, each text decoded from svndiff and handed
// with its node (appended to the catalogue) to take.  False, with the
// reason on standard error, when the stream failed or the server ended the
// edit, so that the caller can go on with the full run.
bool stream_tree_svn(connection& conn, catalogue& cat, path_sets& sets, const file_taker& take);

// Lists the whole branch in one status drive from an empty report: every
// directory made under the target (announced as the get-dir listing
// announces it), every file appended to the catalogue with its MD5 and
// properties (props_known set) but no size (-1: it comes with the text).
// Every path is checked as the other drives check them.  False, with the
// reason on standard error, when the server aborted the edit or the stream
// failed; the catalogue then holds what came before.
bool list_branch_svn(connection& conn, catalogue& cat, path_sets& sets);

// Fetches the texts of the catalogue files at the indexes files in one
// update stream: the report has the branch at the revision and lacks just
// those files, so the server sends each whole.  Each is handed to take
// with its node, whose MD5 it must have.  False, with the reason on
// standard error, when the stream failed.
bool stream_texts_svn(connection& conn, catalogue& cat, const std::vector<int32_t>& files, const file_taker& take);

// Reads what changed in the branch between revision from and conn.revision
// from a status drive (no texts), for a tree at from that lacks the paths
// missing (relative to the target, each beginning with "/"), which then
// come as added.  Every path is checked as a listing's names are; one
// outside its directory ends the run.  False, with the reason on standard
// error, when the server aborted the edit or the stream failed.
bool read_delta_svn(connection& conn, int32_t from, const std::vector<std::string>& missing, tree_delta& delta);

// Takes the MD5, the executable and special flags and the "$FreeBSD$"
// expansion text from one property answer group [group, group_end), which
// may hold NUL bytes inside its strings.  expansion stays empty when the
// file gets none.
void read_svn_properties(char* group, char* group_end, file_node& node, const std::string& branch, std::string& expansion);

// The exact byte length of the content answer for a file of size bytes.
int64_t svn_content_size(int64_t size, int32_t revision);

// Finds a file's data in its content answer and joins its 4096-byte strings
// in place.  start and end are the cursors check_response left; region_end
// is where this file's answer ends.  Returns the first data byte and sets
// length to the number of data bytes joined; null when the answer's strings
// do not fill its region exactly.
char* join_svn_content(char* start, char* end, char* region_end, int64_t& length);
