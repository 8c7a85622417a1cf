// Transport: the one connection to the server (TCP, with TLS for https),
// sending a command, and what both protocols share about answers.
#pragma once

#include "local/local.h"

#include <openssl/ssl.h>

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ssl_delete {
	void operator()(SSL* p) const { SSL_free(p); }
};
struct ssl_ctx_delete {
	void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};

// What a protocol keeps between the exchanges of one connection.  Each
// protocol derives its own record from this one; it is dropped with the
// connection, since what it holds is about the bytes of that stream.
struct protocol_session {
	virtual ~protocol_session() = default;
};

// The buffer every answer is read into: length() bytes of answer and a NUL
// after them, in room for capacity() bytes and that NUL.  It grows by half
// at a time, so that a long answer costs few copies.
class response_buffer {
public:
	response_buffer() = default;
	// Room for capacity bytes; ends the run when memory runs out.
	explicit response_buffer(size_t capacity);

	char* data() { return text_.get(); }
	const char* data() const { return text_.get(); }
	char* end() { return text_.get() + length_; }
	size_t length() const { return length_; }
	size_t capacity() const { return capacity_; }
	std::string_view view() const { return {text_.get(), length_}; }

	// Sets the length, within the capacity, and the NUL after it.
	void set_length(size_t length);
	// Makes room for count bytes after the first used ones; message names
	// the reader when memory runs out, which ends the run.
	void reserve(size_t used, size_t count, const char* message);
	// Replaces the contents with text.
	void assign(std::string_view text, const char* message);

private:
	std::unique_ptr<char, free_delete> text_;
	size_t length_ = 0;
	size_t capacity_ = 0;
};

// The room a run's response buffer starts with: the answers of a whole
// batch usually fit without growing it.
inline constexpr size_t initial_response_capacity = size_t(11264) * 4096;

// HTTP: one answer of the last exchange, in the order of the requests.
struct http_answer {
	int status = 0;			// the status code, 0 when unreadable
	std::string status_text;	// "404 Not Found": the code and the reason
	uint64_t start = 0;		// offset of the status line in response
	uint64_t body = 0;		// offset of the body's first byte
	uint64_t length = 0;		// the body's bytes, chunk framing removed
};

struct protocol_ops;
struct file_node;
struct http_lanes;

// A property that a delta sets on a file, or removes (no value).
struct property_change {
	std::string name;
	std::optional<std::string> value;
};

// A file that a delta adds, or opens to change it.  An added file comes
// with all its properties, an opened one with those that changed (the
// svn:entry:* ones among them whenever the file changed at all).
struct changed_file {
	std::string path;		// relative to the target ("/bin/ls/ls.c")
	std::string repository_path;	// below the repository root, for "$FreeBSD$"
	bool added = false;
	std::string md5;		// of its text at the new revision, lower case
	std::string href;		// WebDAV: where that text is
	// An opened file's text at the revision the tree is at, which a delta
	// of the new text can apply to: its MD5 (empty: the server offers no
	// delta) and, over WebDAV, where it is.
	std::string base_md5;
	std::string base_href;
	std::vector<property_change> properties;
	std::optional<std::string> text;	// svn: the new text, when the delta brought it
};

// What differs between the branch at the revision a tree is at, less the
// paths reported missing, and the branch at conn.revision, in the order the
// server gives it.  Every path is checked: clean, and inside the target.
struct tree_delta {
	std::vector<std::string> deleted;		// files and directories
	std::vector<std::string> added_directories;	// parents first
	std::vector<changed_file> files;
};

// Takes one file of a stream: the index of its node in the catalogue,
// filled in, and its text as the repository holds it, not yet verified.
using file_taker = std::function<void(int32_t index, std::string_view text)>;

// The connection to the server, with the settings of the run: the socket
// and TLS, the response buffer that every answer is read into, and what
// each protocol keeps between exchanges.
struct connection : settings {
	int32_t socket_fd = 0;		// 0: never opened; -1: opening
	const protocol_ops* ops = nullptr;	// what the protocol does; set at start
	std::unique_ptr<SSL, ssl_delete> tls;
	std::unique_ptr<SSL_CTX, ssl_ctx_delete> tls_context;
	std::string repository_root;
	std::string trunk;
	// The repository's UUID as the server named it when opened; empty when
	// it did not.
	std::string uuid;
	response_buffer response;
	// HTTP: the answers the last exchange found in response.
	std::vector<http_answer> http_answers;
	// HTTP: the connection can carry the next exchange; false once the
	// server has closed it, said it will, or left bytes unaccounted for.
	bool http_kept_open = false;
	// HTTP: the request text to write right after the next exchange's own,
	// so that its answers follow without a round trip; the one the current
	// exchange writes after its own (and whether it is on the wire); and
	// the bytes of its answers read with the current ones.
	std::string http_queued;
	std::string http_ahead;
	bool http_ahead_sent = false;
	std::string http_carried;
	// HTTP: the text of the last answer that came as a delta or encoded,
	// which locate_content points into.
	std::string http_text;
	// The protocol's own record of this connection; null until it needs one.
	std::unique_ptr<protocol_session> session;
	// HTTP: the other connections the content batches are spread over, and
	// which batch goes on which; null while they go on this one alone.
	std::shared_ptr<http_lanes> lanes;
	// Work done while the server has sent nothing yet: one piece per call,
	// false when none is left.  Null: none.
	std::function<bool()> idle_work;
};


// What the run and the fetch ask of a protocol.  svn (svn_protocol) and
// WebDAV (webdav_protocol) each fill one in, and conn.ops names the one of
// the run, so the code above them never asks which protocol it speaks.
struct protocol_ops {
	// Opens the repository: learns the revision when none was asked for
	// and checks the branch.
	void (*open)(connection& conn);
	// Lists the branch: its directories made under the target and taken
	// out of local_dir_set, its files appended to the catalogue.
	void (*list)(connection& conn, catalogue& cat, path_sets& sets);
	// True when the listing gives each file's MD5, so that only the files
	// whose local copy differs need their properties asked for.
	bool listing_gives_md5;
	// True when the listing can also give each file's properties (the
	// file_node's props_known tells whether it did): such a file, whose MD5
	// came with them, needs no property request at all, and its size comes
	// with its content.
	bool listing_gives_properties;
	// The request for a file's properties, and the one for its content.
	std::string (*property_request)(const connection& conn, const file_node& node);
	std::string (*content_request)(const connection& conn, const file_node& node);
	// True when a batch of bytes of request text holding requests must
	// close.
	bool (*batch_full)(size_t bytes, int32_t requests);
	// About how many bytes the content answer for node takes.
	int64_t (*content_answer_bytes)(const connection& conn, const file_node& node);
	// Writes the batch about to be read, and the one after it (null: none),
	// ahead of reading, where the protocol keeps requests in flight.
	// groups: of the answers of each (0: read by byte count).
	void (*keep_ahead)(connection& conn, const std::string& current, uint32_t current_groups, const std::string* next, uint32_t next_groups);
	// Sends a batch of count property requests and reads their answers
	// into conn.response.
	void (*exchange_properties)(connection& conn, const std::string& requests, int32_t count);
	// Takes node's properties from the answer at cursor and returns the
	// first byte of the next answer; a failed answer ends the run.
	char* (*take_properties)(const connection& conn, file_node& node, char* cursor, char* response_end, std::string& expansion);
	// Sends a content batch for the files of [first, last] that have
	// download set, reads the answers and sets each file's raw_size.
	// Returns the length of all answers, or -1 when the attempt failed;
	// refusal then names what failed, when the server said so.
	int64_t (*receive_contents)(connection& conn, catalogue& cat, const std::string& batch, int32_t first, int32_t last, std::string& refusal);
	// The first data byte of node's text in its answer [region_start,
	// region_end), node.size set to the text's length; null when the
	// answer failed or is not as long.  A text that comes as a delta
	// against the local copy is decoded into the connection's keeping.
	char* (*locate_content)(connection& conn, file_node& node, char* region_start, char* region_end);
	// Fetches the whole branch in one stream, directories made and every
	// file handed to take; false when the stream failed, so that the full
	// run can follow.  Null where the protocol has no such stream.
	bool (*stream_tree)(connection& conn, catalogue& cat, path_sets& sets, const file_taker& take);
	// Fetches the texts of the catalogue files at the indexes files in one
	// stream, each handed to take; false when the stream failed, so that
	// the content batches can follow.  Null where the protocol has none.
	bool (*stream_texts)(connection& conn, catalogue& cat, const std::vector<int32_t>& files, const file_taker& take);
	// Asks the server what changed in the branch between revision from and
	// conn.revision, for a tree that is at from but lacks the files and
	// directories missing (paths relative to the target), which then come
	// as added.  Texts do not come.  False, the reason on standard error,
	// when the server aborted the edit or its answer ended short: the full
	// run follows.
	bool (*read_delta)(connection& conn, int32_t from, const std::vector<std::string>& missing, tree_delta& delta);
	// True when the listing announces each directory it makes with " + ".
	bool announces_directories;
	// Lists the branch in one stream, as list does, with every file's MD5
	// and properties; false when the stream failed, so that list follows
	// on a fresh connection.  Null where the protocol has none.
	bool (*stream_listing)(connection& conn, catalogue& cat, path_sets& sets);
	// Asks the sizes that the listing did not give of the catalogue files
	// to download, where their content answers need them; true when it
	// learned any, so that the content batches are made again.  Null
	// where no content answer needs a size beforehand.
	bool (*learn_sizes)(connection& conn, catalogue& cat);
	// Takes the texts of the content batches about to be read, in order,
	// where the protocol spreads them over several connections; an empty
	// list ends the content pass, closing what it opened.  Null where it
	// keeps every batch on the one connection.
	void (*spread_contents)(connection& conn, const std::vector<const std::string*>& batches);
};

// Closes whatever connection exists and opens a fresh one to host:port,
// with a TLS handshake for https; the protocol's session goes with the old
// one.  Every failure ends the run.
void reset_connection(connection& conn);

// The TLS layer of an https connection: a new context and connection over
// conn.socket_fd, handshake included.  Called by reset_connection.
void start_tls(connection& conn);

// A tls_fingerprint= value as 64 lower-case hexadecimal digits, colons
// dropped; empty for an empty value.  Ends the run on anything else.
std::string checked_fingerprint(std::string_view text);

// True when an https run does not check the server's certificate at all:
// SSL_NO_VERIFY_PEER is set and no fingerprint is pinned.
bool certificate_unverified(const connection& conn);

// The server as a URL or a Host header names it: the host, in brackets
// when it is an IPv6 address, with ":port" unless the port is the
// protocol's own (3690, 80, 443).
std::string server_authority(const connection& conn);

// Writes the whole command (NUL-terminated; null does nothing), echoing it
// at verbosity 3 and above.  Returns only when every byte is written.
void send_command(connection& conn, const char* command);

// As send_command, but returns false, writing nothing more, when the
// server has closed the connection (EPIPE, ECONNRESET, a TLS close).
bool try_send_command(connection& conn, const char* command);

// True when an idle connection has something to read or has been closed
// by the server: either way it cannot carry a new request and its answer.
bool idle_connection_ended(const connection& conn);

// Ends the connection at the end of the run: TLS shutdown, close, free.
void close_connection(connection& conn);

// Called after a read failed: ends the run with a clear message when the
// read waited conn.read_time_limit seconds without a byte.
void check_read_time_limit(const connection& conn);

// Does conn.idle_work, a piece at a time, for as long as nothing can be
// read; drops it once it is done.
void work_while_waiting(connection& conn);

// Reads once from the connection, through TLS when it has it (idle work
// done first); again after an interruption, and a bounded number of times
// after a TLS failure without a system error.  Ends the run when the read
// time limit passed.  Returns the count, 0 at the end of the stream, -1 on
// an error with errno set.  Every read of an answer goes through here.
ssize_t read_stream(connection& conn, char* area, size_t size);

// Writes what the plain socket takes now, without waiting.  Returns the
// count, or -1 with errno set (EAGAIN: it takes nothing now).  A peer that
// has gone away is an error, never a signal.
ssize_t write_now(connection& conn, const char* data, size_t length);

// Writes a failed answer, text up to its first NUL byte, to standard error
// as "\n<program>: Command Failure: %s\n".
void report_command_failure(const char* text);

// True when the text at p, which ends at end (null: at a NUL byte), begins
// with prefix; false for a null p.
bool begins_with(const char* p, const char* end, std::string_view prefix);

// svndiff: the delta format both protocols send texts in.

// Decodes one svndiff stream (versions 0, 1 and 2) fed in pieces of any size.
class svndiff_decoder {
public:
	// source: the base text the windows copy from (empty for a text sent
	// whole); the decoder keeps its own copy.
	explicit svndiff_decoder(std::string_view source = {});
	// Takes the next bytes of the stream and appends the text of every window
	// completed by them to out.  False on a malformed stream; error() says why.
	// Once false, false for every later call.  A failing window adds nothing.
	bool feed(std::string_view bytes, std::string& out);
	// True when the stream ended where a window ends (the header included).
	bool finish();
	// Why feed or finish returned false; empty while they have not.
	const std::string& error() const;

private:
	// What reading a window from the front of the pending bytes came to.
	enum class step { whole, more, bad };

	bool fail(std::string message);
	bool take_header(std::string_view text, size_t& used);
	bool take_windows(std::string_view text, size_t& used, std::string& out);
	step take_window(std::string_view text, size_t& length, std::string& out);
	bool expand_sections(std::string_view& instructions, std::string_view& data);

	std::string source_;
	std::string pending_;	// the front of a header or window not yet whole
	std::string error_;
	int version_ = -1;	// -1 until the header is read
	std::string instructions_;	// versions 1 and 2: the expanded sections
	std::string new_data_;
};
