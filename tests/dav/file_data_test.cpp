// One file's PROPFIND part, and the regions of a batch of GET answers.

#include "dav/dav.h"
#include "local/local.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A PROPFIND part as Apache httpd with mod_dav_svn sends it, with the
// properties of the file put in.
std::string
propfind_part(const std::string& properties, const std::string& etag = "&quot;345//head/bin/ls/ls.c&quot;",
    const std::string& author = "dev", const std::string& date = "2018-10-19T12:34:56.123456Z")
{
	return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<D:multistatus xmlns:D=\"DAV:\">\n"
	    "<D:response xmlns:S=\"http://subversion.tigris.org/xmlns/svn/\" xmlns:lp1=\"DAV:\">\n"
	    "<D:href>/base/!svn/bln/345</D:href>\n<D:propstat>\n<D:prop>\n" + properties +
	    "<lp1:resourcetype/>\n<lp1:getcontentlength>1234</lp1:getcontentlength>\n"
	    "<lp1:getetag>" + etag + "</lp1:getetag>\n"
	    "<lp1:creationdate>" + date + "</lp1:creationdate>\n"
	    "<lp1:version-name>345</lp1:version-name>\n"
	    "<lp1:creator-displayname>" + author + "</lp1:creator-displayname>\n"
	    "</D:prop>\n<D:status>HTTP/1.1 200 OK</D:status>\n</D:propstat>\n</D:response>\n</D:multistatus>";
}

struct properties_read {
	file_node node;
	std::string expansion;
};

properties_read
read_part(const std::string& part)
{
	properties_read out;
	out.node.path = "/bin/ls/ls.c";
	read_webdav_properties(part.data(), part.data() + part.size(), out.node, out.expansion);
	return out;
}

const std::string same_as_svn = ": head/bin/ls/ls.c 345 2018-10-19 12:34:56Z dev ";

TEST(ReadWebdavProperties, FlagsSizeAndExpansion)
{
	struct property_case {
		const char* name;
		std::string part;
		uint8_t executable;
		uint8_t special;
		std::string expansion;
	} cases[] = {
		{"plain", propfind_part(""), 0, 0, ""},
		{"executable as Apache sends it", propfind_part("<S:executable>*</S:executable>\n"), 1, 0, ""},
		{"executable empty", propfind_part("<S:executable/>\n"), 1, 0, ""},
		{"special", propfind_part("<S:special>*</S:special>\n"), 0, 1, ""},
		{"keywords FreeBSD=%H", propfind_part("<S:keywords>FreeBSD=%H</S:keywords>\n"), 0, 0, same_as_svn},
		{"other keywords", propfind_part("<S:keywords>FreeBSD=%H Id</S:keywords>\n"), 0, 0, ""},
		{"FreeBSD=%H in another property",
		    propfind_part("<C:note xmlns:C=\"x\">FreeBSD=%H</C:note>\n"), 0, 0, ""},
		{"date without fraction",
		    propfind_part("<S:keywords>FreeBSD=%H</S:keywords>\n", "&quot;345//head/bin/ls/ls.c&quot;", "dev",
			"2018-10-19T12:34:56Z"),
		    0, 0, same_as_svn},
		{"escaped path and author",
		    propfind_part("<S:keywords>FreeBSD=%H</S:keywords>\n", "&quot;345//head/a b/c&amp;d&quot;", "O&apos;Neil"),
		    0, 0, ": head/a b/c&d 345 2018-10-19 12:34:56Z O'Neil "},
	};

	for (const property_case& c : cases) {
		SCOPED_TRACE(c.name);
		properties_read out = read_part(c.part);
		EXPECT_EQ(out.node.size, 1234);
		EXPECT_EQ(out.node.executable, c.executable);
		EXPECT_EQ(out.node.special, c.special);
		EXPECT_EQ(out.expansion, c.expansion);
	}
}

TEST(ReadWebdavProperties, ReadsNothingPastItsPart)
{
	std::string first = propfind_part("");
	std::string both = first + "\n" + propfind_part("<S:executable/>\n<S:keywords>FreeBSD=%H</S:keywords>\n");
	file_node node;
	std::string expansion;

	read_webdav_properties(both.data(), both.data() + first.size(), node, expansion);
	EXPECT_EQ(node.executable, 0);
	EXPECT_EQ(expansion, "");
}

TEST(ReadWebdavPropertiesDeathTest, MissingOrUnusablePropertiesNameTheFile)
{
	std::string part = propfind_part("");
	struct missing_case {
		std::string part;
		const char* message;
	} cases[] = {
		{std::string(part).replace(part.find("getcontentlength>"), 4, "XXXX"),
		    "The server gives no lp1:getcontentlength for /bin/ls/ls.c.  Quitting."},
		{std::string(part).replace(part.find(">1234<") + 1, 4, "-1"),
		    "The server gives the unusable length \"-1\" for /bin/ls/ls.c.  Quitting."},
		{std::string(part).replace(part.find(">1234<") + 1, 4, "9999999999"),
		    "The server gives the unusable length \"9999999999\" for /bin/ls/ls.c.  Quitting."},
		{std::string(part).replace(part.find("getetag>"), 4, "XXXX"),
		    "The server gives no lp1:getetag for /bin/ls/ls.c.  Quitting."},
		{propfind_part("", "W/&quot;345&quot;"),
		    "The server gives the unusable entity tag W/\"345\" for /bin/ls/ls.c.  Quitting."},
	};

	for (const missing_case& c : cases) {
		SCOPED_TRACE(c.message);
		EXPECT_EXIT(read_part(c.part), testing::ExitedWithCode(1), std::string(": ") + c.message + "\n$");
	}
}

// A catalogue of files with the given sizes, each to download or not.
catalogue
files(std::initializer_list<std::pair<int64_t, bool>> sizes)
{
	catalogue cat;
	for (auto [size, download] : sizes) {
		file_node& node = new_file_node(cat);
		node.size = size;
		node.download = download ? 1 : 0;
	}
	return cat;
}

TEST(SizeWebdavAnswers, RegionsRunFromBodyEndToBodyEnd)
{
	std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789";
	std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";
	std::string answers = first + second;
	catalogue cat = files({{10, true}, {99, false}, {0, true}});

	int64_t total = size_webdav_answers(answers.data(), answers.data() + answers.size(), cat, 0, 2);
	EXPECT_EQ(cat.file[0].raw_size, static_cast<int64_t>(first.size()));
	EXPECT_EQ(cat.file[1].raw_size, 0);
	EXPECT_EQ(cat.file[2].raw_size, static_cast<int64_t>(second.size()));
	EXPECT_EQ(total, static_cast<int64_t>(answers.size()));
}

TEST(SizeWebdavAnswers, AnswersThatEndEarlyAreReported)
{
	std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789";
	struct short_case {
		const char* name;
		std::string answers;
	} cases[] = {
		{"body cut", first + "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n0123"},
		{"header cut", first + "HTTP/1.1 200 OK\r\nContent-Le"},
		{"nothing", first},
	};

	for (const short_case& c : cases) {
		SCOPED_TRACE(c.name);
		catalogue cat = files({{10, true}, {5, true}});
		EXPECT_EQ(size_webdav_answers(c.answers.data(), c.answers.data() + c.answers.size(), cat, 0, 1), -1);
		EXPECT_EQ(cat.file[1].raw_size, 0);
	}
}

} // namespace
