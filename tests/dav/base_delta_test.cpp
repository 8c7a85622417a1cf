// Texts that come as an svndiff against the local copy or compressed: the
// GET asks for a delta only when the local copy holds the base, for gzip
// otherwise, and the answer is decoded, or taken as it is when the server
// sent the text itself.

#include "dav/dav.h"
#include "local/local.h"
#include "transport/transport.h"

#include "../local/test_support.h"

#include <unistd.h>
#include <zlib.h>

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
answer_header(const std::string& type, const std::string& coding = "")
{
	return "HTTP/1.1 200 OK\r\nVary: X-SVN-VR-Base\r\nContent-Type: " + type + "\r\n" +
	    (coding.empty() ? "" : "Content-Encoding: " + coding + "\r\n") + "\r\n";
}

// text as one gzip member.
std::string
gzipped(const std::string& text)
{
	z_stream z = {};
	EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
	std::string out(deflateBound(&z, text.size()) + 32, '\0');
	z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
	z.avail_in = static_cast<uInt>(text.size());
	z.next_out = reinterpret_cast<Bytef*>(out.data());
	z.avail_out = static_cast<uInt>(out.size());
	EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
	out.resize(z.total_out);
	deflateEnd(&z);
	return out;
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
		// Without a delta the text is asked for compressed.
		std::string request = webdav_protocol.content_request(f.conn, f.node);
		EXPECT_EQ(request.find("X-SVN-VR-Base") != std::string::npos, !c.lines.empty()) << request;
		EXPECT_EQ(request.find("\r\nAccept-Encoding: gzip\r\n") != std::string::npos, c.lines.empty()) << request;
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
	const struct {
		const char* name;
		std::string coding;
		std::string body;
		std::string text;
	} encoded[] = {
		{"gzip", "gzip", gzipped(new_text), new_text},
		{"gzip in another case, an empty text", "GZip", gzipped(""), ""},
		{"a text larger than one piece of output", "gzip", gzipped(std::string(200000, 'a') + new_text),
		    std::string(200000, 'a') + new_text},
		{"identity", "identity", new_text, new_text},
	};

	for (const auto& c : cases) {
		SCOPED_TRACE(c.name);
		fixture f;
		if (!c.with_base)
			f.node.base_md5.clear();
		EXPECT_EQ(f.located(answer_header(c.type), c.body, c.before), c.text);
		EXPECT_EQ(read_text(f.folder.path + "/x.c"), base_text);
	}
	for (const auto& c : encoded) {
		SCOPED_TRACE(c.name);
		fixture f;
		f.node.base_md5.clear();
		EXPECT_EQ(f.located(answer_header("text/plain", c.coding), c.body, "\r\n"), c.text);
	}
}

TEST(LocateContentDeathTest, BrokenGzipEndsTheRunNamingTheFile)
{
	std::string body = gzipped(new_text);
	std::string wrong_check = body;
	wrong_check[wrong_check.size() - 6] ^= 1;	// the CRC-32 of the text
	const struct {
		const char* name;
		std::string coding;
		std::string body;
		std::string reason;
	} cases[] = {
		{"a wrong check value", "gzip", wrong_check, "gzip: incorrect data check"},
		{"cut short", "gzip", body.substr(0, body.size() - 4), "gzip: the data ends early"},
		{"bytes after the end", "gzip", body + "x", "gzip: data after the end"},
		{"no gzip at all", "gzip", new_text, "gzip: incorrect header check"},
		{"a coding never asked for", "br", body, "the unknown coding br"},
	};

	for (const auto& c : cases) {
		SCOPED_TRACE(c.name);
		fixture f;
		f.node.base_md5.clear();
		EXPECT_EXIT(f.located(answer_header("text/plain", c.coding), c.body), testing::ExitedWithCode(1),
		    errx_text("The server sent a broken text for " + f.folder.path + "/x.c (" + c.reason + ").  Quitting."));
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
