// The progress line: "   12 of 1234 (  0.9%)  /usr/src/bin/ls/ls.c", drawn
// in place on standard error and cut from the left to fit the terminal.

#include "progress/progress.h"

#include <sys/ioctl.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

// Text areas of a line hold at most this many bytes.
static constexpr size_t text_room = 4095;

// Erase to the end of the line, then back to its start: the next line is
// drawn over this one.
static constexpr std::string_view line_end = "\x1b[0K\r";

// The width of the count field: 2 below 10 entries, else one more than
// the digits of count.
static int
field_width(int32_t count)
{
	if (count < 10)
		return 2;
	int digits = 0;
	for (int64_t rest = count; rest > 0; rest /= 10)
		digits++;
	return digits + 1;
}

// The fixed part of the line: count, total and percentage, then two blanks.
static std::string
format_counts(uint8_t width, int32_t index, int32_t count)
{
	static constexpr const char* format = "% *d of %d (% 5.1f%%)  ";
	double percent = count > 0 ? index * 100.0 / count : 0.0;

	// Measured first, so that nothing is ever cut.
	int length = snprintf(nullptr, 0, format, width, index + 1, count, percent);
	std::string counts(length > 0 ? length : 0, '\0');
	snprintf(counts.data(), counts.size() + 1, format, width, index + 1, count, percent);
	return counts;
}

int
terminal_columns()
{
	if (!isatty(STDERR_FILENO))
		return -1;

	// COLUMNS wins when set and not empty, read as strtol reads it and cut
	// to 32 bits; "abc" reads as 0.
	const char* columns = getenv("COLUMNS");
	if (columns != nullptr && columns[0] != '\0')
		return static_cast<int32_t>(strtol(columns, nullptr, 10));

	// Otherwise ask the terminal; a failure or 0 columns means unknown.
	struct winsize size = {};
	if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == -1 || size.ws_col == 0)
		return -1;
	return size.ws_col;
}

std::string
format_progress_line(std::string_view path_target, std::string_view path, int32_t index, int32_t count, int columns)
{
	int width = field_width(count);

	// The local path, cut to its text area.
	std::string text;
	text.reserve(path_target.size() + path.size());
	text.append(path_target).append(path);
	if (text.size() > text_room)
		text.resize(text_room);

	// Cut from the left when the line would not fit.  The comparison is
	// unsigned: -1 (no width) and any negative COLUMNS never cut.
	std::string_view shown = text;
	std::string_view prefix;
	uint32_t needed = static_cast<uint32_t>(text.size() + 2 * width + 15);
	if (columns != -1 && needed >= static_cast<uint32_t>(columns)) {
		if (columns < 2 * width + 18)
			// Too narrow for "..." and any text: counts alone.
			shown = {};
		else {
			prefix = "...";
			shown = shown.substr(shown.size() - (columns - 2 * width - 18));
		}
	}

	// The line always ends with its erase sequence and carriage return.
	std::string line = format_counts(width, index, count);
	line.append(prefix).append(shown).append(line_end);
	return line;
}

void
show_progress(const settings& conn, std::string_view path, int32_t index, int32_t count)
{
	std::string_view target = conn.path_target ? std::string_view(*conn.path_target) : std::string_view();
	std::string line = format_progress_line(target, path, index, count, terminal_columns());

	// Errors writing to standard error are ignored.
	fwrite(line.data(), 1, line.size(), stderr);
}
