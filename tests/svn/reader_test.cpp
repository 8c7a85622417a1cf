#include "svn/svn.h"

#include "canned_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

// Two answers of one command, with names that hold parentheses.
static const std::string two_groups =
    "( success ( ( ) 0: ) ) ( success ( 2 ( ) ( ( 3:a(b dir 0 ) ( 3:c)d file 1 ) ( 2:)) file 2 ) ) ) ) ";

// An answer of the authentication request and one command group as the
// reader leaves it: a NUL in place of the blank after the first group.  The
// blank after the last group is left to the next answer when it has not
// arrived yet, so it is not compared.
static std::string
as_groups(std::string text)
{
	text[svn_auth.size() - 1] = '\0';
	text.pop_back();
	return text;
}

// The answer text read, without the NUL of a last blank that came along.
static std::string
groups_read(const canned_server& server)
{
	std::string text = server.response();
	if (!text.empty() && text.back() == '\0')
		text.pop_back();
	return text;
}

TEST(SvnScan, SkipsStringsByTheirLength)
{
	struct {
		std::string text;
		int closes_at;
	} cases[] = {
		{"( 3:a(b ) ", 8},
		{"( 3:c)d ) ", 8},
		{"( 4:x y) ( 1 ) ) ", 15},
		{"( svndiff1 ( 12:a:b( )) x ) ) ) ", 30},
		{"( 0: 2:() ) ", 10},
	};
	for (auto& c : cases) {
		std::string text = c.text;
		char* close = svn_list_end(text.data(), text.data() + text.size());
		ASSERT_NE(close, nullptr) << c.text;
		EXPECT_EQ(close - text.data(), c.closes_at) << c.text;
	}
	// A string that claims more bytes than there are never closes the list.
	std::string cut = "( 40:abc ) ";
	EXPECT_EQ(svn_list_end(cut.data(), cut.data() + cut.size()), nullptr);
}

// Splits text fed in pieces of size bytes into groups, as the reader
// does with each read; returns the text kept and sets taken to the bytes
// taken and ends to the group ends.
static std::string
split_in_pieces(const std::string& text, uint32_t groups, size_t size, size_t& taken, std::vector<size_t>& ends)
{
	std::string buffer = text;
	svn_group_splitter splitter(groups);
	size_t length = 0;
	taken = 0;
	while (taken < text.size() && !splitter.complete()) {
		// The reader reads each piece in right behind the bytes kept.
		size_t count = std::min(size, text.size() - taken);
		std::copy_n(text.data() + taken, count, buffer.data() + length);
		taken += splitter.take(buffer.data(), length, count);
	}
	ends = splitter.group_ends();
	return buffer.substr(0, length);
}

// However the bytes arrive, the groups are the same: a blank before the
// first dropped, the blank after each a NUL, parentheses inside strings not
// counted, and the next answer's bytes left untaken.  The blank after the
// last group is taken when it comes in the same piece; otherwise the next
// answer drops it.
TEST(SvnGroupSplitter, SameGroupsHoweverTheBytesArrive)
{
	std::string next = "( success ( ( ) 0: ) ) ";
	std::string text = " " + two_groups + next;
	std::string kept = as_groups(two_groups);
	size_t first_end = svn_auth.size() - 1;
	for (size_t size = 1; size <= text.size(); size++) {
		SCOPED_TRACE(size);
		size_t taken = 0;
		std::vector<size_t> ends;
		std::string split = split_in_pieces(text, 2, size, taken, ends);
		bool blank_taken = split.size() == kept.size() + 1;
		if (blank_taken) {
			EXPECT_EQ(split.back(), '\0');
		}
		EXPECT_EQ(split.substr(0, kept.size()), kept);
		EXPECT_EQ(taken, text.size() - next.size() - (blank_taken ? 0 : 1));
		EXPECT_EQ(ends, (std::vector<size_t>{first_end, kept.size()}));
	}
	// Fewer groups than expected: all taken, none complete past the first.
	size_t taken = 0;
	std::vector<size_t> ends;
	split_in_pieces(two_groups.substr(0, 40), 2, 7, taken, ends);
	EXPECT_EQ(taken, 40u);
	EXPECT_EQ(ends, std::vector<size_t>{first_end});
	// A byte other than a blank right after the last group begins the next
	// answer: it is left there, never taken for one group more.
	std::string glued = two_groups.substr(0, two_groups.size() - 1) + ")( x";
	split_in_pieces(glued, 2, glued.size(), taken, ends);
	EXPECT_EQ(taken, two_groups.size() - 1);
	EXPECT_EQ(ends.size(), 2u);
}

// A string is taken only when every byte its length states lies before the
// end of the text; one byte past it is already too far.
TEST(SvnItems, StringEndsAtTheTextsEnd)
{
	struct {
		std::string text;
		bool ok;
		std::string_view taken;
	} cases[] = {
		{"4:abcd", true, "abcd"},
		{"5:abcd", false, ""},
		{"0:", true, ""},
		{"1:", false, ""},
		{" 3:a b", true, "a b"},
	};
	for (auto& c : cases) {
		std::string text = c.text;
		svn_items items{text.data(), text.data() + text.size()};
		std::string_view taken = svn_read_string(items);
		EXPECT_EQ(items.ok, c.ok) << c.text;
		EXPECT_EQ(taken, c.taken) << c.text;
		if (c.ok) {
			EXPECT_EQ(items.p, items.end) << c.text;
		}
	}
}

TEST(SvnReader, GroupModeInOneRead)
{
	canned_server server;
	server.send(two_groups);
	server.hang_up();
	process_command_svn(server.conn, "( get-dir ( 0: ( 2 ) false true ( kind size ) false ) )\n", {2});
	EXPECT_EQ(groups_read(server), as_groups(two_groups));
	EXPECT_EQ(server.response().size(), two_groups.size());
	EXPECT_EQ(server.response().back(), '\0');
	EXPECT_EQ(server.received().size(), 1u);
}

TEST(SvnReader, GroupModeSplitAtEveryByte)
{
	std::string expected = as_groups(two_groups);
	for (size_t split = 1; split < two_groups.size(); split++) {
		canned_server server;
		server.send(two_groups.substr(0, split));
		server.send(two_groups.substr(split));
		server.hang_up();
		process_command_svn(server.conn, "x\n", {2});
		EXPECT_EQ(groups_read(server), expected) << "split at " << split;
	}
}

TEST(SvnReader, GroupModeOneByteAtATime)
{
	// A lone parenthesis in a single-byte read counts like any other.
	canned_server server;
	server.send_in_pieces(two_groups, 1);
	server.hang_up();
	process_command_svn(server.conn, "x\n", {2});
	EXPECT_EQ(groups_read(server), as_groups(two_groups));
}

TEST(SvnReader, LeftoverBlankIsNotStored)
{
	// The blank after the previous answer's last group, alone or together
	// with the next answer.
	for (bool alone : {true, false}) {
		canned_server server;
		if (alone) {
			server.send(" ");
			server.send(two_groups);
		} else
			server.send(" " + two_groups);
		server.hang_up();
		process_command_svn(server.conn, "x\n", {2});
		EXPECT_EQ(groups_read(server), as_groups(two_groups)) << alone;
	}
}

TEST(SvnReader, ResponseGrowsAndStaysContiguous)
{
	std::string name(200, 'n');
	std::string answer = std::string(svn_auth) + "( success ( 2 ( ) ( ";
	for (int i = 0; i < 60; i++)
		answer += "( " + svn_string(name + std::to_string(i)) + " file 1 ) ";
	answer += ") ) ) ";
	canned_server server(1);
	server.send_in_pieces(answer, 4096);
	server.hang_up();
	process_command_svn(server.conn, "x\n", {2});
	EXPECT_EQ(groups_read(server), as_groups(answer));
	EXPECT_GE(server.conn.response.capacity(), answer.size());
}

TEST(SvnReader, ByteCountMode)
{
	std::string answer = svn_content_answer("hello", 7);
	struct {
		std::vector<std::string> pieces;
	} cases[] = {
		{{answer}},
		{{" " + answer}},
		{{" ", answer}},
		{{answer.substr(0, 10), answer.substr(10)}},
	};
	for (auto& c : cases) {
		canned_server server;
		for (auto& piece : c.pieces)
			server.send(piece);
		server.hang_up();
		process_command_svn(server.conn, "x\n", {0, static_cast<uint32_t>(answer.size())});
		EXPECT_EQ(server.response(), answer);
		EXPECT_EQ(server.received().size(), 1u);
	}
}

TEST(SvnReader, ByteCountOverrunIsRetried)
{
	// The first answer passes the expected count: the command is sent again
	// on a fresh connection and the exact answer there is taken.
	std::string answer = svn_content_answer("hello", 7);
	canned_server server;
	server.send(answer + "junk");
	server.hang_up();
	reopen_server again(server.conn, {{answer}});
	process_command_svn(server.conn, "x\n", {0, static_cast<uint32_t>(answer.size())});
	EXPECT_EQ(server.response(), answer);
	EXPECT_EQ(server.received().size(), 1u);
	EXPECT_EQ(again.received(), std::vector<std::string>{"x\n"});
}

TEST(SvnReader, LargeAnswerInOneRecordIsTakenWhole)
{
	// An answer of many blocks arriving at once is read in one piece into
	// a response that starts with a single block: in byte-count mode after
	// a leftover blank, in group mode with the blank after the first group.
	std::string content(5 * 4096 + 123, 'c');
	content[4096] = '(';
	std::string answer = svn_content_answer(content, 7);
	canned_server bytes;
	bytes.send_in_pieces(" " + answer, 1 << 16);
	bytes.hang_up();
	process_command_svn(bytes.conn, "x\n", {0, static_cast<uint32_t>(answer.size())});
	EXPECT_EQ(bytes.response(), answer);
	EXPECT_EQ(bytes.received().size(), 1u);

	std::string listing = std::string(svn_auth) + "( success ( 2 ( ) ( ( " + svn_string(content) + " file 1 ) ) ) ) ";
	canned_server groups;
	groups.send_in_pieces(" " + listing, 1 << 16);
	groups.hang_up();
	process_command_svn(groups.conn, "x\n", {2});
	EXPECT_EQ(groups_read(groups), as_groups(listing));
	EXPECT_EQ(groups.received().size(), 1u);
}

TEST(SvnReader, ByteCountShortAnswerIsRetried)
{
	// Both answers end, structurally, before the expected count: a failure
	// instead of the content, and content shorter than stated.  The rest
	// of such an answer may still be on its way, so the command is sent
	// again on a fresh connection, after the greeting and the login.
	std::string answer = svn_content_answer("hello", 7);
	std::string shorts[] = {
		std::string(svn_auth) + "( failure ( ( 160013 14:Path not found 0: 0 ) ) ) ",
		svn_content_answer("hell", 7),
	};
	for (auto& short_answer : shorts) {
		canned_server server;
		server.send(short_answer);
		reopen_server again(server.conn, {{answer}});
		process_command_svn(server.conn, "x\n", {2, static_cast<uint32_t>(answer.size())});
		EXPECT_EQ(server.response(), answer);
		EXPECT_EQ(server.received().size(), 1u);
		EXPECT_EQ(again.received(), std::vector<std::string>{"x\n"});
	}
}

TEST(SvnReaderDeath, SixFailedAttemptsQuit)
{
	// Each failure opens a fresh connection.  Reopened connections that
	// take the command and close: it is sent six times in all.  Reopened
	// connections that close before the greeting: each counts as one more
	// failure, and the command is never sent again.
	struct {
		bool greets;
		size_t resent;
	} cases[] = {{true, 5}, {false, 0}};
	for (auto& c : cases) {
		canned_server server;
		server.send("( success ( ( ) 0: ) ) ( succ");
		server.hang_up();
		reopen_server again(server.conn, std::vector<reopened_connection>(5, {"", c.greets}));
		// Not anchored at the end: in a sanitizer build the leak checker of
		// the forked child may add a line about the server's thread.
		EXPECT_EXIT(process_command_svn(server.conn, "x\n", {2}), testing::ExitedWithCode(1),
		    "^Error in svn stream, retry #2\nError in svn stream, retry #3\n"
		    "Error in svn stream, retry #4\nError in svn stream, retry #5\n"
		    "[^\n]*Error in svn stream.  Quitting.\n");
		EXPECT_EQ(server.received().size(), 1u);
		EXPECT_EQ(again.received().size(), c.resent);
	}
}

TEST(SvnReader, AnswersOfCommandsSentAheadArriveTogether)
{
	// Two commands written ahead, their answers arriving together: each
	// read takes its own answer, in group mode (both answers in one read)
	// or in byte-count mode, and neither command is written twice.
	std::string content = svn_content_answer("hello", 7);
	struct {
		uint32_t first_bytes;
		std::string first;
	} cases[] = {{0, two_groups}, {static_cast<uint32_t>(content.size()), content}};
	for (auto& c : cases) {
		canned_server server;
		send_ahead_svn(server.conn, "a\n", c.first_bytes == 0 ? 2 : 0);
		send_ahead_svn(server.conn, "b\n", 2);
		// A record is read whole or not at all; byte-count mode reads no
		// further than its count.
		if (c.first_bytes == 0)
			server.send(c.first + two_groups);
		else {
			server.send(c.first);
			server.send(two_groups);
		}
		process_command_svn(server.conn, "a\n", {2, static_cast<uint32_t>(c.first_bytes)});
		if (c.first_bytes == 0)
			EXPECT_EQ(groups_read(server), as_groups(two_groups));
		else
			EXPECT_EQ(server.response(), content);
		process_command_svn(server.conn, "b\n", {2});
		EXPECT_EQ(groups_read(server), as_groups(two_groups));
		EXPECT_EQ(server.received(), (std::vector<std::string>{"a\n", "b\n"}));
		EXPECT_TRUE(svn_state(server.conn).sent_ahead.empty());
	}
}

TEST(SvnReader, AnswersInFrontAreKeptForTheirCommands)
{
	// a and b written ahead; c is asked for first, so it is written after
	// them and their answers are read and kept; each is then served from
	// what was kept, nothing written twice.
	auto answer = [](const std::string& name) {
		return std::string(svn_auth) + "( success ( 2 ( ) ( ( " + svn_string(name) + " file 1 ) ) ) ) ";
	};
	canned_server server;
	send_ahead_svn(server.conn, "a\n", 2);
	send_ahead_svn(server.conn, "b\n", 2);
	server.send(answer("a") + answer("b") + answer("c"));
	for (std::string name : {"c", "b", "a"}) {
		process_command_svn(server.conn, (name + "\n").c_str(), {2});
		EXPECT_EQ(groups_read(server), as_groups(answer(name))) << name;
	}
	EXPECT_EQ(server.received(), (std::vector<std::string>{"a\n", "b\n", "c\n"}));
	EXPECT_TRUE(svn_state(server.conn).sent_ahead.empty());
	EXPECT_TRUE(svn_state(server.conn).kept_answers.empty());
}

TEST(SvnReader, AnswerInFrontReadByCountGoesWithTheConnection)
{
	// An answer read by its byte count cannot be kept: the command asked
	// for out of turn goes again on a fresh connection.
	canned_server server;
	send_ahead_svn(server.conn, "a\n", 0);
	reopen_server again(server.conn, {{two_groups}});
	process_command_svn(server.conn, "c\n", {2});
	EXPECT_EQ(groups_read(server), as_groups(two_groups));
	EXPECT_EQ(server.received(), (std::vector<std::string>{"a\n", "c\n"}));
	EXPECT_EQ(again.received(), std::vector<std::string>{"c\n"});
	EXPECT_TRUE(svn_state(server.conn).sent_ahead.empty());
}

TEST(SvnReader, EchoesCommandAndAnswerAtVerbosityThree)
{
	canned_server server;
	server.conn.verbosity = 3;
	server.send(two_groups);
	server.hang_up();
	testing::internal::CaptureStdout();
	process_command_svn(server.conn, "x\n", {2});
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
	    "<< 2 bytes\nx\n==========\n>> Response:\n( success ( ( ) 0: ) )");
}
