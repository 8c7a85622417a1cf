#include "svn/svn.h"

#include "canned_server.h"
#include "transport/transport.h"
#include "local/local.h"

#include <gtest/gtest.h>

#include <string>

static const std::string md5 = "0123456789abcdef0123456789abcdef";

static const std::string entry_properties =
    "( 23:svn:entry:committed-rev 3:345 ) "
    "( 24:svn:entry:committed-date 27:2018-10-19T12:34:56.123456Z ) "
    "( 21:svn:entry:last-author 3:dev ) ";

TEST(SvnContentSize, MatchesTheAnswerLayout)
{
	struct {
		int64_t size;
		int32_t revision;
		int64_t raw;
	} cases[] = {
		{0, 7, 104}, {1, 7, 108}, {4095, 7, 4205}, {4096, 7, 4206}, {4097, 7, 4210},
		{0, 345, 106}, {4096, 345, 4208}, {5000, 345, 5117},
	};
	for (auto& c : cases)
		EXPECT_EQ(svn_content_size(c.size, c.revision), c.raw) << c.size << " at " << c.revision;
	// The formula agrees with what svnserve sends.
	for (int64_t size : {0, 9, 10, 4095, 4096, 4105, 8192, 12345})
		EXPECT_EQ(svn_content_size(size, 345), static_cast<int64_t>(svn_content_answer(std::string(size, 'x'), 345).size())) << size;
}

TEST(ReadSvnProperties, FlagsAndExpansion)
{
	struct {
		std::string name;
		std::string properties;
		std::string branch;
		bool executable;
		bool special;
		std::string expansion;
	} cases[] = {
		{"plain", entry_properties, "base/head", false, false, ""},
		{"flags", entry_properties + "( 14:svn:executable 1:* ) ( 11:svn:special 1:* ) ", "base/head", true, true, ""},
		{"keyword", entry_properties + "( 12:svn:keywords 10:FreeBSD=%H ) ", "base/head", false, false,
		    ": head/bin/ls/ls.c 345 2018-10-19 12:34:56Z dev "},
		{"other keywords", entry_properties + "( 12:svn:keywords 13:FreeBSD=%H Id ) ", "base/head", false, false, ""},
		{"no date", "( 23:svn:entry:committed-rev 3:345 ) ( 21:svn:entry:last-author 3:dev ) ( 12:svn:keywords 10:FreeBSD=%H ) ",
		    "base/head", false, false, ""},
		{"date without fraction", "( 24:svn:entry:committed-date 20:2018-10-19T12:34:56Z ) ( 23:svn:entry:committed-rev 3:345 ) "
		    "( 21:svn:entry:last-author 3:dev ) ( 12:svn:keywords 10:FreeBSD=%H ) ", "base/head", false, false,
		    ": head/bin/ls/ls.c 345 2018-10-19 12:34:56Z dev "},
		{"branch without slash", entry_properties + "( 12:svn:keywords 10:FreeBSD=%H ) ", "base", false, false,
		    ": bin/ls/ls.c 345 2018-10-19 12:34:56Z dev "},
		{"deeper branch", entry_properties + "( 12:svn:keywords 10:FreeBSD=%H ) ", "base/stable/14", false, false,
		    ": stable/14/bin/ls/ls.c 345 2018-10-19 12:34:56Z dev "},
		{"author with a blank", "( 23:svn:entry:committed-rev 3:345 ) ( 24:svn:entry:committed-date 27:2018-10-19T12:34:56.123456Z ) "
		    "( 21:svn:entry:last-author 6:a b(c) ) ( 12:svn:keywords 10:FreeBSD=%H ) ", "base/head", false, false,
		    ": head/bin/ls/ls.c 345 2018-10-19 12:34:56Z a b(c) "},
		// Property names inside another property's value are only text.
		{"names in a value", entry_properties + "( 7:comment " + svn_string("( 14:svn:executable 10:FreeBSD=%H ) ") + " ) ", "base/head", false, false, ""},
	};
	for (auto& c : cases) {
		std::string answer = svn_property_answer(md5, 345, c.properties);
		std::string group = answer.substr(svn_auth.size());
		group.back() = '\0';
		file_node node;
		node.path = "/bin/ls/ls.c";
		std::string expansion;
		read_svn_properties(group.data(), group.data() + group.size() - 1, node, c.branch, expansion);
		EXPECT_EQ(std::string(node.md5), md5) << c.name;
		EXPECT_EQ(node.executable, c.executable) << c.name;
		EXPECT_EQ(node.special, c.special) << c.name;
		EXPECT_EQ(expansion, c.expansion) << c.name;
	}
}

TEST(ReadSvnProperties, MalformedGroupChangesNothing)
{
	for (std::string group : {"( success ( ) )", "( failure ( ( 160013 3:a:b 0: 0 ) ) )", "( success ( ( 3:abc ) 2 ( ) ) )"}) {
		file_node node;
		node.path = "/f";
		node.executable = 1;
		std::string expansion;
		read_svn_properties(group.data(), group.data() + group.size(), node, "base/head", expansion);
		EXPECT_EQ(node.md5[0], '\0') << group;
		EXPECT_EQ(node.executable, 1) << group;
		EXPECT_TRUE(expansion.empty()) << group;
	}
}

// Locates the data of a content answer placed alone in a buffer, as the
// content phase does for the region of one file.
static std::string
located(std::string answer, int64_t& length)
{
	char* start = answer.data();
	char* region_end = answer.data() + answer.size();
	char* end = region_end;
	EXPECT_EQ(check_svn_response(start, end), 0);
	char* data = join_svn_content(start, end, region_end, length);
	return data == nullptr ? "(null)" : std::string(data, length > 0 ? length : 0);
}

TEST(LocateSvnContent, JoinsStrings)
{
	for (size_t size : {0, 1, 4095, 4096, 4097, 8192, 20000}) {
		std::string data(size, '\0');
		for (size_t i = 0; i < size; i++)
			data[i] = static_cast<char>("0123456789:( )"[i % 14]);
		int64_t length = -1;
		EXPECT_EQ(located(svn_content_answer(data, 345), length), data) << size;
		EXPECT_EQ(length, static_cast<int64_t>(size));
	}
}

TEST(LocateSvnContent, RejectsAnswersThatDoNotFillTheirRegion)
{
	std::string good = svn_content_answer("hello", 345);
	std::string cases[] = {
		good.substr(0, good.size() - 1),
		good + "x",
		std::string(svn_auth) + "( success ( ( 32:" + md5 + " ) 345 ( ) ) ) 9:hello 0: ( success ( ) ) ",
		std::string(svn_auth) + "( success ( ( 32:" + md5 + " ) 345 ( ) ) ) 5:hello ( success ( ) ) ",
	};
	for (auto& answer : cases) {
		int64_t length = -1;
		EXPECT_EQ(located(answer, length), "(null)") << answer;
	}
}
