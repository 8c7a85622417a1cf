// The state of the tree, kept beside the known-files list.  One record per
// line, fields separated by a TAB:
//
//	trelk-state	<version>
//	uuid	<text>
//	branch	<text>
//	revision	<number>
//	dir	<path>
//	...
//	file	<path>	<md5>	<flags>	<expansion>	<inode>	<size>	<mtime>	<ctime>	<mode>
//	...
//	end	<count of file lines>	<MD5 of all the text before this line>
//
// Texts have "%", control characters and DEL written as "%XX".  Flags are
// "-" or, in this order, "x" (executable), "s" (special), "k" (svn:keywords
// asks for "$FreeBSD$"), "h" (read it next time).  Times are seconds "." nine digits of nanoseconds, the mode
// is octal with its type bits.  Every field has one spelling only, and the
// end line proves the file whole and unchanged since it was written: a
// revision or an MD5 off by one digit would have files trusted that are
// not what the repository holds.  Anything else makes the state unusable.

#include "local/local.h"

#include <sys/stat.h>

#include <err.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

static constexpr std::string_view format_name = "trelk-state";

// A change within this many nanoseconds of a recorded time may keep it: the
// tick of the coarsest file system clock we count on.
static constexpr int64_t timestamp_granularity_ns = 1000000000;

std::string
tree_state_path(const settings& conn)
{
	return conn.known_files_old + ".state";
}

// Writing.

// True for the bytes a text field cannot hold as they are.
static bool
needs_escape(unsigned char c)
{
	return c < 0x20 || c == 0x7f || c == '%';
}

static std::string
encode_text(std::string_view text)
{
	static constexpr char hex[] = "0123456789ABCDEF";
	std::string encoded;

	for (unsigned char c : text) {
		if (needs_escape(c)) {
			encoded += '%';
			encoded += hex[c >> 4];
			encoded += hex[c & 15];
		} else
			encoded += static_cast<char>(c);
	}
	return encoded;
}

static std::string
format_time(const struct timespec& time)
{
	char text[48];
	snprintf(text, sizeof(text), "%lld.%09ld", static_cast<long long>(time.tv_sec), static_cast<long>(time.tv_nsec));
	return text;
}

static std::string
format_mode(mode_t mode)
{
	char text[16];
	snprintf(text, sizeof(text), "%o", static_cast<unsigned>(mode));
	return text;
}

// True when time is not older than now by a whole tick, or is in the future.
static bool
too_recent(const struct timespec& time, const struct timespec& now)
{
	int64_t time_ns = static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
	int64_t now_ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
	return time_ns > now_ns - timestamp_granularity_ns;
}

// True when an edit after now could leave the status as it is.
static bool
status_too_recent(const local_status& status, const struct timespec& now)
{
	return too_recent(status.modified, now) || too_recent(status.changed, now);
}

static struct timespec
current_time()
{
	struct timespec now;
	clock_gettime(CLOCK_REALTIME, &now);
	return now;
}

static std::string
format_flags(const state_entry& entry, bool hash_next)
{
	std::string flags;
	if (entry.executable)
		flags += 'x';
	if (entry.special)
		flags += 's';
	if (entry.keyword)
		flags += 'k';
	if (hash_next)
		flags += 'h';
	return flags.empty() ? "-" : flags;
}

// The file line of one entry, marked to be read next time when its times
// are too recent at now.
static std::string
file_line(const std::string& path, const state_entry& entry, const struct timespec& now)
{
	const local_status& status = entry.status;
	return "file\t" + encode_text(path) + '\t' + entry.md5 + '\t' +
	    format_flags(entry, entry.hash_next || status_too_recent(status, now)) + '\t' +
	    encode_text(entry.expansion) + '\t' + std::to_string(status.inode) + '\t' +
	    std::to_string(status.size) + '\t' + format_time(status.modified) + '\t' +
	    format_time(status.changed) + '\t' + format_mode(status.mode) + '\n';
}

// Ends the run unless every entry can be written so that it reads back.
static void
check_recordable(const std::string& path, const tree_state& state)
{
	if (state.revision < 0)
		errx(1, "Cannot record revision %d in %s", state.revision, path.c_str());
	for (const std::string& directory : state.directories)
		if (!is_clean_path(directory))
			errx(1, "Cannot record \"%s\" in %s: not a clean path", printable_text(directory).c_str(), path.c_str());
	for (const auto& [file, entry] : state.files) {
		if (!is_clean_path(file))
			errx(1, "Cannot record \"%s\" in %s: not a clean path", printable_text(file).c_str(), path.c_str());
		if (!is_md5_text(entry.md5))
			errx(1, "Cannot record \"%s\" in %s: its MD5 is not known", printable_text(file).c_str(), path.c_str());
	}
}

static std::string
header_text(const tree_state& state)
{
	return std::string(format_name) + '\t' + trelk_version + "\nuuid\t" + encode_text(state.uuid) +
	    "\nbranch\t" + encode_text(state.branch) + "\nrevision\t" + std::to_string(state.revision) + '\n';
}

// The end line of the text before it.
static std::string
end_line(std::string_view text, size_t count)
{
	return "end\t" + std::to_string(count) + '\t' + md5_hex(text.data(), text.size()) + '\n';
}

// The whole text is made first: the end line holds the MD5 of all of it.
void
save_tree_state(const std::string& path, const tree_state& state)
{
	std::string new_path = path + ".new";
	check_recordable(new_path, state);
	struct timespec now = current_time();
	std::string text = header_text(state);
	for (const std::string& directory : state.directories)
		text += "dir\t" + encode_text(directory) + '\n';
	for (const auto& [file, entry] : state.files)
		text += file_line(file, entry, now);
	text += end_line(text, state.files.size());
	int fd = create_new_file(new_path.c_str());
	if (!write_all(fd, text))
		err(1, "write file failure %s", new_path.c_str());
	finish_new_file(fd, new_path.c_str());
}

void
install_tree_state(const std::string& path)
{
	std::string new_path = path + ".new";
	if (rename(new_path.c_str(), path.c_str()) == -1)
		err(1, "Cannot rename %s", path.c_str());
	sync_directory(directory_of(path));
}

// The status of a local copy.

void
record_local_status(state_entry& entry, const struct stat& status, const struct timespec& looked)
{
	entry.status = status_of(status);
	entry.hash_next = status_too_recent(entry.status, looked);
}

void
forget_local_status(state_entry& entry)
{
	entry.status = {};
	entry.hash_next = true;
}

// The time is taken before the lstat: any later edit gives the file a change
// time no older than that, less a tick.
bool
record_local_status(state_entry& entry, const std::string& local_path)
{
	struct timespec looked = current_time();
	struct stat status;

	if (lstat(local_path.c_str(), &status) == -1) {
		forget_local_status(entry);
		return false;
	}
	record_local_status(entry, status, looked);
	return true;
}


// Reading.

static std::vector<std::string_view>
split_fields(std::string_view line)
{
	std::vector<std::string_view> fields;
	for (;;) {
		size_t tab = line.find('\t');
		fields.push_back(line.substr(0, tab));
		if (tab == std::string_view::npos)
			return fields;
		line.remove_prefix(tab + 1);
	}
}

static int
hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// Decodes a text field; false unless it is spelt exactly as encode_text
// spells it.
static bool
decode_text(std::string_view field, std::string& text)
{
	text.clear();
	for (size_t i = 0; i < field.size(); i++) {
		unsigned char c = static_cast<unsigned char>(field[i]);
		if (c != '%') {
			if (needs_escape(c))
				return false;
			text += static_cast<char>(c);
			continue;
		}
		if (field.size() - i < 3)
			return false;
		int high = hex_value(field[i + 1]);
		int low = hex_value(field[i + 2]);
		if (high < 0 || low < 0 || !needs_escape(static_cast<unsigned char>(high * 16 + low)))
			return false;
		text += static_cast<char>(high * 16 + low);
		i += 2;
	}
	return true;
}

// Reads a decimal number spelt as std::to_string spells it, within the
// range of T.
template <typename T>
static bool
parse_number(std::string_view field, T& value)
{
	if (field.empty() || field.size() > 20)
		return false;
	auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
	return error == std::errc() && end == field.data() + field.size() && std::to_string(value) == field;
}

// Reads "<seconds>.<nine digits>".
static bool
parse_time(std::string_view field, struct timespec& time)
{
	size_t dot = field.find('.');
	if (dot == std::string_view::npos || field.size() - dot != 10)
		return false;
	long long seconds;
	uint32_t nanoseconds;
	std::string_view fraction = field.substr(dot + 1);
	for (char c : fraction)
		if (c < '0' || c > '9')
			return false;
	if (!parse_number(field.substr(0, dot), seconds) ||
	    std::from_chars(fraction.data(), fraction.data() + fraction.size(), nanoseconds).ec != std::errc())
		return false;
	time.tv_sec = static_cast<time_t>(seconds);
	time.tv_nsec = static_cast<long>(nanoseconds);
	return time.tv_sec == seconds;
}

static bool
parse_mode(std::string_view field, mode_t& mode)
{
	unsigned value;
	if (field.empty() || field.size() > 7)
		return false;
	auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value, 8);
	// Type and permission bits only: mode_t is 16 bits wide on some systems.
	if (error != std::errc() || end != field.data() + field.size() || value > 0177777 || format_mode(value) != field)
		return false;
	mode = static_cast<mode_t>(value);
	return true;
}

// Reads "-" or an ordered choice of "x", "s" and "h".
static bool
parse_flags(std::string_view field, state_entry& entry)
{
	if (field == "-")
		return true;
	bool* flags[] = {&entry.executable, &entry.special, &entry.keyword, &entry.hash_next};
	std::string_view letters = "xskh";
	size_t next = 0;
	for (char c : field) {
		size_t at = letters.find(c, next);
		if (at == std::string_view::npos)
			return false;
		*flags[at] = true;
		next = at + 1;
	}
	return !field.empty();
}

static bool
parse_status(const std::vector<std::string_view>& fields, local_status& status)
{
	return parse_number(fields[5], status.inode) && parse_number(fields[6], status.size) && status.size >= 0 &&
	    parse_time(fields[7], status.modified) && parse_time(fields[8], status.changed) &&
	    parse_mode(fields[9], status.mode);
}

// Takes one file line into files; false when it is damaged, names an
// unclean path, or repeats one.
static bool
parse_file_line(std::string_view line, std::map<std::string, state_entry, std::less<>>& files)
{
	std::vector<std::string_view> fields = split_fields(line);
	std::string path;
	state_entry entry;

	if (fields.size() != 10 || fields[0] != "file" || !decode_text(fields[1], path) || !is_clean_path(path) ||
	    !is_md5_text(fields[2]) || !parse_flags(fields[3], entry) || !decode_text(fields[4], entry.expansion) ||
	    !parse_status(fields, entry.status))
		return false;
	entry.md5 = fields[2];
	return files.emplace(std::move(path), std::move(entry)).second;
}

// Takes the next line, without its LF, off text; false when no whole line
// is left.
static bool
next_line(std::string_view& text, std::string_view& line)
{
	size_t end = text.find('\n');
	if (end == std::string_view::npos)
		return false;
	line = text.substr(0, end);
	text.remove_prefix(end + 1);
	return true;
}

// Reads a line "<label>\t<value>" and gives its value.
static bool
labelled_line(std::string_view& text, std::string_view label, std::string_view& value)
{
	std::string_view line;
	if (!next_line(text, line) || line.size() <= label.size() || !line.starts_with(label) ||
	    line[label.size()] != '\t')
		return false;
	value = line.substr(label.size() + 1);
	return value.find('\t') == std::string_view::npos;
}

static bool
parse_header(std::string_view& text, tree_state& state)
{
	std::string_view version, uuid, branch, revision;
	return labelled_line(text, format_name, version) && version == trelk_version &&
	    labelled_line(text, "uuid", uuid) && decode_text(uuid, state.uuid) &&
	    labelled_line(text, "branch", branch) && decode_text(branch, state.branch) &&
	    labelled_line(text, "revision", revision) && parse_number(revision, state.revision) &&
	    state.revision >= 0;
}

// The state that text holds, or nullopt unless all of it is well formed
// and ends with its end line.
static std::optional<tree_state>
parse_tree_state(std::string_view text)
{
	const std::string_view whole = text;
	tree_state state;
	if (!parse_header(text, state))
		return std::nullopt;
	std::string_view line;
	std::string directory;
	for (;;) {
		if (!next_line(text, line))
			return std::nullopt;
		if (!line.starts_with("dir\t"))
			break;
		if (!decode_text(line.substr(4), directory) || !is_clean_path(directory) ||
		    !state.directories.insert(directory).second)
			return std::nullopt;
	}
	size_t file_lines = 0;
	for (; line.starts_with("file\t"); file_lines++)
		if (!parse_file_line(line, state.files) || !next_line(text, line))
			return std::nullopt;
	// The end line closes the text: the count of file lines and the MD5 of
	// all that comes before it.
	size_t before_end = whole.size() - text.size() - line.size() - 1;
	if (whole.substr(before_end) != end_line(whole.substr(0, before_end), file_lines))
		return std::nullopt;
	return state;
}

// Reads the whole regular file at path; false when there is none or it
// cannot be read whole.  Opened without waiting and without following a
// link: a FIFO there would hold the run for ever.
static bool
read_state_text(const std::string& path, std::string& text)
{
	int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	if (fd == -1)
		return false;
	struct stat status;
	bool whole = false;
	if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
		try {
			// One byte more shows a file that grew.
			text.assign(static_cast<size_t>(status.st_size) + 1, '\0');
			ssize_t got = read_all(fd, text.data(), text.size());
			whole = got == status.st_size;
			text.resize(whole ? static_cast<size_t>(got) : 0);
		} catch (const std::bad_alloc&) {
			whole = false;
		}
	}
	close(fd);
	return whole;
}

std::optional<tree_state>
load_tree_state(const std::string& path)
{
	std::string text;
	if (!read_state_text(path, text))
		return std::nullopt;
	return parse_tree_state(text);
}
