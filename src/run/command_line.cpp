// The command line: the section argument, the options that follow it, the
// settings that must be present, and the paths derived from them.

#include "run/run.h"

#include "local/local.h"

#include <sys/socket.h>

#include <err.h>
#include <strings.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// glibc permutes arguments unless the option string begins with "+"; BSD
// getopt always stops at the first non-option and knows no "+".
#if defined(__GLIBC__)
static const char option_string[] = "+46Vcfntb:h:k:l:o:p:r:v:";
#else
static const char option_string[] = "46Vcfntb:h:k:l:o:p:r:v:";
#endif

// Writes the usage text to standard error and exits with status 1.
void
usage(const char* config_file)
{
	fprintf(stderr,
	    "Usage: trelk <section> [options]\n\n"
	    "  Please see %s for the list of <section> options.\n\n"
	    "  Options:\n"
	    "    -4  Use IPv4 addresses only.\n"
	    "    -6  Use IPv6 addresses only.\n"
	    "    -b  Override the specified section's Subversion branch.\n"
	    "    -c  Check every local file against the repository, whatever the\n"
	    "          last run recorded (as the first run does).\n"
	    "    -f  Display the local files that do not exist in the repository.\n"
	    "    -h  Override the specified section's hostname or IP address.\n"
	    "    -k  Override the location where known file lists are stored.\n"
	    "    -l  Override the specified section's destination directory.\n"
	    "    -n  Display the section's most recently downloaded revision number and exit.\n"
	    "    -o  Override the specified section's default port.\n"
	    "    -p  Override the specified section's protocol (svn, http, https).\n"
	    "    -r  The revision number to retreive (defaults to the branch's\n"
	    "          most recent revision if this option is not specified).\n"
	    "    -t  Remove all local files that are not found in the repository.\n"
	    "          Note: this will remove files in directories like /usr/ports/distfiles/\n"
	    "          and /usr/src/sys/amd64/conf/.  Proceed with caution.\n"
	    "    -v  How verbose the output should be (0 = no output, 1 = the default\n"
	    "          normal output, 2 = also show a progress indicator, 3 = also show\n"
	    "          command and response text plus command response parsing codes).\n"
	    "    -V  Display trelk's version number and exit.\n"
	    "\n",
	    config_file);
	exit(1);
}

// Returns text as a number within range; ends the run for anything else
// (blanks, a "+", trailing bytes, an overflow), naming setting and value.
long long
read_setting_number(std::string_view setting, std::string_view text, const number_range& range)
{
	long long value = 0;
	const char* end = text.data() + text.size();
	auto [stop, error] = std::from_chars(text.data(), end, value, 10);
	if (text.empty() || error != std::errc() || stop != end || value < range.low || value > range.high)
		errx(1, "%.*s: \"%s\" is not a %s from %lld to %lld", static_cast<int>(setting.size()), setting.data(),
		    printable_text(text).c_str(), range.name, range.low, range.high);
	return value;
}

// Returns the base-10 number at the start of text, as strtol reads it.
long
read_number(const char* text)
{
	return strtol(text, nullptr, 10);
}

void
refuse_work_directory_in_trimmed_target(const connection& conn)
{
	if (conn.trim_tree == 0)
		return;
	std::unique_ptr<char, free_delete> work(realpath(conn.path_work->c_str(), nullptr));
	std::unique_ptr<char, free_delete> target(realpath(conn.path_target->c_str(), nullptr));
	if (!work || !target)
		return;
	std::string_view inner(work.get());
	std::string_view outer(target.get());
	bool inside = inner == outer || (inner.starts_with(outer) &&
	    (outer.back() == '/' || inner[outer.size()] == '/'));
	if (inside)
		errx(1, "The work directory %s lies inside the target %s, so trimming the target would remove its "
		    "known-files lists.  Please choose a work directory outside the target.", conn.path_work->c_str(),
		    conn.path_target->c_str());
}

// True when section can name its known-files list in the work directory:
// one clean path component, which names no other section's new list or
// lock file.
static bool
is_plain_section_name(std::string_view section)
{
	return is_clean_name(section) && !section.ends_with(".new") && !section.ends_with(".lock");
}

// Returns the section argument; -V, an option first, no section or a
// "default" name end the run here, before the configuration is read.
const char*
check_section(int argc, char* argv[], const char* config_file)
{
	if (argc < 2)
		usage(config_file);
	// Options never come before the section: -V is the one exception.
	if (argv[1][0] == '-') {
		if (argv[1][1] == 'V') {
			printf("trelk version %s\n", trelk_version);
			exit(1);
		}
		usage(config_file);
	}
	if (strncmp(argv[1], "default", 7) == 0)
		errx(1, "Invalid section.  Please use one defined in trelk.conf.");
	if (!is_plain_section_name(argv[1]))
		errx(1, "Invalid section \"%s\".  A section name is a plain file name: not \".\" or \"..\", "
		    "without \"/\" or control characters, and not ending in \".new\" or \".lock\".",
		    printable_text(argv[1]).c_str());
	return argv[1];
}

void
refuse_protocol(std::string_view setting, std::string_view text)
{
	errx(1, "%.*s: \"%s\" is not a protocol: svn, http or https", static_cast<int>(setting.size()), setting.data(),
	    printable_text(text).c_str());
}

// Applies a -p argument: three case-insensitive prefix tests, all made, the
// last match winning, so "https" ends as https.  A name that matches none
// is refused (an empty one changes nothing): a typing error must not leave
// another protocol in force.
static void
apply_protocol_option(connection& conn, const char* name)
{
	if (*name != '\0' && strncasecmp(name, "svn", 3) != 0 && strncasecmp(name, "http", 4) != 0)
		refuse_protocol("-p", name);
	if (strncasecmp(name, "svn", 3) == 0) {
		conn.protocol = protocol_svn;
		conn.port = 3690;
	}
	if (strncasecmp(name, "http", 4) == 0) {
		conn.protocol = protocol_http;
		conn.port = 80;
	}
	if (strncasecmp(name, "https", 5) == 0) {
		conn.protocol = protocol_https;
		conn.port = 443;
	}
}

// Points getopt at the second argument, so that parsing starts after the
// section, and clears what an earlier parse left behind.
static void
reset_option_parser()
{
	optind = 2;
#if defined(__FreeBSD__) || defined(__OpenBSD__) || defined(__NetBSD__) || \
    defined(__DragonFly__) || defined(__APPLE__)
	optreset = 1;
#endif
}

// Applies the options after the section; the last of a repeated option
// wins, and unknown letters are reported by getopt and skipped.
void
apply_options(connection& conn, int argc, char* argv[])
{
	std::optional<long long> port_option;
	int option;

	reset_option_parser();
	while ((option = getopt(argc, argv, option_string)) != -1) {
		switch (option) {
		case '4':
			conn.family = AF_INET;
			break;
		case '6':
			conn.family = AF_INET6;
			break;
		case 'b':
			conn.branch = optarg[0] == '/' ? optarg + 1 : optarg;
			break;
		case 'c':
			conn.full_check = 1;
			break;
		case 'f':
			conn.extra_files = 1;
			break;
		case 'h':
			conn.host = optarg;
			break;
		case 'k':
			conn.path_work = optarg;
			break;
		case 'l':
			conn.path_target = optarg;
			break;
		case 'n':
			conn.show_revision = true;
			break;
		case 'o':
			port_option = read_setting_number("-o", optarg, port_range);
			break;
		case 'p':
			apply_protocol_option(conn, optarg);
			break;
		case 'r':
			conn.revision = static_cast<int32_t>(read_setting_number("-r", optarg, revision_range));
			break;
		case 't':
			conn.trim_tree = 1;
			break;
		case 'v':
			conn.verbosity = static_cast<int32_t>(read_setting_number("-v", optarg, level_range));
			break;
		default:
			// -V is accepted and ignored; getopt has already
			// reported an unknown letter or a missing argument.
			break;
		}
	}
	// -o wins over every protocol setting, whatever the order.
	if (port_option)
		conn.port = static_cast<uint16_t>(*port_option);
}

// Defaults path_work; ends the run without a host, a branch or a target.
void
finish_settings(connection& conn, const char* config_file)
{
	if (!conn.path_work)
		conn.path_work = default_work_directory;
	if (!conn.host)
		errx(1, "\nNo mirror specified.  Please uncomment the preferred SVN mirror in %s.\n\n", config_file);
	if (!conn.branch || !conn.path_target)
		usage(config_file);
}

// Makes the paths of the section's list and of the list being written.
// They are as long as they need to be: a cut name could make two sections
// share one list.
void
make_list_paths(settings& conn, const char* section)
{
	conn.known_files_old = *conn.path_work + "/" + section;
	conn.known_files_new = conn.known_files_old + ".new";
}
