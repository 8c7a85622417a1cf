// The progress line's layout and cut, and how the terminal's width is found.

#include "progress/progress.h"

#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace {

struct line_case {
	const char* name;
	std::string target;
	std::string path;
	int32_t index;
	int32_t count;
	int columns;
	std::string expected;
};

// A text of length bytes whose every byte tells its position: "0123456789012...".
std::string
counted_text(size_t length)
{
	std::string text;
	for (size_t i = 0; i < length; i++)
		text += static_cast<char>('0' + i % 10);
	return text;
}

TEST(FormatProgressLine, Table)
{
	// "/" followed by 69 counted bytes: a 70-byte text.
	std::string path70 = "/" + counted_text(69);
	const line_case cases[] = {
		{"ninth of nine", "/usr/src", "/Makefile", 8, 9, -1,
		 " 9 of 9 ( 88.9%)  /usr/src/Makefile\x1b[0K\r"},
		{"first of nine", "/t", "/a", 0, 9, -1,
		 " 1 of 9 (  0.0%)  /t/a\x1b[0K\r"},
		{"ten widens the count", "/t", "/a", 9, 10, -1,
		 " 10 of 10 ( 90.0%)  /t/a\x1b[0K\r"},
		{"hundred widens it again", "/t", "/a", 0, 100, -1,
		 "   1 of 100 (  0.0%)  /t/a\x1b[0K\r"},
		{"first of 1234: percentage from the index", "/t", "/a", 0, 1234, -1,
		 "    1 of 1234 (  0.0%)  /t/a\x1b[0K\r"},
		{"last of 1234 stays below 100", "/t", "/a", 1233, 1234, -1,
		 " 1234 of 1234 ( 99.9%)  /t/a\x1b[0K\r"},
		{"last of 2000 rounds to 100", "/t", "/a", 1999, 2000, -1,
		 " 2000 of 2000 ( 100.0%)  /t/a\x1b[0K\r"},
		{"70 bytes in 80 columns: the last 52", "", path70, 0, 1234, 80,
		 "    1 of 1234 (  0.0%)  ..." + path70.substr(18) + "\x1b[0K\r"},
		{"fits with two columns to spare", "", path70, 0, 1234, 96,
		 "    1 of 1234 (  0.0%)  " + path70 + "\x1b[0K\r"},
		{"one column less cuts", "", path70, 0, 1234, 95,
		 "    1 of 1234 (  0.0%)  ..." + path70.substr(3) + "\x1b[0K\r"},
		{"COLUMNS=-1 never cuts", "", path70, 0, 1234, -1,
		 "    1 of 1234 (  0.0%)  " + path70 + "\x1b[0K\r"},
		{"COLUMNS=-5 never cuts", "", path70, 0, 1234, -5,
		 "    1 of 1234 (  0.0%)  " + path70 + "\x1b[0K\r"},
		{"just wide enough for the prefix", "", path70, 0, 1234, 28,
		 "    1 of 1234 (  0.0%)  ...\x1b[0K\r"},
		{"one less: counts alone", "", path70, 0, 1234, 27,
		 "    1 of 1234 (  0.0%)  \x1b[0K\r"},
		{"zero or non-numeric COLUMNS: counts alone", "", path70, 0, 1234, 0,
		 "    1 of 1234 (  0.0%)  \x1b[0K\r"},
		{"ten columns: counts alone", "/t", "/a", 4, 9, 10,
		 " 5 of 9 ( 44.4%)  \x1b[0K\r"},
	};
	for (const line_case& c : cases)
		EXPECT_EQ(format_progress_line(c.target, c.path, c.index, c.count, c.columns), c.expected) << c.name;
}

// A cut line is exactly one column narrower than the terminal.
TEST(FormatProgressLine, CutLineIsOneColumnShort)
{
	std::string path = "/" + counted_text(300);
	for (int columns : {40, 80, 132, 250}) {
		std::string line = format_progress_line("/usr/src", path, 41, 1234, columns);
		ASSERT_EQ(line.substr(line.size() - 5), "\x1b[0K\r");
		EXPECT_EQ(line.size() - 5, static_cast<size_t>(columns - 1)) << columns;
	}
}

// The text area holds 4095 bytes; a longer path is cut at its end, and the
// line still ends with its erase sequence and carriage return.
TEST(FormatProgressLine, LongTextCutToItsArea)
{
	std::string target = "/" + counted_text(3000);
	std::string path = "/" + counted_text(3000);
	std::string line = format_progress_line(target, path, 0, 5, -1);
	std::string text = (target + path).substr(0, 4095);
	EXPECT_EQ(line, " 1 of 5 (  0.0%)  " + text + "\x1b[0K\r");
}

// Standard error on a pseudo-terminal for the life of the object, with
// COLUMNS set as asked (or unset), both restored afterwards.
class terminal_on_stderr {
public:
	terminal_on_stderr(unsigned short terminal_columns, std::optional<std::string> columns_variable)
	{
		if (const char* old = getenv("COLUMNS"))
			old_columns = old;
		if (columns_variable)
			setenv("COLUMNS", columns_variable->c_str(), 1);
		else
			unsetenv("COLUMNS");

		master = posix_openpt(O_RDWR | O_NOCTTY);
		if (master == -1 || grantpt(master) == -1 || unlockpt(master) == -1)
			return;
		slave = open(ptsname(master), O_RDWR | O_NOCTTY);
		if (slave == -1)
			return;
		struct winsize size = {};
		size.ws_row = 24;
		size.ws_col = terminal_columns;
		ioctl(slave, TIOCSWINSZ, &size);
		fflush(stderr);
		saved_stderr = dup(STDERR_FILENO);
		dup2(slave, STDERR_FILENO);
	}

	~terminal_on_stderr()
	{
		if (saved_stderr != -1) {
			dup2(saved_stderr, STDERR_FILENO);
			close(saved_stderr);
		}
		if (slave != -1)
			close(slave);
		if (master != -1)
			close(master);
		if (old_columns)
			setenv("COLUMNS", old_columns->c_str(), 1);
		else
			unsetenv("COLUMNS");
	}

	bool ready() const { return saved_stderr != -1; }

private:
	int master = -1;
	int slave = -1;
	int saved_stderr = -1;
	std::optional<std::string> old_columns;
};

TEST(TerminalColumns, FromColumnsThenTheTerminal)
{
	struct columns_case {
		unsigned short terminal;
		std::optional<std::string> variable;
		int expected;
	} cases[] = {
		{100, std::nullopt, 100},
		{100, "", 100},		// empty: ask the terminal
		{100, "72", 72},
		{100, " +72x", 72},	// strtol: blanks, a sign, stop at a non-digit
		{100, "-5", -5},
		{100, "0", 0},
		{100, "abc", 0},
		{100, "4294967376", 80},	// cut to 32 bits
		{0, std::nullopt, -1},	// a terminal that does not know
		{0, "", -1},
	};
	for (const columns_case& c : cases) {
		terminal_on_stderr terminal(c.terminal, c.variable);
		ASSERT_TRUE(terminal.ready()) << "no pseudo-terminal";
		int columns = terminal_columns();
		EXPECT_EQ(columns, c.expected) << c.terminal << " COLUMNS=" << c.variable.value_or("(unset)");
	}
}

TEST(TerminalColumns, NoWidthWhenStandardErrorIsNoTerminal)
{
	const char* old = getenv("COLUMNS");
	std::optional<std::string> saved = old ? std::optional<std::string>(old) : std::nullopt;
	setenv("COLUMNS", "80", 1);

	char name[] = "/tmp/trelk-progress-XXXXXX";
	int file = mkstemp(name);
	ASSERT_NE(file, -1);
	unlink(name);
	fflush(stderr);
	int saved_stderr = dup(STDERR_FILENO);
	dup2(file, STDERR_FILENO);
	int columns = terminal_columns();
	dup2(saved_stderr, STDERR_FILENO);
	close(saved_stderr);
	close(file);

	if (saved)
		setenv("COLUMNS", saved->c_str(), 1);
	else
		unsetenv("COLUMNS");
	EXPECT_EQ(columns, -1);
}

// show_progress writes the whole line to standard error, uncut when that is
// a file.
TEST(ShowProgress, WritesTheLineToStandardError)
{
	settings conn;
	conn.path_target = "/usr/src";
	std::string path = "/" + counted_text(200);

	testing::internal::CaptureStderr();
	show_progress(conn, path, 2, 3);
	std::string written = testing::internal::GetCapturedStderr();
	EXPECT_EQ(written, " 3 of 3 ( 66.7%)  /usr/src" + path + "\x1b[0K\r");
}

}	// namespace
