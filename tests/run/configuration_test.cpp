// The configuration file: finding a section, taking its lines, and the
// values each key stores.

#include "run/run.h"

#include "../local/test_support.h"

#include <functional>

namespace {

struct configuration_case {
	const char* name;
	std::string text;
	std::function<void(connection&)> change;	// what section "s" changes
};

// The settings a configuration can change.
auto
settings_of(const connection& c)
{
	return std::make_tuple(c.protocol, c.port, c.verbosity, c.trim_tree, c.extra_files, c.stream_listing,
	    c.http_connections,
	    c.host.value_or("(null)"), c.branch.value_or("(null)"),
	    c.path_target.value_or("(null)"), c.path_work.value_or("(null)"));
}

TEST(LoadConfiguration, SectionsAndValues)
{
	using namespace std::string_literals;
	const configuration_case cases[] = {
		{"the example file",
		    "[defaults]\nwork_directory=/var/db/trelk\nprotocol=https\nverbosity=1\n\n"
		    "[s]\n#host=old\nhost=SERVER\nbranch=/base/stable\ntarget=/usr/src\nprotocol=svn\ntrim_tree=0\n",
		    [](connection& c) { c.path_work = "/var/db/trelk"; c.host = "SERVER"; c.branch = "base/stable";
			    c.path_target = "/usr/src"; c.protocol = 1; c.port = 3690; }},
		{"no such section applies defaults only",
		    "[defaults]\nhost=a\n\n[t]\nbranch=b\n",
		    [](connection& c) { c.host = "a"; }},
		{"section before defaults is found too",
		    "[s]\nhost=a\n\n[defaults]\nverbosity=3\nhost=d\n",
		    [](connection& c) { c.host = "a"; c.verbosity = 3; }},
		{"the section overrides defaults",
		    "[defaults]\nhost=a\ntrim_tree=1\n\n[s]\nhost=b\n",
		    [](connection& c) { c.host = "b"; c.trim_tree = 1; }},
		{"a commented-out header is found first",
		    "#[s]\nhost=a\n\n[s]\nhost=b\n",
		    [](connection& c) { c.host = "a"; }},
		{"a header at the end of another line counts",
		    "x=1[s]\nhost=a\n",
		    [](connection& c) { c.host = "a"; }},
		{"a header followed by CR is not found",
		    "[s]\r\nhost=a\r\n",
		    [](connection&) {}},
		{"a header followed by a blank is not found",
		    "[s] \nhost=a\n",
		    [](connection&) {}},
		{"a header at the very end is not found",
		    "host=x\n[s]",
		    [](connection&) {}},
		{"an empty line ends the section",
		    "[s]\nhost=a\n\nbranch=b\n",
		    [](connection& c) { c.host = "a"; }},
		{"a [ line ends the section",
		    "[s]\nhost=a\n[t]\nbranch=b\n",
		    [](connection& c) { c.host = "a"; }},
		{"a line of blanks does not end the section",
		    "[s]\nhost=a\n   \nbranch=b\n",
		    [](connection& c) { c.host = "a"; c.branch = "b"; }},
		{"a last line without LF counts",
		    "[s]\ntarget=/usr/src",
		    [](connection& c) { c.path_target = "/usr/src"; }},
		{"CR line ends stay in the values and do not end the section",
		    "[s]\nhost=a\r\n\r\nbranch=/b\r\n",
		    [](connection& c) { c.host = "a\r"; c.branch = "b\r"; }},
		{"values are byte for byte",
		    "[s]\nhost= a b \ntarget=/t/\n",
		    [](connection& c) { c.host = " a b "; c.path_target = "/t/"; }},
		{"every leading slash of a branch goes",
		    "[s]\nbranch=///base/x\n",
		    [](connection& c) { c.branch = "base/x"; }},
		{"keys are case-sensitive and start the line",
		    "[s]\nHost=a\n host=b\nhost =c\n",
		    [](connection&) {}},
		{"protocol https is the last match",
		    "[s]\nprotocol=https\n",
		    [](connection& c) { c.protocol = 3; c.port = 443; }},
		{"protocol httpx",
		    "[s]\nprotocol=httpx\n",
		    [](connection& c) { c.protocol = 2; c.port = 80; }},
		{"an empty protocol changes nothing",
		    "[s]\nprotocol=\n",
		    [](connection&) {}},
		{"port then protocol: the protocol's port",
		    "[s]\nport=8443\nprotocol=https\n",
		    [](connection& c) { c.protocol = 3; c.port = 443; }},
		{"protocol then port: the port",
		    "[s]\nprotocol=https\nport=8443\n",
		    [](connection& c) { c.protocol = 3; c.port = 8443; }},
		{"numbers within their ranges",
		    "[s]\nport=65535\nverbosity=-2\ntrim_tree=0\nextra_files=3\nstream_listing=0\nhttp_connections=4\n",
		    [](connection& c) {
			    c.port = 65535; c.verbosity = -2; c.trim_tree = 0; c.extra_files = 3; c.stream_listing = 0;
			    c.http_connections = 4;
		    }},
		{"a later line overrides an earlier one",
		    "[s]\nhost=a\nhost=\n",
		    [](connection& c) { c.host = ""; }},
		{"a NUL byte cuts a value",
		    "[s]\nhost=a\0b\nbranch=c\n"s,
		    [](connection& c) { c.host = "a"; c.branch = "c"; }},
		{"a NUL byte does not hide a later section",
		    "[defaults]\nverbosity=0\0\n\n[s]\nhost=a\n"s,
		    [](connection& c) { c.verbosity = 0; c.host = "a"; }},
	};
	temporary_folder folder;
	std::string path = folder.path + "/trelk.conf";
	for (const configuration_case& test : cases) {
		write_text(path, test.text);
		connection actual, expected;
		load_configuration(actual, path.c_str(), "s");
		test.change(expected);
		EXPECT_EQ(settings_of(actual), settings_of(expected)) << test.name;
	}
}

// A numeric key whose value is not a number within its range is refused,
// naming the key, the section and the value; nothing wraps around.
TEST(LoadConfiguration, NumbersOutOfRangeOrNotNumbersAreRefused)
{
	const std::pair<const char*, const char*> cases[] = {
		{"[s]\nport=abc\n", "port= in section [s]: \"abc\" is not a port number from 1 to 65535"},
		{"[s]\nport=70000\n", "port= in section [s]: \"70000\" is not a port number from 1 to 65535"},
		{"[s]\nport=0\n", "port= in section [s]: \"0\" is not a port number from 1 to 65535"},
		{"[s]\nport=-1\n", "port= in section [s]: \"-1\" is not a port number from 1 to 65535"},
		{"[s]\nport=8443\r\n", "port= in section [s]: \"8443\\x0d\" is not a port number from 1 to 65535"},
		{"[defaults]\nport=\n", "port= in section [defaults]: \"\" is not a port number from 1 to 65535"},
		{"[s]\nverbosity= -2x\n", "verbosity= in section [s]: \" -2x\" is not a number from -2147483648 to 2147483647"},
		{"[s]\ntrim_tree=yes\n", "trim_tree= in section [s]: \"yes\" is not a number from -2147483648 to 2147483647"},
		{"[s]\nstream_listing=no\n", "stream_listing= in section [s]: \"no\" is not a number from -2147483648 to 2147483647"},
		{"[s]\nhttp_connections=0\n", "http_connections= in section [s]: \"0\" is not a number from 1 to 4"},
		{"[s]\nhttp_connections=5\n", "http_connections= in section [s]: \"5\" is not a number from 1 to 4"},
		{"[s]\nextra_files=4294967297\n",
		    "extra_files= in section [s]: \"4294967297\" is not a number from -2147483648 to 2147483647"},
		// Protocol values are case-sensitive.
		{"[s]\nprotocol=SVN\n", "protocol= in section [s]: \"SVN\" is not a protocol: svn, http or https"},
		{"[defaults]\nprotocol=ftp\n", "protocol= in section [defaults]: \"ftp\" is not a protocol: svn, http or https"},
	};
	temporary_folder folder;
	std::string path = folder.path + "/trelk.conf";
	for (const auto& [text, message] : cases) {
		write_text(path, text);
		connection conn;
		EXPECT_EXIT(load_configuration(conn, path.c_str(), "s"), testing::ExitedWithCode(1), errx_text(message))
		    << text;
	}
}

TEST(SetConfiguration, TextIsWholeAfterwards)
{
	std::string text = "[a]\nhost=a\n[b]\r\n#x\nbranch=b";
	std::string copy = text;
	connection conn;
	for (const char* section : {"a", "b", "missing"}) {
		set_configuration(conn, text.data(), text.size(), section);
		EXPECT_EQ(text, copy) << section;
	}
	EXPECT_EQ(conn.host, "a");
	EXPECT_FALSE(conn.branch);
}

TEST(LoadConfiguration, MissingFile)
{
	temporary_folder folder;
	connection conn;
	std::string path = folder.path + "/none.conf";
	EXPECT_EXIT(load_configuration(conn, path.c_str(), "s"), testing::ExitedWithCode(1),
	    err_text("Cannot find configuration file"));
}

// A directory or a FIFO is refused at once: reading a FIFO would wait for a
// writer for ever (the alarm ends the test if it does).
TEST(LoadConfiguration, NotARegularFile)
{
	temporary_folder folder;
	std::string fifo = folder.path + "/fifo.conf";
	ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
	for (const std::string& path : {folder.path, fifo}) {
		connection conn;
		EXPECT_EXIT({
			alarm(10);
			load_configuration(conn, path.c_str(), "s");
		}, testing::ExitedWithCode(1), errx_text("Configuration file " + path + " is not a regular file"))
		    << path;
	}
}

// A file whose content ends before the size its status gives (as files of
// the kernel's sysfs do) is reported as short, without a stale system error.
TEST(LoadConfiguration, ShorterThanItsSize)
{
	const char* path = "/sys/kernel/mm/transparent_hugepage/enabled";
	struct stat status;
	if (stat(path, &status) == -1 || static_cast<size_t>(status.st_size) <= read_text(path).size())
		GTEST_SKIP() << "no file here reads shorter than its size";
	connection conn;
	EXPECT_EXIT(load_configuration(conn, path, "s"), testing::ExitedWithCode(1),
	    errx_text(std::string("Problem reading configuration file ") + path + ": it is shorter than expected"));
}

// A section pins a certificate with tls_fingerprint=; an empty value
// undoes a pin of the defaults, and a malformed one is refused at start.
TEST(SetConfiguration, TlsFingerprint)
{
	const std::string pin = "AB:" + std::string(62, '0');
	const std::string stored = "ab" + std::string(62, '0');
	struct {
		const char* name;
		std::string text;
		std::string stored;
	} rows[] = {
		{"from the defaults", "[defaults]\ntls_fingerprint=" + pin + "\n", stored},
		{"from the section", "[defaults]\n\n[s]\ntls_fingerprint=" + stored + "\n", stored},
		{"cleared by the section", "[defaults]\ntls_fingerprint=" + pin + "\n\n[s]\ntls_fingerprint=\n", ""},
	};
	for (auto& row : rows) {
		connection conn;
		set_configuration(conn, row.text.data(), row.text.size(), "defaults");
		set_configuration(conn, row.text.data(), row.text.size(), "s");
		EXPECT_EQ(conn.tls_fingerprint, row.stored) << row.name;
	}
	std::string bad = "[s]\ntls_fingerprint=AB:CD\n";
	connection conn;
	EXPECT_EXIT(set_configuration(conn, bad.data(), bad.size(), "s"), testing::ExitedWithCode(1),
	    "tls_fingerprint=AB:CD is not a SHA-256 fingerprint: 64 hexadecimal digits, colons allowed\\.");
}

}	// namespace
