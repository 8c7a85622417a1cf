// The HTTP reader against a scripted server: framing, pipelining, chunk
// removal, the bounds on lengths from the wire, and retries.

#include "dav/dav.h"
#include "canned_server.h"

#include <cstring>
#include <string>

namespace {

const char* const request = "GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

const std::string length_answer_a = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
const std::string length_answer_b = "HTTP/1.1 200 OK\r\nContent-Length: 13\r\nConnection: Keep-Alive\r\n\r\nHTTP/1.1 200 ";
const std::string chunked_header = "HTTP/1.1 207 Multi-Status\r\nTransfer-Encoding: chunked\r\n\r\n";
const std::string chunked_answer = chunked_header + "5\r\nhello\r\n1;ext=1\r\n \r\nA\r\n0123456789\r\n0\r\n\r\n";
// What the buffer holds for chunked_answer: the data in one piece and the
// CRLF that ends the body.
const std::string chunked_taken = chunked_header + "hello 0123456789\r\n";

std::string
response_text(const connection& conn)
{
	return std::string(conn.response.data(), conn.response.length());
}

// Runs one exchange of that many answers against replies; returns the
// buffer's text.
std::string
exchange(std::vector<canned_reply> replies, uint32_t answers, uint32_t blocks = 4)
{
	canned_server server(std::move(replies));
	connection conn = server.client(blocks);
	process_command_http(conn, request, answers);
	EXPECT_EQ(conn.response.data()[conn.response.length()], '\0');
	return response_text(conn);
}

TEST(ProcessCommandHttp, ContentLengthAnswersInOneReadAndOneBytePerRead)
{
	std::string both = length_answer_a + length_answer_b;

	EXPECT_EQ(exchange({{{both}}}, 2), both);
	EXPECT_EQ(exchange({{cut_every(both, 1)}}, 2), both);
	// A body that looks like a status line is still only a body.
	EXPECT_EQ(exchange({{cut_every(both, 7)}}, 2), both);
}

TEST(ProcessCommandHttp, ChunkedBodySplitAnywhereGivesTheSameData)
{
	std::string after = length_answer_a;
	std::string both = chunked_answer + after;

	EXPECT_EQ(exchange({{{both}}}, 2), chunked_taken + after);
	EXPECT_EQ(exchange({{cut_every(both, 1)}}, 2), chunked_taken + after);
	for (size_t cut = 1; cut < chunked_answer.size(); cut++) {
		SCOPED_TRACE(cut);
		EXPECT_EQ(exchange({{{both.substr(0, cut), both.substr(cut)}}}, 2), chunked_taken + after);
	}
}

// The framing of a header read on its own: field lines end with CRLF, and
// text after the last one is no field (and never makes the scan go round).
TEST(ReadFraming, OnlyWholeFieldLinesCount)
{
	const std::pair<std::string, int> cases[] = {
		{"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", body_framing::content_length},
		{"HTTP/1.1 200 OK\r\nContent-Length: 3", body_framing::none},
		{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n", body_framing::chunked},
		{"HTTP/1.1 200 OK", body_framing::none},
		{"", body_framing::none},
	};
	for (const auto& [header, kind] : cases)
		EXPECT_EQ(static_cast<int>(read_framing(header).kind), kind) << header;
}

TEST(ProcessCommandHttp, FramingCases)
{
	struct framing_case {
		const char* name;
		std::string sent;
		uint32_t answers;
		std::string taken;
	} cases[] = {
		{"single last chunk", chunked_header + "0\r\n\r\n", 1, chunked_header + "\r\n"},
		{"trailer fields dropped", chunked_header + "3\r\nabc\r\n0\r\nX-Sum: 1\r\n\r\n" + length_answer_a, 2,
		    chunked_header + "abc\r\n" + length_answer_a},
		// Chunked coding wins over a Content-Length, whichever comes first.
		{"Content-Length first",
		    "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nhel\r\n0\r\n\r\n", 1,
		    "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\nhel\r\n"},
		{"chunked as the last of two codings",
		    "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: gzip, chunked\r\n\r\n3\r\nhel\r\n0\r\n\r\n", 1,
		    "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nTransfer-Encoding: gzip, chunked\r\n\r\nhel\r\n"},
		{"chunked in any case",
		    "HTTP/1.1 200 OK\r\ntransfer-encoding:  CHUNKED \r\nContent-Length: 5\r\n\r\n3\r\nhel\r\n0\r\n\r\n", 1,
		    "HTTP/1.1 200 OK\r\ntransfer-encoding:  CHUNKED \r\nContent-Length: 5\r\n\r\nhel\r\n"},
		{"a coding that only contains chunked is not chunked",
		    "HTTP/1.1 200 OK\r\nTransfer-Encoding: notchunked\r\nContent-Length: 5\r\n\r\n3\r\nhe", 1,
		    "HTTP/1.1 200 OK\r\nTransfer-Encoding: notchunked\r\nContent-Length: 5\r\n\r\n3\r\nhe"},
		{"chunked first",
		    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 1,
		    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\nhello\r\n"},
		{"no framing: no body, and not the next answer's length",
		    "HTTP/1.1 204 No Content\r\nServer: x\r\n\r\n" + length_answer_b, 2,
		    "HTTP/1.1 204 No Content\r\nServer: x\r\n\r\n" + length_answer_b},
		{"empty last body", length_answer_a + "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", 2,
		    length_answer_a + "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"},
		{"failure answers are framed too",
		    "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno!" + length_answer_a, 2,
		    "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno!" + length_answer_a},
	};

	for (const framing_case& c : cases) {
		SCOPED_TRACE(c.name);
		EXPECT_EQ(exchange({{{c.sent}}}, c.answers), c.taken);
		EXPECT_EQ(exchange({{cut_every(c.sent, 1)}}, c.answers), c.taken);
	}
}

// Every answer's status and place are kept for the callers, which name a
// failed one in their messages.
TEST(ProcessCommandHttp, AnswersAreRecorded)
{
	std::string failed = "HTTP/1.1 404 Not Found\r\nContent-Length: 3\r\n\r\nno!";
	canned_server server({{{failed + chunked_answer + length_answer_a}}, {{length_answer_a}}});
	connection conn = server.client(4);

	process_command_http(conn, request, 3);
	ASSERT_EQ(conn.http_answers.size(), 3u);
	const struct {
		int status;
		const char* text;
		uint64_t start;
		uint64_t body;
		uint64_t length;
	} expected[] = {
		{404, "404 Not Found", 0, failed.size() - 3, 3},
		{207, "207 Multi-Status", failed.size(), failed.size() + chunked_header.size(), 16},
		{200, "200 OK", failed.size() + chunked_taken.size(),
		    failed.size() + chunked_taken.size() + length_answer_a.size() - 5, 5},
	};
	for (size_t i = 0; i < 3; i++) {
		SCOPED_TRACE(i);
		EXPECT_EQ(conn.http_answers[i].status, expected[i].status);
		EXPECT_EQ(conn.http_answers[i].status_text, expected[i].text);
		EXPECT_EQ(conn.http_answers[i].start, expected[i].start);
		EXPECT_EQ(conn.http_answers[i].body, expected[i].body);
		EXPECT_EQ(conn.http_answers[i].length, expected[i].length);
	}
	// The next exchange starts a new record.
	process_command_http(conn, request, 1);
	ASSERT_EQ(conn.http_answers.size(), 1u);
	EXPECT_EQ(conn.http_answers[0].status, 200);
}

TEST(ProcessCommandHttp, BufferGrowsAndIsClearedBehindTheAnswers)
{
	std::string big(10000, 'x');
	std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 10000\r\n\r\n" + big;
	canned_server server({{{answer}}, {{chunked_answer}}});
	connection conn = server.client(1);

	process_command_http(conn, request, 1);
	EXPECT_EQ(response_text(conn), answer);
	EXPECT_GE(conn.response.capacity(), answer.size());

	process_command_http(conn, request, 1);
	EXPECT_EQ(response_text(conn), chunked_taken);
	for (size_t i = conn.response.length(); i <= answer.size(); i++)
		ASSERT_EQ(conn.response.data()[i], '\0') << i;
}

TEST(ProcessCommandHttp, NothingIsReadForNoAnswers)
{
	EXPECT_EQ(exchange({{{length_answer_a}}}, 0), "");
}

TEST(ProcessCommandHttp, TallyAndDumpAtHighVerbosity)
{
	canned_server server({{{length_answer_a}}});
	connection conn = server.client();
	conn.verbosity = 4;

	testing::internal::CaptureStdout();
	testing::internal::CaptureStderr();
	process_command_http(conn, request, 1);
	std::string err = testing::internal::GetCapturedStderr();
	testing::internal::GetCapturedStdout();
	std::string size = std::to_string(length_answer_a.size());
	std::string tally = "\rBytes read: " + size + ", Bytes expected: " + size + ", g:2, rg:2";
	std::string tail = tally + "\n==========\n" + length_answer_a + "\n==========\n";
	ASSERT_GE(err.size(), tail.size());
	EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
}

TEST(ProcessCommandHttp, FailedAttemptsAreRetriedOnNewConnections)
{
	canned_reply reset{{}, canned_reply::reset};
	canned_reply closed{{"HTTP/1.1 200 OK\r\nContent-Le"}, canned_reply::close_early};
	canned_server server({reset, closed, reset, {{length_answer_a}}});
	connection conn = server.client();

	testing::internal::CaptureStderr();
	process_command_http(conn, request, 1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
	    "Error in http stream, retry #2\nError in http stream, retry #3\n");
	EXPECT_EQ(response_text(conn), length_answer_a);
	std::string four_times;
	for (int i = 0; i < 4; i++)
		four_times += request;
	EXPECT_EQ(server.requests(), four_times);
}

TEST(ProcessCommandHttp, EarlyCloseAfterAFailureAnswerIsLeftToTheCaller)
{
	std::string failure = "HTTP/1.1 500 Oops\r\nContent-Length: 2\r\n\r\nno";
	canned_server server({{{failure}, canned_reply::close_early}});
	connection conn = server.client();

	process_command_http(conn, request, 2);
	EXPECT_EQ(response_text(conn), failure);
}

TEST(ProcessCommandHttp, TheConnectionCarriesTheNextExchange)
{
	struct keep_case {
		const char* name;
		std::string first_answer;
		int connections;
	} cases[] = {
		{"kept open", length_answer_a, 1},
		{"the server says it closes", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\nhello", 2},
		{"HTTP/1.0 without keep-alive", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", 2},
	};
	for (const keep_case& c : cases) {
		SCOPED_TRACE(c.name);
		canned_server server({{{c.first_answer}}, {{length_answer_a}}});
		connection conn = server.client();
		process_command_http(conn, request, 1);
		process_command_http(conn, request, 1);
		EXPECT_EQ(response_text(conn), length_answer_a);
		EXPECT_EQ(server.connections(), c.connections);
		EXPECT_EQ(server.requests(), std::string(request) + request);
	}
}

// A server that ends the connection part way through a batch (its
// keep-alive budget spent, or a failure after some answers) costs no
// attempt: the requests it has not answered go again on a new connection.
TEST(ProcessCommandHttp, UnansweredRequestsAreSentAgain)
{
	const std::string second = "GET /b HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
	const std::string close_answer = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\nhello";
	struct resend_case {
		const char* name;
		canned_reply first;
	} cases[] = {
		{"says it closes", {{close_answer}, canned_reply::stay_open}},
		{"closes without a word", {{length_answer_a}, canned_reply::close_early}},
		{"resets in the second answer", {{length_answer_a, "HTTP/1.1 200 OK\r\nContent-Le"}, canned_reply::reset}},
		{"closes in a chunked second answer", {{length_answer_a, chunked_header + "5\r\nhel"}, canned_reply::close_early}},
	};
	for (const resend_case& c : cases) {
		SCOPED_TRACE(c.name);
		canned_server server({c.first, {{length_answer_a}}});
		connection conn = server.client();
		std::string both = request + second;
		testing::internal::CaptureStderr();
		process_command_http(conn, both.c_str(), 2);
		EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
		std::string first_text = c.first.pieces[0];
		EXPECT_EQ(response_text(conn), first_text + length_answer_a);
		EXPECT_EQ(server.requests(), both + second);
		EXPECT_EQ(server.connections(), 2);
		ASSERT_EQ(conn.http_answers.size(), 2u);
		EXPECT_EQ(conn.http_answers[1].start, first_text.size());
	}
}

// The batch queued to follow goes out right behind the current one, before
// any answer is read; its answers, read with the current ones, are kept
// for its own exchange.
TEST(ProcessCommandHttp, TheQueuedBatchGoesOutBehindTheCurrentOne)
{
	const std::string second = "GET /b HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
	const std::string second_answer = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nbye";
	canned_server server({{{length_answer_a + second_answer}}});
	connection conn = server.client();

	conn.ops->keep_ahead(conn, request, 2, &second, 2);
	process_command_http(conn, request, 1);
	EXPECT_EQ(response_text(conn), length_answer_a);
	std::string both = request + second;
	for (int i = 0; i < 100 && server.requests() != both; i++)
		usleep(10000);
	ASSERT_EQ(server.requests(), both);

	process_command_http(conn, second.c_str(), 1);
	EXPECT_EQ(response_text(conn), second_answer);
	ASSERT_EQ(conn.http_answers.size(), 1u);
	EXPECT_EQ(conn.http_answers[0].length, 3u);
	EXPECT_EQ(server.connections(), 1);
}

TEST(ProcessCommandHttpDeathTest, SixFailedAttemptsEndTheRun)
{
	canned_reply reset{{}, canned_reply::reset};
	canned_server server({reset, reset, reset, reset, reset, reset});

	EXPECT_EXIT(
	    {
		    connection conn = server.client();
		    process_command_http(conn, request, 1);
	    },
	    testing::ExitedWithCode(1),
	    "^Error in http stream, retry #2\nError in http stream, retry #3\n"
	    "Error in http stream, retry #4\nError in http stream, retry #5\n"
	    ".*: Error in http stream.  Quitting.\n$");
}

TEST(ProcessCommandHttpDeathTest, BadLengthsFromTheWireEndTheRun)
{
	struct bad_case {
		std::string sent;
		const char* message;
	} cases[] = {
		{chunked_header + "ffffffff\r\nxx", ": process_command_http: Bad stream data \n$"},
		{chunked_header + "5\r\nhello\r\n80000000\r\n", ": process_command_http: Bad stream data \n$"},
		{chunked_header + "zz\r\n", ": process_command_http: Bad stream data \n$"},
		{chunked_header + "5\r\nhelloXX3\r\nabc", ": process_command_http: Bad stream data \n$"},
		// A chunk-size line past 1024 bytes is refused even when its end
		// arrives in the same read.
		{chunked_header + "5;" + std::string(1100, 'x') + "\r\nhello\r\n0\r\n\r\n",
		    ": process_command_http: Bad stream data \n$"},
		{"HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n", ": process_command_http: Bad stream data\n$"},
		{"HTTP/1.1 200 OK\r\nContent-Length: 4294967296\r\n\r\n", ": process_command_http: Bad stream data\n$"},
		{"garbage, not HTTP\r\n\r\n", ": process_command_http: Bad stream data\n$"},
	};

	for (const bad_case& c : cases) {
		SCOPED_TRACE(c.sent);
		canned_server server({{{c.sent}}});
		EXPECT_EXIT(
		    {
			    connection conn = server.client();
			    process_command_http(conn, request, 1);
		    },
		    testing::ExitedWithCode(1), c.message);
	}
	// A bare blank line where the next answer begins is refused however it
	// arrives, even a byte at a time, before it has the length of a status
	// line's "HTTP/".
	canned_server bare({{cut_every(length_answer_a + "\r\n\r\n", 1)}});
	EXPECT_EXIT(
	    {
		    connection conn = bare.client();
		    process_command_http(conn, request, 2);
	    },
	    testing::ExitedWithCode(1), ": process_command_http: Bad stream data\n$");
}

} // namespace
