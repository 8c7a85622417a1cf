// The success check of svn and of HTTP answers, side by side: both say
// where the answer's useful part begins and report failures alike.

#include "dav/dav.h"
#include "svn/svn.h"
#include "transport/transport.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

// Where check_response leaves its cursors, as offsets into the answer;
// -1 for a null start.
struct outcome {
	int result;
	long start;
	long end;
};

static outcome
judge(uint32_t protocol, std::string& text)
{
	char* start = text.data();
	char* end = text.data() + text.size();
	testing::internal::CaptureStderr();
	int result = protocol == protocol_svn ? check_svn_response(start, end) : check_http_response(start, end);
	testing::internal::GetCapturedStderr();
	return {result, start ? start - text.data() : -1, end - text.data()};
}

TEST(CheckResponse, Svn)
{
	struct {
		std::string answer;
		outcome expected;
	} cases[] = {
		// Leading blanks are skipped; the group ends two bytes past its ")".
		{"  ( success ( 2 ) ) ", {0, 2, 20}},
		// The authentication request is passed over.
		{"( success ( ( ) 0: ) ) ( success ( dir ) ) ", {0, 23, 43}},
		// Separated by NULs, as the reader leaves them.
		{"( success ( ( ) 0: ) )\0( success ( dir ) )\0"s, {0, 23, 43}},
		{"( success ( ( ) 0: ) )\0( failure ( ( 1 2:x) 0: 0 ) ) )\0"s, {0, 23, 55}},
		// Parentheses inside names do not end the group early.
		{"( success ( ( ) 0: ) )\0( success ( 2 ( ) ( ( 3:a)) file 1 ) ) ) )\0"s, {0, 23, 66}},
		// Failures.
		{"( success ( ( ) 0: ) ) ( failure ( ( 1 0: 0: 0 ) ) ) ", {1, 0, 53}},
		{"( success ( ) ) ( failure ( ) ) ", {1, 0, 32}},
		{"( failure ( ) ) ", {1, 0, 16}},
		{"", {1, 0, 0}},
		// A group cut short ends at the end of the answer.
		{"( success ( 2 ", {0, 0, 14}},
	};
	for (auto& c : cases) {
		outcome got = judge(protocol_svn, c.answer);
		EXPECT_EQ(got.result, c.expected.result) << c.answer;
		EXPECT_EQ(got.start, c.expected.start) << c.answer;
		EXPECT_EQ(got.end, c.expected.end) << c.answer;
	}
}

TEST(CheckResponse, Http)
{
	struct {
		std::string answer;
		outcome expected;
	} cases[] = {
		{"HTTP/1.1 200 OK\r\nA: b\r\n\r\nbody", {0, 25, 29}},
		{"HTTP/1.1 207 Multi-Status\r\n\r\n", {0, 29, 29}},
		{"HTTP/1.1 404 Not Found\r\n\r\n", {1, 0, 26}},
		{"HTTP/1.1 500 Oops\r\n\r\n", {1, 0, 21}},
		{"HTTP/1.1 200 OK\r\nA: b\r\n", {1, -1, 23}},
		{"HTTP/1.1 301 Moved\r\n\r\n", {0, 0, 22}},
		{"HTTP/1.0 200 OK\r\n\r\n", {0, 0, 19}},
	};
	for (auto& c : cases) {
		outcome got = judge(protocol_http, c.answer);
		EXPECT_EQ(got.result, c.expected.result) << c.answer;
		EXPECT_EQ(got.start, c.expected.start) << c.answer;
		EXPECT_EQ(got.end, c.expected.end) << c.answer;
	}
}

TEST(CheckResponse, ReportsFailureFromItsFirstByte)
{
	std::string answer = "( success ( ( ) 0: ) ) ( failure ( ( 1 0: 0: 0 ) ) ) ";
	char* start = answer.data();
	char* end = answer.data() + answer.size();
	testing::internal::CaptureStderr();
	EXPECT_EQ(check_svn_response(start, end), 1);
	std::string shown = testing::internal::GetCapturedStderr();
	// The program's name leads the dump, as it leads every message.
	EXPECT_TRUE(shown.starts_with("\ntrelk_tests: Command Failure: ")) << shown;
	EXPECT_EQ(shown.substr(shown.find(": Command Failure: ")), ": Command Failure: " + answer + "\n");
}
