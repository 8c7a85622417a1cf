// The command line: the section argument, the options, the required
// settings, the list paths and the settings header.

#include "run/run.h"

#include "../local/test_support.h"

#include <sys/socket.h>

#include <cstdio>
#include <functional>
#include <tuple>

namespace {

const char usage_text[] =
    "Usage: trelk <section> [options]\n\n"
    "  Please see /etc/trelk-test.conf for the list of <section> options.\n\n"
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
    "\n";

const char config_file[] = "/etc/trelk-test.conf";

TEST(Usage, TextByteForByteOnStandardError)
{
	EXPECT_EXIT(usage(config_file), testing::ExitedWithCode(1), exactly(usage_text));
}

TEST(CheckSection, UsageWithoutSectionOrWithAnOptionFirst)
{
	std::vector<argument_vector> cases = {
		{"trelk"},
		{"trelk", "-x"},
		{"trelk", "-t", "stable"},
		{"trelk", "-"},
	};
	for (argument_vector& args : cases)
		EXPECT_EXIT(check_section(args.argc(), args.argv(), config_file),
		    testing::ExitedWithCode(1), exactly(usage_text)) << args.argv()[1];
}

TEST(CheckSection, VersionOnStandardOutputBeforeAnythingElse)
{
	temporary_folder folder;
	std::string output = folder.path + "/stdout";
	for (const char* first : {"-V", "-Vxyz"}) {
		argument_vector args{"trelk", first, "-t"};
		EXPECT_EXIT({
			freopen(output.c_str(), "w", stdout);
			check_section(args.argc(), args.argv(), config_file);
		}, testing::ExitedWithCode(1), "^$") << first;
		EXPECT_EQ(read_text(output), "trelk version 1.08\n") << first;
	}
}

TEST(CheckSection, NamesBeginningWithDefaultAreRefused)
{
	for (const char* name : {"defaults", "defaultx", "default"}) {
		argument_vector args{"trelk", name};
		EXPECT_EXIT(check_section(args.argc(), args.argv(), config_file), testing::ExitedWithCode(1),
		    errx_text("Invalid section.  Please use one defined in trelk.conf.")) << name;
	}
}

// The section names its known-files list in the work directory: a name
// that could reach outside it, or name another section's new list or lock
// file, is refused.
TEST(CheckSection, NamesThatAreNotPlainFileNamesAreRefused)
{
	const std::pair<const char*, const char*> cases[] = {
		{"", ""},
		{".", "."},
		{"..", ".."},
		{"../precious.txt", "../precious.txt"},
		{"a/b", "a/b"},
		{"/etc/passwd", "/etc/passwd"},
		{"a\nb", "a\\x0ab"},
		{"tab\there", "tab\\x09here"},
		{"del\x7f", "del\\x7f"},
		{"stable.new", "stable.new"},
		{"stable.lock", "stable.lock"},
	};
	for (const auto& [name, shown] : cases) {
		argument_vector args{"trelk", name};
		EXPECT_EXIT(check_section(args.argc(), args.argv(), config_file), testing::ExitedWithCode(1),
		    errx_text(std::string("Invalid section \"") + shown + "\".  A section name is a plain file name: "
			"not \".\" or \"..\", without \"/\" or control characters, and not ending in \".new\" or \".lock\"."))
		    << name;
	}
}

TEST(CheckSection, ReturnsTheSection)
{
	argument_vector args{"trelk", "stable", "-t"};
	EXPECT_STREQ(check_section(args.argc(), args.argv(), config_file), "stable");
	argument_vector near{"trelk", "defaul"};
	EXPECT_STREQ(check_section(near.argc(), near.argv(), config_file), "defaul");
	for (const char* name : {"...", ".hidden", "a..b", "stable.new.x", "lock", "14-STABLE_ports"}) {
		argument_vector plain{"trelk", name};
		EXPECT_STREQ(check_section(plain.argc(), plain.argv(), config_file), name);
	}
}

// The settings an option can change, compared as a whole.
struct settings {
	uint32_t protocol;
	uint16_t port;
	int32_t family, revision, trim_tree, extra_files, verbosity;
	bool show_revision;
	std::optional<std::string> host, branch, path_target, path_work;

	explicit settings(const connection& c)
	    : protocol(c.protocol), port(c.port), family(c.family), revision(c.revision),
	      trim_tree(c.trim_tree), extra_files(c.extra_files), verbosity(c.verbosity),
	      show_revision(c.show_revision), host(c.host), branch(c.branch),
	      path_target(c.path_target), path_work(c.path_work) {}
	bool operator==(const settings&) const = default;
};

void
PrintTo(const settings& s, std::ostream* out)
{
	*out << "protocol " << s.protocol << " port " << s.port << " family " << s.family
	     << " revision " << s.revision << " trim " << s.trim_tree << " extra " << s.extra_files
	     << " verbosity " << s.verbosity << " -n " << s.show_revision
	     << " host " << s.host.value_or("(null)") << " branch " << s.branch.value_or("(null)")
	     << " target " << s.path_target.value_or("(null)") << " work " << s.path_work.value_or("(null)");
}

struct option_case {
	std::vector<std::string> options;	// after "trelk stable"
	std::function<void(connection&)> change;	// what they change
};

TEST(ApplyOptions, EachOptionAndItsQuirks)
{
	const option_case cases[] = {
		{{}, [](connection&) {}},
		{{"-p", "HTTPS"}, [](connection& c) { c.protocol = 3; c.port = 443; }},
		{{"-p", "httpfoo"}, [](connection& c) { c.protocol = 2; c.port = 80; }},
		{{"-p", "SvN"}, [](connection& c) { c.protocol = 1; c.port = 3690; }},
		{{"-p", "svn", "-o", "8080"}, [](connection& c) { c.protocol = 1; c.port = 8080; }},
		{{"-o", "8080", "-p", "svn"}, [](connection& c) { c.protocol = 1; c.port = 8080; }},
		{{"-p", "svn", "-o", "1"}, [](connection& c) { c.protocol = 1; c.port = 1; }},
		{{"-p", "svn", "-o", "65535"}, [](connection& c) { c.protocol = 1; c.port = 65535; }},
		{{"-o", "0443"}, [](connection& c) { c.port = 443; }},
		{{"-b", "/base/x"}, [](connection& c) { c.branch = "base/x"; }},
		{{"-b", "//x"}, [](connection& c) { c.branch = "/x"; }},
		{{"-b", "base"}, [](connection& c) { c.branch = "base"; }},
		{{"-r", "0"}, [](connection& c) { c.revision = 0; }},
		{{"-r", "2147483647"}, [](connection& c) { c.revision = 2147483647; }},
		{{"-r", "5", "-r", "7"}, [](connection& c) { c.revision = 7; }},
		{{"-v", "-1"}, [](connection& c) { c.verbosity = -1; }},
		{{"-v", "0"}, [](connection& c) { c.verbosity = 0; }},
		{{"-v3"}, [](connection& c) { c.verbosity = 3; }},
		{{"-tf"}, [](connection& c) { c.trim_tree = 1; c.extra_files = 1; }},
		{{"-6"}, [](connection& c) { c.family = AF_INET6; }},
		{{"-6", "-4"}, [](connection& c) { c.family = AF_INET; }},
		{{"-n", "-V"}, [](connection& c) { c.show_revision = true; }},
		{{"-h", "", "-k", "/w", "-l", "/t"}, [](connection& c) { c.host = ""; c.path_work = "/w"; c.path_target = "/t"; }},
		// Parsing stops at the first non-option and at "--".
		{{"x", "-t"}, [](connection&) {}},
		{{"-f", "--", "-t"}, [](connection& c) { c.extra_files = 1; }},
		// An unknown letter or a missing argument is reported and skipped.
		{{"-x", "-t"}, [](connection& c) { c.trim_tree = 1; }},
		{{"-t", "-b"}, [](connection& c) { c.trim_tree = 1; }},
	};
	for (const option_case& test : cases) {
		std::vector<std::string> texts = {"trelk", "stable"};
		texts.insert(texts.end(), test.options.begin(), test.options.end());
		std::vector<char*> argv;
		for (std::string& text : texts)
			argv.push_back(text.data());
		argv.push_back(nullptr);
		std::string shown;
		for (const std::string& option : test.options)
			shown += "[" + option + "]";

		connection actual, expected;
		apply_options(actual, static_cast<int>(texts.size()), argv.data());
		test.change(expected);
		EXPECT_EQ(settings(actual), settings(expected)) << shown;
	}
}

// A number that is not one, or is out of range, is refused before any
// traffic, naming the option and the value; nothing wraps around.
TEST(ApplyOptions, NumbersOutOfRangeOrNotNumbersAreRefused)
{
	const std::pair<std::vector<std::string>, const char*> cases[] = {
		{{"-r", "4294967297"}, "-r: \"4294967297\" is not a revision number from 0 to 2147483647"},
		{{"-r", "2147483648"}, "-r: \"2147483648\" is not a revision number from 0 to 2147483647"},
		{{"-r", "-5"}, "-r: \"-5\" is not a revision number from 0 to 2147483647"},
		{{"-r", "abc"}, "-r: \"abc\" is not a revision number from 0 to 2147483647"},
		{{"-r", "12abc"}, "-r: \"12abc\" is not a revision number from 0 to 2147483647"},
		{{"-r", " 5"}, "-r: \" 5\" is not a revision number from 0 to 2147483647"},
		{{"-r", "+5"}, "-r: \"+5\" is not a revision number from 0 to 2147483647"},
		{{"-r", ""}, "-r: \"\" is not a revision number from 0 to 2147483647"},
		{{"-r", "99999999999999999999"}, "-r: \"99999999999999999999\" is not a revision number from 0 to 2147483647"},
		{{"-o", "99999"}, "-o: \"99999\" is not a port number from 1 to 65535"},
		{{"-o", "65536"}, "-o: \"65536\" is not a port number from 1 to 65535"},
		{{"-o", "0"}, "-o: \"0\" is not a port number from 1 to 65535"},
		{{"-o", "-1"}, "-o: \"-1\" is not a port number from 1 to 65535"},
		{{"-o", "x"}, "-o: \"x\" is not a port number from 1 to 65535"},
		{{"-o", "443\r"}, "-o: \"443\\x0d\" is not a port number from 1 to 65535"},
		{{"-v", "x"}, "-v: \"x\" is not a number from -2147483648 to 2147483647"},
		{{"-v", "2147483648"}, "-v: \"2147483648\" is not a number from -2147483648 to 2147483647"},
		{{"-v", "-2147483649"}, "-v: \"-2147483649\" is not a number from -2147483648 to 2147483647"},
		// A protocol name that matches none must not leave another in force.
		{{"-p", "ftp"}, "-p: \"ftp\" is not a protocol: svn, http or https"},
	};
	for (const auto& [options, message] : cases) {
		std::vector<std::string> texts = {"trelk", "stable"};
		texts.insert(texts.end(), options.begin(), options.end());
		std::vector<char*> argv;
		for (std::string& text : texts)
			argv.push_back(text.data());
		argv.push_back(nullptr);
		connection conn;
		EXPECT_EXIT(apply_options(conn, static_cast<int>(texts.size()), argv.data()),
		    testing::ExitedWithCode(1), errx_text(message)) << options[0] << " " << options[1];
	}
}

TEST(ApplyOptions, PortOptionWinsOverConfiguredProtocol)
{
	connection conn;
	conn.protocol = protocol_svn;
	conn.port = 3690;
	argument_vector args{"trelk", "stable", "-o", "8443", "-p", "https"};
	apply_options(conn, args.argc(), args.argv());
	EXPECT_EQ(conn.protocol, protocol_https);
	EXPECT_EQ(conn.port, 8443);
}

TEST(ApplyOptions, FlagsOnlySwitchOn)
{
	connection conn;
	conn.trim_tree = 2;
	conn.extra_files = 5;
	argument_vector args{"trelk", "stable", "-t"};
	apply_options(conn, args.argc(), args.argv());
	EXPECT_EQ(conn.trim_tree, 1);
	EXPECT_EQ(conn.extra_files, 5);
}

// A connection with every required setting.
connection
complete_connection()
{
	connection conn;
	conn.host = "svn.example.org";
	conn.branch = "base/head";
	conn.path_target = "/usr/src";
	return conn;
}

TEST(FinishSettings, WorkDirectoryDefaultsAndStaysWhenGiven)
{
	connection conn = complete_connection();
	finish_settings(conn, config_file);
	EXPECT_EQ(conn.path_work, "/var/db/trelk");

	connection given = complete_connection();
	given.path_work = "/tmp/w";
	finish_settings(given, config_file);
	EXPECT_EQ(given.path_work, "/tmp/w");
}

TEST(FinishSettings, MissingHostNamesTheConfigurationFile)
{
	connection conn = complete_connection();
	conn.host.reset();
	EXPECT_EXIT(finish_settings(conn, config_file), testing::ExitedWithCode(1),
	    errx_text("\nNo mirror specified.  Please uncomment the preferred SVN mirror in /etc/trelk-test.conf.\n\n"));
}

TEST(FinishSettings, EmptyHostCountsAsPresent)
{
	connection conn = complete_connection();
	conn.host = "";
	finish_settings(conn, config_file);
	EXPECT_EQ(conn.host, "");
}

TEST(FinishSettings, MissingBranchOrTargetGivesUsage)
{
	connection no_branch = complete_connection();
	no_branch.branch.reset();
	EXPECT_EXIT(finish_settings(no_branch, config_file), testing::ExitedWithCode(1), exactly(usage_text));
	connection no_target = complete_connection();
	no_target.path_target.reset();
	EXPECT_EXIT(finish_settings(no_target, config_file), testing::ExitedWithCode(1), exactly(usage_text));
}

TEST(MakeListPaths, SectionBelowWorkDirectoryNeverCut)
{
	connection conn;
	conn.path_work = "/var/db/trelk";
	make_list_paths(conn, "stable");
	EXPECT_EQ(conn.known_files_old, "/var/db/trelk/stable");
	EXPECT_EQ(conn.known_files_new, "/var/db/trelk/stable.new");

	std::string long_name(300, 's');
	make_list_paths(conn, long_name.c_str());
	EXPECT_EQ(conn.known_files_new, "/var/db/trelk/" + long_name + ".new");
}

TEST(ReadNumber, LikeStrtolInBaseTen)
{
	const std::pair<const char*, long> cases[] = {
		{"42", 42}, {"  7", 7}, {"+3", 3}, {"-12x", -12}, {"", 0}, {"x1", 0},
		{"0x10", 0}, {"010", 10}, {"8443\r", 8443},
	};
	for (const auto& [text, value] : cases)
		EXPECT_EQ(read_number(text), value) << text;
}

struct header_case {
	int32_t verbosity;
	const char* out;
	const char* err;
};

TEST(PrintHeader, LinesByVerbosity)
{
	const header_case cases[] = {
		{0, "", ""},
		{1, "# Revision: 12345\n", ""},
		{-1, "# Revision: 12345\n", ""},
		{2, "# Revision: 12345\n",
		    "# Protocol: svn\n# Address: svn.example.org\n# Port: 3690\n# Branch: base/head\n"
		    "# Target: /usr/src\n# Trim tree: Yes\n# Show extra files: No\n"
		    "# Known files directory: /var/db/trelk\n"},
	};
	for (const header_case& test : cases) {
		connection conn = complete_connection();
		conn.protocol = protocol_svn;
		conn.port = 3690;
		conn.revision = 12345;
		conn.trim_tree = 7;
		conn.path_work = "/var/db/trelk";
		conn.verbosity = test.verbosity;
		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		print_header(conn);
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(testing::internal::GetCapturedStdout(), test.out) << test.verbosity;
		EXPECT_EQ(err, test.err) << test.verbosity;
	}
}

TEST(PrintHeader, ProtocolNames)
{
	const std::pair<uint32_t, const char*> cases[] = {{1, "svn"}, {2, "http"}, {3, "https"}};
	for (const auto& [protocol, name] : cases) {
		connection conn = complete_connection();
		conn.protocol = protocol;
		conn.verbosity = 2;
		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		print_header(conn);
		std::string err = testing::internal::GetCapturedStderr();
		testing::internal::GetCapturedStdout();
		EXPECT_TRUE(err.starts_with(std::string("# Protocol: ") + name + "\n")) << err;
	}
}

}	// namespace

// With -t the work directory may not be the target or lie inside it; a
// neighbour whose name only begins like the target's is fine.
TEST(RefuseWorkDirectoryInTrimmedTarget, InsideOnly)
{
	temporary_folder folder;
	std::string target = folder.path + "/src";
	mkdir(target.c_str(), 0755);
	mkdir((target + "/.db").c_str(), 0755);
	mkdir((folder.path + "/src2").c_str(), 0755);
	const std::tuple<std::string, int32_t, bool> cases[] = {
		{target, 1, true},
		{target + "/.db", 1, true},
		{target + "/./.db/", 1, true},
		{folder.path + "/src2", 1, false},
		{folder.path, 1, false},
		{target + "/.db", 0, false},
	};
	for (const auto& [work, trim, refused] : cases) {
		connection conn;
		conn.path_target = target;
		conn.path_work = work;
		conn.trim_tree = trim;
		if (refused)
			EXPECT_EXIT(refuse_work_directory_in_trimmed_target(conn), testing::ExitedWithCode(1),
			    errx_text("The work directory " + work + " lies inside the target " + target +
				", so trimming the target would remove its known-files lists.  Please choose a work "
				"directory outside the target."))
			    << work;
		else
			refuse_work_directory_in_trimmed_target(conn);
	}
}
