// The OPTIONS discovery and the tree report against a scripted server.

#include "dav/dav.h"
#include "local/local.h"
#include "canned_server.h"

#include <sys/stat.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

std::string
options_answer(const std::string& fields)
{
	std::string body = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:options-response xmlns:D=\"DAV:\"/>\n";
	return "HTTP/1.1 200 OK\r\nDAV: 1,2\r\n" + fields + "Content-Length: " + std::to_string(body.size()) +
	    "\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n\r\n" + body;
}

const std::string announced = "SVN-Youngest-Rev: 12345\r\nSVN-Repository-Root: /base\r\n";

TEST(DiscoverHttp, LearnsRevisionRootAndTrunk)
{
	canned_server server({{{options_answer(announced)}}});
	connection conn = server.client();
	conn.branch = "base/head";

	discover_http(conn);
	EXPECT_EQ(conn.revision, 12345);
	EXPECT_EQ(conn.repository_root, "base");
	EXPECT_EQ(conn.trunk, "head");
	EXPECT_EQ(server.requests(),
	    "OPTIONS /base/head HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port) + "\r\nUser-Agent: trelk-1.08\r\n"
	    "Content-Type: text/xml\r\n"
	    "DAV: http://subversion.tigris.org/xmlns/dav/svn/depth\r\n"
	    "DAV: http://subversion.tigris.org/xmlns/dav/svn/mergeinfo\r\n"
	    "DAV: http://subversion.tigris.org/xmlns/dav/svn/log-revprops\r\n"
	    "Transfer-Encoding: chunked\r\n\r\n83\r\n"
	    "<?xml version=\"1.0\" encoding=\"utf-8\"?><D:options xmlns:D=\"DAV:\"><D:activity-collection-set>"
	    "</D:activity-collection-set></D:options>\r\n0\r\n\r\n");
}

TEST(DiscoverHttp, RootAndTrunkCases)
{
	struct trunk_case {
		std::string branch;
		std::string root_field;
		std::string root;
		std::string trunk;
	} cases[] = {
		{"base/stable/13", "/base", "base", "stable/13"},
		{"svn/base/head/", "/svn/base", "svn/base", "head"},
		{"base", "/base", "base", ""},
		{"head", "/", "", "head"},
	};

	for (const trunk_case& c : cases) {
		SCOPED_TRACE(c.branch);
		// A revision asked for needs no SVN-Youngest-Rev.
		canned_server server({{{options_answer("SVN-Repository-Root: " + c.root_field + "\r\n")}}});
		connection conn = server.client();
		conn.branch = c.branch;
		conn.revision = 7;
		discover_http(conn);
		EXPECT_EQ(conn.revision, 7);
		EXPECT_EQ(conn.repository_root, c.root);
		EXPECT_EQ(conn.trunk, c.trunk);
	}
}

TEST(DiscoverHttpDeathTest, MissingAnnouncementsEndTheRun)
{
	struct missing_case {
		std::string fields;
		std::string branch;
		int32_t revision;
		const char* message;
	} cases[] = {
		{"SVN-Repository-Root: /base\r\n", "base/head", 0, ": Cannot find revision number.\n$"},
		{"SVN-Youngest-Rev: x1\r\nSVN-Repository-Root: /base\r\n", "base/head", 0, ": Cannot find revision number.\n$"},
		{"SVN-Youngest-Rev: 5\r\n", "base/head", 0, ": Cannot find SVN Repository Root.\n$"},
		{announced, "database/head", 0, ": Cannot find SVN Repository Trunk.\n$"},
		{announced, "other/base/head", 0, ": Cannot find SVN Repository Trunk.\n$"},
	};

	for (const missing_case& c : cases) {
		SCOPED_TRACE(c.fields + c.branch);
		canned_server server({{{options_answer(c.fields)}}});
		EXPECT_EXIT(
		    {
			    connection conn = server.client();
			    conn.branch = c.branch;
			    conn.revision = c.revision;
			    discover_http(conn);
		    },
		    testing::ExitedWithCode(1), c.message);
	}
}

// A tree report body in the form mod_dav_svn gives it, with entries put in.
std::string
report_body(const std::string& entries)
{
	return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
	    "<S:update-report xmlns:S=\"svn:\" xmlns:V=\"http://subversion.tigris.org/xmlns/dav/\" xmlns:D=\"DAV:\" >\n"
	    "<S:target-revision rev=\"5\"/>\n<S:open-directory rev=\"5\">\n"
	    "<D:checked-in><D:href>/base/!svn/rvr/5/head</D:href></D:checked-in>\n" + entries +
	    "</S:open-directory>\n</S:update-report>\n";
}

std::string
add_file(const std::string& name, const std::string& href, const std::string& md5)
{
	return "<S:add-file name=\"" + name + "\">\n<D:checked-in><D:href>" + href +
	    "</D:href></D:checked-in>\n<S:prop><V:md5-checksum>" + md5 + "</V:md5-checksum></S:prop></S:add-file>\n";
}

std::string
add_directory(const std::string& name, const std::string& href)
{
	return "<S:add-directory name=\"" + name + "\" bc-url=\"x\">\n<D:checked-in><D:href>" + href +
	    "</D:href></D:checked-in>\n";
}

// The answer in chunks, the way Apache sends it.
std::string
chunked_answer(const std::string& body)
{
	std::string answer = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: text/xml\r\n\r\n";
	for (size_t at = 0; at < body.size(); at += 100) {
		std::string piece = body.substr(at, 100);
		char size[16];
		snprintf(size, sizeof(size), "%zx\r\n", piece.size());
		answer += size + piece + "\r\n";
	}
	return answer + "0\r\n\r\n";
}

const char* const md5_a = "5d41402abc4b2a76b9719d911017c592";
const char* const md5_b = "D41D8CD98F00B204E9800998ECF8427E";

const std::string good_entries =
    add_file("%41x", "/base/!svn/rvr/5/head/%2541x", md5_a) +
    add_directory("a b", "/base/!svn/rvr/5/head/a%20b") +
    add_file("c&amp;d&lt;e&gt;", "/base/!svn/rvr/5/head/a%20b/c&amp;d%3Ce%3E", md5_a) +
    "</S:add-directory>\n" +
    add_directory("head", "/base/!svn/rvr/5/head/head") +
    add_file("empty", "/base/!svn/rvr/5/head/head/empty", md5_b) +
    "</S:add-directory>\n";

// A fresh target folder, removed at the end.
class target_dir {
public:
	target_dir()
	{
		char dir[] = "/tmp/trelk-dav-target-XXXXXX";
		path = mkdtemp(dir);
	}
	~target_dir() { system(("rm -rf '" + path + "'").c_str()); }
	bool is_directory(const std::string& relative) const
	{
		struct stat status;
		return lstat((path + relative).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
	}
	std::string path;
};

connection
report_client(const canned_server& server, const target_dir& target)
{
	connection conn = server.client();
	conn.branch = "base/head";
	conn.repository_root = "base";
	conn.trunk = "head";
	conn.revision = 5;
	conn.path_target = target.path;
	return conn;
}

TEST(ListTreeHttp, MakesDirectoriesAndCataloguesFiles)
{
	canned_server server({{{chunked_answer(report_body(good_entries))}}});
	target_dir target;
	connection conn = report_client(server, target);
	catalogue cat;
	path_sets sets;
	sets.local_dir_set = {target.path + "/a b", target.path + "/gone"};

	list_tree_http(conn, cat, sets);
	EXPECT_TRUE(target.is_directory("/a b"));
	EXPECT_TRUE(target.is_directory("/head"));
	EXPECT_EQ(sets.local_dir_set, path_set{target.path + "/gone"});
	ASSERT_EQ(cat.count(), 3);
	EXPECT_EQ(cat.file[0].path, "/%41x");
	EXPECT_EQ(cat.file[0].href, "/base/!svn/rvr/5/head/%2541x");
	EXPECT_STREQ(cat.file[0].md5, md5_a);
	EXPECT_EQ(cat.file[1].path, "/a b/c&d<e>");
	EXPECT_EQ(cat.file[1].href, "/base/!svn/rvr/5/head/a%20b/c&d%3Ce%3E");
	EXPECT_EQ(cat.file[2].path, "/head/empty");
	EXPECT_STREQ(cat.file[2].md5, "d41d8cd98f00b204e9800998ecf8427e");

	std::string document = "<S:update-report xmlns:S=\"svn:\"><S:include-props>yes</S:include-props>"
	    "<S:src-path>/base/head</S:src-path>"
	    "<S:target-revision>5</S:target-revision><S:depth>unknown</S:depth><S:entry rev=\"5\" "
	    "depth=\"infinity\" start-empty=\"true\"></S:entry></S:update-report>\r\n";
	EXPECT_EQ(document.size(), 0xfeu);
	std::string requests = server.requests();
	EXPECT_EQ(requests.substr(0, 33), "REPORT /base/!svn/me HTTP/1.1\r\nHo");
	EXPECT_EQ(requests.substr(requests.size() - document.size() - 11), "fe\r\n" + document + "\r\n0\r\n\r\n");
	// Without inline properties nothing is known of the modes yet.
	EXPECT_FALSE(cat.file[0].props_known);
}

TEST(ListTreeHttp, InlinePropertiesGiveTheModeOfEveryFile)
{
	std::string body = report_body(
	    "<S:add-file name=\"x\">\n<D:checked-in><D:href>/base/!svn/rvr/5/head/x</D:href></D:checked-in>\n"
	    "<S:set-prop name=\"svn:entry:committed-rev\">5</S:set-prop>\n"
	    "<S:set-prop name=\"svn:executable\">*</S:set-prop>\n"
	    "<S:prop><V:md5-checksum>" + std::string(md5_a) + "</V:md5-checksum></S:prop></S:add-file>\n" +
	    "<S:add-file name=\"l\">\n<D:checked-in><D:href>/base/!svn/rvr/5/head/l</D:href></D:checked-in>\n"
	    "<S:set-prop name=\"svn:special\">*</S:set-prop>\n"
	    "<S:prop><V:md5-checksum>" + std::string(md5_a) + "</V:md5-checksum></S:prop></S:add-file>\n" +
	    add_file("y", "/base/!svn/rvr/5/head/y", md5_a));
	body.replace(body.find(" >\n"), 3, " inline-props=\"true\">\n");
	canned_server server({{{chunked_answer(body)}}});
	target_dir target;
	connection conn = report_client(server, target);
	catalogue cat;
	path_sets sets;

	list_tree_http(conn, cat, sets);
	ASSERT_EQ(cat.count(), 3);
	const std::tuple<uint8_t, uint8_t> flags[] = {{1, 0}, {0, 1}, {0, 0}};
	for (int i = 0; i < 3; i++) {
		EXPECT_TRUE(cat.file[i].props_known) << i;
		EXPECT_EQ(std::make_tuple(cat.file[i].executable, cat.file[i].special), flags[i]) << i;
	}
}

TEST(ListTreeHttp, AnEmptyBranchGivesAnEmptyCatalogue)
{
	canned_server server({{{chunked_answer(report_body(""))}}});
	target_dir target;
	connection conn = report_client(server, target);
	catalogue cat;
	path_sets sets;

	list_tree_http(conn, cat, sets);
	EXPECT_EQ(cat.count(), 0);
}

TEST(ListTreeHttpDeathTest, UnusableEntriesEndTheRunBeforeAnythingIsMade)
{
	const std::string dir = add_directory("d", "/base/!svn/rvr/5/head/d") + "</S:add-directory>\n";
	struct bad_case {
		std::string entries;
		const char* message;
	} cases[] = {
		{dir + add_file("x", "/base/!svn/rvr/5/head/x", "abc"),
		    "The tree report gives an unusable MD5 checksum \"abc\" for /base/!svn/rvr/5/head/x.  Quitting."},
		{dir + add_file("x", "/base/!svn/rvr/5/head/x", "5d41402abc4b2a76b9719d911017c59g"),
		    "The tree report gives an unusable MD5 checksum \"5d41402abc4b2a76b9719d911017c59g\" for "
		    "/base/!svn/rvr/5/head/x.  Quitting."},
		{dir + "<S:add-file name=\"x\">\n<D:checked-in><D:href>/base/!svn/rvr/5/head/x</D:href></D:checked-in>"
		       "</S:add-file>\n" + add_file("y", "/base/!svn/rvr/5/head/y", md5_a),
		    "The tree report gives no MD5 checksum for /base/!svn/rvr/5/head/x.  Quitting."},
		{dir + "<S:add-file name=\"n&amp;m\">\n</S:add-file>\n" + add_file("y", "/base/!svn/rvr/5/head/y", md5_a),
		    "The tree report gives no href for n&m.  Quitting."},
		{dir + add_file("x", "/base/!svn/rvr/5/other/x", md5_a),
		    "The tree report names /base/!svn/rvr/5/other/x, which lies outside the branch.  Quitting."},
		{dir + add_file("x", "/base/!svn/rvr/5/headx", md5_a),
		    "The tree report names /base/!svn/rvr/5/headx, which lies outside the branch.  Quitting."},
		{dir + add_file("x", "/base/head/x", md5_a),
		    "The tree report names /base/head/x, which lies outside the branch.  Quitting."},
		{dir + add_file("x", "/base/!svn/rvr/5/head/..%2F..%2Fetc/passwd", md5_a),
		    "The server sent an unusable file name \"../../etc\".  Quitting."},
		{dir + add_file("x", "/base/!svn/rvr/5/head/d%2Fx", md5_a),
		    "The server sent an unusable file name \"d/x\".  Quitting."},
		{dir + add_file("x", "/base/!svn/rvr/5/head/d//x", md5_a),
		    "The server sent an unusable file name \"\".  Quitting."},
		{dir + add_directory("x", "/base/!svn/rvr/5/head/a/%2e%2e") + "</S:add-directory>\n",
		    "The server sent an unusable file name \"..\".  Quitting."},
		{dir + add_file("x", "/base/!svn/rvr/5/head/a%00b", md5_a),
		    "The server sent an unusable file name \"a\\\\x00b\".  Quitting."},
		{dir + add_file("x", "/base/!svn/rvr/5/head/a&#10;b", md5_a),
		    "The tree report gives the unusable href \"/base/!svn/rvr/5/head/a\\\\x0ab\".  Quitting."},
	};

	for (const bad_case& c : cases) {
		SCOPED_TRACE(c.message);
		canned_server server({{{chunked_answer(report_body(c.entries))}}});
		target_dir target;
		EXPECT_EXIT(
		    {
			    connection conn = report_client(server, target);
			    catalogue cat;
			    path_sets sets;
			    list_tree_http(conn, cat, sets);
		    },
		    testing::ExitedWithCode(1), std::string(": ") + c.message + "\n$");
		EXPECT_FALSE(target.is_directory("/d"));
	}
}

TEST(ListTreeHttpDeathTest, FailedOrIncompleteReportsEndTheRun)
{
	std::string cut = report_body(good_entries);
	cut.resize(cut.find("</S:open-directory>"));
	struct report_case {
		std::string answer;
		const char* message;
	} cases[] = {
		{"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops",
		    "^\n[^:\n]+: Command Failure: HTTP/1.1 500 Internal Server Error\r\nContent-Length: 4\r\n\r\noops\n$"},
		{chunked_answer(cut), ": The tree report from 127.0.0.1 is incomplete.  Quitting.\n$"},
	};

	for (const report_case& c : cases) {
		canned_server server({{{c.answer}}});
		target_dir target;
		EXPECT_EXIT(
		    {
			    connection conn = report_client(server, target);
			    catalogue cat;
			    path_sets sets;
			    list_tree_http(conn, cat, sets);
		    },
		    testing::ExitedWithCode(1), c.message);
		EXPECT_FALSE(target.is_directory("/a b"));
	}
}

// The message names mkdir's own error, not what a look-up afterwards says.
TEST(ListTreeHttpDeathTest, ADirectoryThatCannotBeMadeEndsTheRunWithItsError)
{
	canned_server server({{{chunked_answer(report_body(good_entries))}}});
	target_dir target;
	ASSERT_EQ(chmod(target.path.c_str(), 0555), 0);

	EXPECT_EXIT(
	    {
		    // Root may write anywhere: the run goes on as nobody.
		    if (geteuid() == 0 && setuid(65534) == -1)
			    exit(2);
		    connection conn = report_client(server, target);
		    catalogue cat;
		    path_sets sets;
		    list_tree_http(conn, cat, sets);
	    },
	    testing::ExitedWithCode(1), ": Cannot create " + target.path + "/a b: " + strerror(EACCES) + "\n$");
	chmod(target.path.c_str(), 0755);
}

TEST(ListTreeHttpDeathTest, ALinkInPlaceOfADirectoryEndsTheRun)
{
	canned_server server({{{chunked_answer(report_body(good_entries))}}});
	target_dir target;
	target_dir elsewhere;
	ASSERT_EQ(symlink(elsewhere.path.c_str(), (target.path + "/head").c_str()), 0);

	EXPECT_EXIT(
	    {
		    connection conn = report_client(server, target);
		    catalogue cat;
		    path_sets sets;
		    list_tree_http(conn, cat, sets);
	    },
	    testing::ExitedWithCode(1),
	    ": " + target.path + "/head exists locally and is not a directory.  Please remove it manually and restart trelk\n$");
}

} // namespace

namespace {

// The "$FreeBSD$" expansion comes from the entry properties the report
// sets inline, built as over svn: the path below the repository root, the
// last changed revision, its date and author.
TEST(ListTreeHttp, InlinePropertiesGiveTheExpansion)
{
	const std::string rev = "<S:set-prop name=\"svn:entry:committed-rev\">340</S:set-prop>\n";
	const std::string date = "<S:set-prop name=\"svn:entry:committed-date\">2018-10-19T12:34:56.123456Z</S:set-prop>\n";
	const std::string author = "<S:set-prop name=\"svn:entry:last-author\">dev</S:set-prop>\n";
	const std::string keywords = "<S:set-prop name=\"svn:keywords\">FreeBSD=%H</S:set-prop>\n";
	struct expansion_case {
		const char* name;
		std::string href;
		std::string properties;
		std::string expansion;
	} cases[] = {
		{"all entry properties", "d/x.c", keywords + rev + date + author, ": head/d/x.c 340 2018-10-19 12:34:56Z dev "},
		{"an escaped name", "a%20b", keywords + rev + date + author, ": head/a b 340 2018-10-19 12:34:56Z dev "},
		{"other keywords", "x.c", "<S:set-prop name=\"svn:keywords\">Id</S:set-prop>\n" + rev + date + author, ""},
		{"no keywords", "x.c", rev + date + author, ""},
		{"no author", "x.c", keywords + rev + date, ""},
		{"an author in base64", "x.c",
		    keywords + rev + date + "<S:set-prop name=\"svn:entry:last-author\" encoding=\"base64\">ZGV2\n</S:set-prop>\n",
		    ": head/x.c 340 2018-10-19 12:34:56Z dev "},
		{"an author with entities", "x.c",
		    keywords + rev + date + "<S:set-prop name=\"svn:entry:last-author\">a&amp;b</S:set-prop>\n",
		    ": head/x.c 340 2018-10-19 12:34:56Z a&b "},
	};
	for (const expansion_case& c : cases) {
		SCOPED_TRACE(c.name);
		std::string body = report_body("<S:add-file name=\"x\">\n<D:checked-in><D:href>/base/!svn/rvr/5/head/" + c.href +
		    "</D:href></D:checked-in>\n" + c.properties + "<S:prop><V:md5-checksum>" + md5_a +
		    "</V:md5-checksum></S:prop></S:add-file>\n");
		body.replace(body.find(" >\n"), 3, " inline-props=\"true\">\n");
		canned_server server({{{chunked_answer(body)}}});
		target_dir target;
		connection conn = report_client(server, target);
		catalogue cat;
		path_sets sets;
		list_tree_http(conn, cat, sets);
		ASSERT_EQ(cat.count(), 1);
		EXPECT_EQ(cat.file[0].expansion, c.expansion);
	}
}

} // namespace
