// Texts that come as an svndiff against the local copy: the GET asks for
// one only when the local copy holds the base, and the answer is decoded
// against it, or taken whole when the server sent the text itself.

#include "dav/dav.h"
#include "local/local.h"
#include "transport/transport.h"

#include "../local/test_support.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string base_text = "The quick brown fox jumps over the lazy dog.\n";
const std::string new_text = "The quick brown fox jumps over the lazy cat.\n";
const std::string base_href = "/base/!svn/rvr/1/head/x.c";
const std::string asked = "X-SVN-VR-Base: " + base_href + "\r\nAccept-Encoding: svndiff1;q=0.9,svndiff;q=0.8\r\n";

// An svndiff (version 0) of new_text: all but the last five bytes copied
// from the base, then "cat.\n" as new data.
std::string
delta_of_new_text()
{
	std::string instructions = {static_cast<char>(0x00 | 40), 0, static_cast<char>(0x80 | 5)};
	std::string window = {0, static_cast<char>(base_text.size()), static_cast<char>(new_text.size()),
	    static_cast<char>(instructions.size()), 5};
	return std::string("SVN\0", 4) + window + instructions + "cat.\n";
}

std::string
answer_header(const std::string& type)
{
	return "HTTP/1.1 200 OK\r\nVary: X-SVN-VR-Base\r\nContent-Type: " + type + "\r\n\r\n";
}

// A target holding /x.c with base_text, and a node for it whose base is
// that text.
struct fixture {
	fixture()
	{
		conn.path_target = folder.path;
		write_text(folder.path + "/x.c", base_text);
		node.path = "/x.c";
		node.href = "/base/!svn/rvr/2/head/x.c";
		node.base_md5 = md5_hex(base_text.data(), base_text.size());
		node.base_href = base_href;
	}

	// The text locate_content finds in one answer, as a string.
	std::string
	located(const std::string& header, const std::string& body, const std::string& before = "")
	{
		answer = before + header + body;
		node.size = static_cast<int64_t>(body.size());
		char* start = answer.data();
		char* text = webdav_protocol.locate_content(conn, node, start, start + answer.size());
		return text == nullptr ? "(none)" : std::string(text, static_cast<size_t>(node.size));
	}

	temporary_folder folder;
	connection conn;
	file_node node;
	std::string answer;
};

TEST(BaseDeltaLines, AskedOnlyWhenTheLocalCopyHoldsTheBase)
{
	const std::string keyword_base = "id $FreeBSD$\n";
	const struct {
		const char* name;
		std::string local;	// the local copy; "link:" + target for a link
		std::string base;	// the base's text
		bool with_href;
		std::string lines;
	} cases[] = {
		{"the local copy is the base", base_text, base_text, true, asked},
		{"the local copy differs", new_text, base_text, true, ""},
		{"the base has no href", base_text, base_text, false, ""},
		{"an expanded keyword collapsed", "id $FreeBSD: head/x.c 1 2020-01-01 00:00:00Z dev $\n", keyword_base, true,
		    asked},
		{"a link as the repository holds it", "link:a.c", "link a.c", true, asked},
	};

	for (const auto& c : cases) {
		SCOPED_TRACE(c.name);
		fixture f;
		unlink((f.folder.path + "/x.c").c_str());
		if (c.local.starts_with("link:"))
			ASSERT_EQ(symlink(c.local.substr(5).c_str(), (f.folder.path + "/x.c").c_str()), 0);
		else
			write_text(f.folder.path + "/x.c", c.local);
		f.node.base_md5 = md5_hex(c.base.data(), c.base.size());
		if (!c.with_href)
			f.node.base_href.clear();
		EXPECT_EQ(base_delta_lines(f.conn, f.node), c.lines);
		std::string request = webdav_protocol.content_request(f.conn, f.node);
		EXPECT_EQ(request.find("X-SVN-VR-Base") != std::string::npos, !c.lines.empty()) << request;
	}
}

TEST(LocateContent, DeltaDecodedAgainstTheLocalCopyOrTextTakenWhole)
{
	const struct {
		const char* name;
		bool with_base;
		std::string type;
		std::string body;
		std::string text;
		std::string before = "";
	} cases[] = {
		{"an svndiff against the base", true, "application/vnd.svn-svndiff", delta_of_new_text(), new_text},
		{"after the line end that closes a chunked body", true, "application/vnd.svn-svndiff", delta_of_new_text(),
		    new_text, "\r\n"},
		{"the label in another case, with a parameter", true, "Application/VND.svn-svndiff; x=y", delta_of_new_text(),
		    new_text},
		{"the server sent the text itself", true, "text/plain", new_text, new_text},
		{"no base asked for: a text labelled svndiff is the text", false, "application/vnd.svn-svndiff",
		    delta_of_new_text(), delta_of_new_text()},
	};

	for (const auto& c : cases) {
		SCOPED_TRACE(c.name);
		fixture f;
		if (!c.with_base)
			f.node.base_md5.clear();
		EXPECT_EQ(f.located(answer_header(c.type), c.body, c.before), c.text);
		EXPECT_EQ(read_text(f.folder.path + "/x.c"), base_text);
	}
}

TEST(LocateContentDeathTest, BrokenDeltaOrLostBaseEndsTheRunNamingTheFile)
{
	const std::string svndiff = answer_header("application/vnd.svn-svndiff");
	std::string far_copy = delta_of_new_text();
	far_copy[far_copy.size() - 7] = 60;	// copies past the base's end

	{
		fixture f;
		EXPECT_EXIT(f.located(svndiff, "SVN\x07"), testing::ExitedWithCode(1),
		    "The server sent a broken text for " + f.folder.path + "/x.c \\(.+\\)\\.  Quitting\\.\n$");
	}
	{
		fixture f;
		EXPECT_EXIT(f.located(svndiff, far_copy), testing::ExitedWithCode(1),
		    "The server sent a broken text for " + f.folder.path + "/x.c \\(.+\\)\\.  Quitting\\.\n$");
	}
	{
		fixture f;
		EXPECT_EXIT(f.located(svndiff, delta_of_new_text().substr(0, 10)), testing::ExitedWithCode(1),
		    "The server sent a broken text for " + f.folder.path + "/x.c \\(.+\\)\\.  Quitting\\.\n$");
	}
	{
		fixture f;
		write_text(f.folder.path + "/x.c", "edited meanwhile\n");
		EXPECT_EXIT(f.located(svndiff, delta_of_new_text()), testing::ExitedWithCode(1),
		    errx_text(f.folder.path + "/x.c changed while its delta was fetched.  Quitting."));
	}
}

} // namespace
