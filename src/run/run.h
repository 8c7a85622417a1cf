// Run control: the connection record, the command line, the configuration
// file and the order of the whole run.
#pragma once

#include <openssl/ssl.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* trelk_version = "1.08";
inline constexpr const char* default_work_directory = "/var/db/trelk";

inline constexpr uint32_t protocol_svn = 1;
inline constexpr uint32_t protocol_http = 2;
inline constexpr uint32_t protocol_https = 3;

struct free_delete {
	void operator()(char* p) const { std::free(p); }
};
struct ssl_delete {
	void operator()(SSL* p) const { SSL_free(p); }
};
struct ssl_ctx_delete {
	void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};

// svn: a command written before the answers in front of it were read, with
// the number of groups of its answer (0: its answer is read by byte count).
struct command_ahead {
	std::string command;
	uint32_t groups = 0;
};

// svn: an answer read before its command was asked for.
struct kept_answer {
	std::string command;
	std::string answer;
};

// HTTP: one answer of the last exchange, in the order of the requests.
struct http_answer {
	int status = 0;			// the status code, 0 when unreadable
	std::string status_text;	// "404 Not Found": the code and the reason
	uint64_t start = 0;		// offset of the status line in response
	uint64_t body = 0;		// offset of the body's first byte
};

struct protocol_ops;

// The one record of a run: its settings, the connection to the server and
// the response buffer that every answer is read into.
struct connection {
	int32_t socket_fd = 0;		// 0: never opened; -1: opening
	uint32_t protocol = protocol_https;
	const protocol_ops* ops = nullptr;	// what the protocol does; set at start
	std::unique_ptr<SSL, ssl_delete> tls;
	std::unique_ptr<SSL_CTX, ssl_ctx_delete> tls_context;
	std::optional<std::string> host;
	// https: the SHA-256 fingerprint the server's certificate must have,
	// 64 lower-case hexadecimal digits; empty: verify the chain instead.
	std::string tls_fingerprint;
	uint16_t port = 0;
	int32_t revision = 0;		// 0: the latest
	int32_t family = 2;		// AF_INET; set from <sys/socket.h> by -4/-6
	std::string repository_root;
	std::string trunk;
	std::optional<std::string> branch;
	std::optional<std::string> path_target;
	// Room for response_blocks * 4096 + 1 bytes; grown by half with realloc.
	std::unique_ptr<char, free_delete> response;
	uint64_t response_length = 0;
	uint32_t response_blocks = 11264;
	uint32_t expected_groups = 0;
	// HTTP: the answers the last exchange found in response.
	std::vector<http_answer> http_answers;
	// svn: commands written before the answers in front of them were read,
	// oldest first; answers read before their commands were asked for; and
	// bytes read past the end of an answer, which begin the next one.  All
	// are dropped with the connection.
	std::deque<command_ahead> sent_ahead;
	std::deque<kept_answer> kept_answers;
	std::deque<char> carried;
	std::optional<std::string> path_work;
	std::string known_files_old;
	std::string known_files_new;
	int32_t trim_tree = 0;
	int32_t extra_files = 0;
	int32_t verbosity = 1;
	// Seconds a read waits for a byte: a server silent for so long is not
	// working, and a run from cron must end.
	int32_t read_time_limit = 600;
	// Work done while the server has sent nothing yet: one piece per call,
	// false when none is left.  Null: none.
	std::function<bool()> idle_work;
	bool show_revision = false;	// -n
};

// Writes the usage text, naming the configuration file, to standard error
// and exits with status 1.
[[noreturn]] void usage(const char* config_file);

// Checks the first argument: usage without one or for an option, the
// version for -V, a refusal for names beginning with "default" and for any
// that is not a plain file name (it names the section's known-files list).
// Returns the section name.
const char* check_section(int argc, char* argv[], const char* config_file);

// Reads the configuration file whole and applies its section "defaults",
// then the named section.  Every failure ends the run.
void load_configuration(connection& conn, const char* path, const char* section);

// Applies one section of the configuration text (size bytes, NUL after
// them) to conn.  The text is changed while it is read and restored before
// return; a missing section changes nothing.
void set_configuration(connection& conn, char* text, size_t size, const char* section);

// Applies the options that follow the section argument, BSD getopt style:
// scanning starts at the second argument and stops at the first
// non-option.
void apply_options(connection& conn, int argc, char* argv[]);

// Defaults path_work and checks the required settings: the mirror message
// without a host, the usage text without a branch or a target.
void finish_settings(connection& conn, const char* config_file);

// With -t, ends the run when the work directory is the target or lies
// inside it: the trim would take the lists and locks there for leftovers.
// Both directories exist.
void refuse_work_directory_in_trimmed_target(const connection& conn);

// Makes the paths of the section's known-files list and of the list being
// written, below path_work.
void make_list_paths(connection& conn, const char* section);

// Allocates the response buffer: response_blocks * 4096 + 1 bytes.
void allocate_response(connection& conn);

// Prints "# Revision: N" (verbosity not 0) and, from verbosity 2, the
// settings header on standard error.
void print_header(const connection& conn);

// The values a numeric setting may take, and what messages call them.
struct number_range {
	const char* name;
	long long low;
	long long high;
};
inline constexpr number_range revision_range = {"revision number", 0, INT32_MAX};
inline constexpr number_range port_range = {"port number", 1, 65535};
inline constexpr number_range level_range = {"number", INT32_MIN, INT32_MAX};

// Returns text read as a whole decimal number (an optional "-", then
// digits, nothing else) within range.  Anything else ends the run with a
// message that names setting (an option or a key) and the value.
long long read_setting_number(std::string_view setting, std::string_view text, const number_range& range);

// Ends the run: text, the value of setting ("-p", "protocol= in section
// [s]"), names no protocol.
[[noreturn]] void refuse_protocol(std::string_view setting, std::string_view text);

// Reads a number the way strtol does in base 10: blanks and a sign, digits
// up to the first non-digit, 0 without digits.  Never reports anything.
long read_number(const char* text);
