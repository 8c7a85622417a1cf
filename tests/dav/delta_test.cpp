// The delta update report: its request, the reading of its body, and the
// answers that make it fail.

#include "dav/dav.h"

#include "canned_server.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string head = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<S:update-report xmlns:S=\"svn:\" xmlns:V=\"http://subversion.tigris.org/xmlns/dav/\" "
    "xmlns:D=\"DAV:\"  inline-props=\"true\">\n<S:target-revision rev=\"2\"/>\n"
    "<S:open-directory rev=\"1\">\n<D:checked-in><D:href>/base/!svn/rvr/2/head</D:href></D:checked-in>\n"
    "<S:set-prop name=\"svn:entry:committed-rev\">2</S:set-prop>\n";
const std::string tail = "</S:open-directory>\n</S:update-report>\n";

const std::string md5 = "<S:prop><V:md5-checksum>C193497A1A06B2C72230E6146FF47080</V:md5-checksum></S:prop>";

std::string
checked_in(const std::string& path)
{
	return "<D:checked-in><D:href>/base/!svn/rvr/2/head" + path + "</D:href></D:checked-in>\n";
}

// The delta as lines: "D path", "A path" (a directory), "F path" or
// "F+ path" (added) with its MD5, href and repository path (and "base",
// its base's MD5 and href, when it has one), and each property as
// "P name=value" or "R name".
std::vector<std::string>
described(const tree_delta& delta)
{
	std::vector<std::string> lines;

	for (const std::string& path : delta.deleted)
		lines.push_back("D " + path);
	for (const std::string& path : delta.added_directories)
		lines.push_back("A " + path);
	for (const changed_file& file : delta.files) {
		lines.push_back((file.added ? "F+ " : "F ") + file.path + " " + file.md5 + " " + file.href +
		    " " + file.repository_path + (file.base_md5.empty() && file.base_href.empty() ? "" :
		    " base " + file.base_md5 + " " + file.base_href));
		for (const property_change& property : file.properties)
			lines.push_back(property.value ? "P " + property.name + "=" + *property.value : "R " + property.name);
	}
	return lines;
}

TEST(ParseDeltaReport, ReadsWhatChanged)
{
	const std::string lower = "c193497a1a06b2c72230e6146ff47080";
	const struct {
		const char* name;
		std::string trunk;
		std::string body;
		std::vector<std::string> lines;
	} cases[] = {
		{"no change", "head", head + tail, {}},
		{"an edited file in an opened directory, the DAV names kept", "head",
		    head + "<S:open-directory name=\"a\" rev=\"1\">\n" + checked_in("/a") +
		    "<S:delete-entry name=\"old\" rev=\"2\"/>\n<S:open-file name=\"x.c\" rev=\"1\">\n" + checked_in("/a/x.c") +
		    "<S:set-prop name=\"svn:entry:last-author\">dev</S:set-prop>\n"
		    "<S:fetch-file base-checksum=\"5bbf5a52328e7439ae6e719dfe712200\"/>\n" + md5 + "</S:open-file>\n"
		    "</S:open-directory>\n" + tail,
		    {"D /a/old", "F /a/x.c " + lower + " /base/!svn/rvr/2/head/a/x.c head/a/x.c base "
			"5bbf5a52328e7439ae6e719dfe712200 /base/!svn/rvr/1/head/a/x.c", "P svn:entry:last-author=dev"}},
		{"bases: the revision the file was at, none without a usable checksum or revision, none when added", "head",
		    head + "<S:open-file name=\"a%b\" rev=\"7\">" + checked_in("/a%25b") +
		    "<S:fetch-file base-checksum=\"5BBF5A52328E7439AE6E719DFE712200\"/>" + md5 + "</S:open-file>"
		    "<S:open-file name=\"n\" rev=\"1\">" + checked_in("/n") + "<S:fetch-file base-checksum=\"5bbf\"/>" + md5 +
		    "</S:open-file><S:open-file name=\"r\">" + checked_in("/r") +
		    "<S:fetch-file base-checksum=\"5bbf5a52328e7439ae6e719dfe712200\"/>" + md5 + "</S:open-file>"
		    "<S:open-file name=\"q\" rev=\"1x\">" + checked_in("/q") +
		    "<S:fetch-file base-checksum=\"5bbf5a52328e7439ae6e719dfe712200\"/>" + md5 + "</S:open-file>"
		    "<S:add-file name=\"p\" rev=\"1\">" + checked_in("/p") +
		    "<S:fetch-file base-checksum=\"5bbf5a52328e7439ae6e719dfe712200\"/>" + md5 + "</S:add-file>" + tail,
		    {"F /a%b " + lower + " /base/!svn/rvr/2/head/a%25b head/a%b base 5bbf5a52328e7439ae6e719dfe712200 "
			"/base/!svn/rvr/7/head/a%25b",
			"F /n " + lower + " /base/!svn/rvr/2/head/n head/n", "F /r " + lower + " /base/!svn/rvr/2/head/r head/r",
			"F /q " + lower + " /base/!svn/rvr/2/head/q head/q", "F+ /p " + lower + " /base/!svn/rvr/2/head/p head/p"}},
		{"added directories and a file, entities and base64 decoded, a property removed", "head",
		    head + "<S:add-directory name=\"n\">\n" + checked_in("/n") + "<S:add-directory name=\"m\">\n" +
		    "<S:add-file name=\"f%\">\n" + checked_in("/n/m/f%25") +
		    "<S:set-prop name=\"p1\">v&lt;&amp;&gt;</S:set-prop>\n"
		    "<S:set-prop name=\"bin\" encoding=\"base64\">\nAQI=\n</S:set-prop>\n"
		    "<S:remove-prop name=\"svn:executable\"/>\n" + md5 + "</S:add-file>\n"
		    "</S:add-directory>\n</S:add-directory>\n" + tail,
		    {"A /n", "A /n/m", "F+ /n/m/f% " + lower + " /base/!svn/rvr/2/head/n/m/f%25 head/n/m/f%",
			"P p1=v<&>", "P bin=\x01\x02", "R svn:executable"}},
		{"the branch is the repository root", "",
		    "<S:update-report xmlns:S=\"svn:\" xmlns:V=\"v\" xmlns:D=\"DAV:\"><S:open-directory>"
		    "<S:open-file name=\"x\"><D:checked-in><D:href>/base/!svn/rvr/2/x</D:href></D:checked-in>" + md5 +
		    "</S:open-file></S:open-directory></S:update-report>",
		    {"F /x " + lower + " /base/!svn/rvr/2/x x"}},
	};

	for (const auto& c : cases) {
		SCOPED_TRACE(c.name);
		tree_delta delta;
		std::string reason;
		ASSERT_TRUE(parse_delta_report(c.body, c.trunk, delta, reason)) << reason;
		EXPECT_EQ(described(delta), c.lines);
	}
}

TEST(ParseDeltaReport, FailsOnWhatCannotBeUsed)
{
	const std::string file = "<S:open-file name=\"x.c\">\n" + checked_in("/x.c");
	const struct {
		const char* name;
		std::string body;
		const char* reason;
	} cases[] = {
		{"cut short", head + file, "ends short"},
		{"cut short in a tag", (head + tail).substr(0, head.size() + 20), "ends short"},
		{"no XML", "<S:update-report><S:open-directory></S:update-report>", "malformed XML"},
		{"a file without an MD5", head + file + "</S:open-file>" + tail, "MD5"},
		{"an MD5 that is no MD5", head + file + "<V:md5-checksum>c19349</V:md5-checksum></S:open-file>" + tail, "MD5"},
		{"a file without an href", head + "<S:add-file name=\"x.c\">" + md5 + "</S:add-file>" + tail, "no href"},
		{"an href of another path", head + "<S:add-file name=\"x.c\">" + checked_in("/y.c") + md5 + "</S:add-file>" + tail,
		    "does not name"},
		{"a file outside any directory", "<S:update-report><S:add-file name=\"x\"/></S:update-report>", "outside"},
	};

	for (const auto& c : cases) {
		SCOPED_TRACE(c.name);
		tree_delta delta;
		delta.deleted.push_back("/left over");
		std::string reason;
		EXPECT_FALSE(parse_delta_report(c.body, "head", delta, reason));
		EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
	}
}

TEST(ParseDeltaReportDeathTest, NameLeavingTheTargetEndsTheRun)
{
	for (const char* name : {"..", "a/b", "."}) {
		SCOPED_TRACE(name);
		tree_delta delta;
		std::string reason;
		std::string body = head + "<S:delete-entry name=\"" + name + "\"/>" + tail;
		EXPECT_EXIT(parse_delta_report(body, "head", delta, reason), testing::ExitedWithCode(1), "");
	}
}

TEST(DeltaRequest, NamesTheRevisionAndEachMissingPathEscaped)
{
	connection conn;
	conn.host = "127.0.0.1";
	conn.branch = "base/head";
	conn.repository_root = "base";
	conn.revision = 7;
	std::string request = delta_request(conn, 3, {"/a&b/<c>", "/\"q\""});

	EXPECT_EQ(request.rfind("REPORT /base/!svn/me HTTP/1.1\r\n", 0), 0u);
	EXPECT_NE(request.find("<S:src-path>/base/head</S:src-path><S:target-revision>7</S:target-revision>"
	    "<S:depth>unknown</S:depth><S:entry rev=\"3\" depth=\"infinity\"></S:entry>"
	    "<S:missing>a&amp;b/&lt;c&gt;</S:missing><S:missing>&quot;q&quot;</S:missing></S:update-report>"),
	    std::string::npos);
	EXPECT_EQ(request.find("start-empty"), std::string::npos);
}

// A report cut short under status 200, as Apache sends one when an error
// stops it, and a refused report: both leave the delta empty and false.
TEST(ReadDeltaHttp, CutOrRefusedAnswerFails)
{
	const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
	const std::string cut = head + "<S:open-file name=\"x.c\">\n" + checked_in("/x.c") + md5 + "</S:open-file>\n";
	char size[20];
	snprintf(size, sizeof(size), "%zx\r\n", cut.size());
	const std::string refusal = "<D:error xmlns:D=\"DAV:\"/>";
	const std::string answers[] = {
		chunked + size + cut + "\r\n0\r\n\r\n",
		"HTTP/1.1 404 Not Found\r\nContent-Length: " + std::to_string(refusal.size()) + "\r\n\r\n" + refusal,
	};

	for (const std::string& answer : answers) {
		dav_fixture::canned_server server({{{answer}}});
		connection conn = server.client();
		conn.branch = "base/head";
		conn.repository_root = "base";
		conn.trunk = "head";
		conn.revision = 2;
		tree_delta delta;
		EXPECT_FALSE(read_delta_http(conn, 1, {}, delta));
		EXPECT_TRUE(described(delta).empty());
		EXPECT_NE(server.requests().find("<S:entry rev=\"1\" depth=\"infinity\">"), std::string::npos);
	}
}

} // namespace
