// Run control: the command line, the configuration file and the order of
// the whole run.
#pragma once

#include "transport/transport.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* default_work_directory = "/var/db/trelk";

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
void make_list_paths(settings& conn, const char* section);

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
inline constexpr number_range connections_range = {"number", 1, 4};

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
