// The "$FreeBSD$" expansion text that both protocols build.

#include "local/local.h"

#include <gtest/gtest.h>

#include <string>

TEST(KeywordExpansion, OneRuleForEveryDate)
{
	struct {
		const char* date;
		const char* expansion;
	} cases[] = {
		{"2018-10-19T12:34:56.123456Z", ": head/f 7 2018-10-19 12:34:56Z dev "},
		{"2018-10-19T12:34:56Z", ": head/f 7 2018-10-19 12:34:56Z dev "},
		{"2018-10-19T12:34:56.5Z", ": head/f 7 2018-10-19 12:34:56Z dev "},
		{"2018-10-19 12:34:56Z", ""},
		{"2018-10-19T12:34:56", ""},
		{"", ""},
	};
	for (auto& c : cases)
		EXPECT_EQ(keyword_expansion("head/f", "7", c.date, "dev"), c.expansion) << c.date;
}

TEST(KeywordExpansion, EveryPartIsNeeded)
{
	const char* date = "2018-10-19T12:34:56.1Z";
	EXPECT_EQ(keyword_expansion("", "7", date, "dev"), "");
	EXPECT_EQ(keyword_expansion("head/f", "", date, "dev"), "");
	EXPECT_EQ(keyword_expansion("head/f", "7", date, ""), "");
}
