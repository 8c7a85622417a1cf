// The configuration file: sections of "key=value" lines, "defaults" first,
// then the section named on the command line.

#include "run/run.h"

#include "transport/transport.h"

#include <sys/stat.h>

#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

// Returns the value of line when it begins with key, else nothing.
static std::optional<std::string_view>
value_of(std::string_view line, std::string_view key)
{
	if (!line.starts_with(key))
		return std::nullopt;
	return line.substr(key.size());
}

// A stored value is a C text: a NUL byte in the file ends it.
static std::string
text_value(std::string_view value)
{
	return std::string(value.substr(0, value.find('\0')));
}

// Applies a "protocol=" value: the tests of -p, but case-sensitive.
static void
apply_protocol_value(connection& conn, std::string_view value)
{
	if (value.starts_with("svn")) {
		conn.protocol = protocol_svn;
		conn.port = 3690;
	}
	if (value.starts_with("http")) {
		conn.protocol = protocol_http;
		conn.port = 80;
	}
	if (value.starts_with("https")) {
		conn.protocol = protocol_https;
		conn.port = 443;
	}
}

// Applies one body line of a section: the first key it begins with wins;
// any other line is ignored.
static void
apply_setting(connection& conn, std::string_view line)
{
	std::optional<std::string_view> value;

	if ((value = value_of(line, "host=")))
		conn.host = text_value(*value);
	else if ((value = value_of(line, "branch="))) {
		std::string branch = text_value(*value);
		branch.erase(0, branch.find_first_not_of('/'));
		conn.branch = branch;
	} else if ((value = value_of(line, "target=")))
		conn.path_target = text_value(*value);
	else if ((value = value_of(line, "work_directory=")))
		conn.path_work = text_value(*value);
	else if ((value = value_of(line, "protocol=")))
		apply_protocol_value(conn, *value);
	else if ((value = value_of(line, "port=")))
		conn.port = static_cast<uint16_t>(read_number(text_value(*value).c_str()));
	else if ((value = value_of(line, "verbosity=")))
		conn.verbosity = static_cast<int32_t>(read_number(text_value(*value).c_str()));
	else if ((value = value_of(line, "trim_tree=")))
		conn.trim_tree = static_cast<int32_t>(read_number(text_value(*value).c_str()));
	else if ((value = value_of(line, "extra_files=")))
		conn.extra_files = static_cast<int32_t>(read_number(text_value(*value).c_str()));
	else if ((value = value_of(line, "tls_fingerprint=")))
		conn.tls_fingerprint = checked_fingerprint(text_value(*value));
}

// Applies one section of the text to conn; a missing section changes
// nothing.  The text is read without being changed, so it is whole for the
// next section.  NUL bytes are ordinary bytes to the search and the line
// splitting, the same for every section.
void
set_configuration(connection& conn, char* text, size_t size, const char* section)
{
	std::string_view whole(text, size);
	std::string header = std::string("[") + section + "]\n";

	size_t at = whole.find(header);
	if (at == std::string_view::npos)
		return;
	std::string_view rest = whole.substr(at + header.size());
	while (!rest.empty()) {
		size_t end = rest.find('\n');
		std::string_view line = rest.substr(0, end);
		if (line.empty() || line.front() == '[')
			break;
		if (line.front() != '#')
			apply_setting(conn, line);
		if (end == std::string_view::npos)
			break;
		rest.remove_prefix(end + 1);
	}
}

// Reads the configuration file whole and applies "defaults", then the
// named section.  A missing, unreadable or short file ends the run.
void
load_configuration(connection& conn, const char* path, const char* section)
{
	struct stat status;

	if (stat(path, &status) == -1)
		err(1, "Cannot find configuration file");
	size_t size = static_cast<size_t>(status.st_size);
	std::unique_ptr<char, free_delete> text(static_cast<char*>(malloc(size + 1)));
	if (!text)
		err(1, "load_configuration temp_buffer malloc");
	int fd = open(path, O_RDONLY);
	if (fd == -1)
		err(1, "Cannot read configuration file %s", path);
	ssize_t got = read(fd, text.get(), size);
	if (got < 0 || static_cast<size_t>(got) != size)
		err(1, "Problem reading configuration file %s", path);
	text.get()[size] = '\0';
	close(fd);

	set_configuration(conn, text.get(), size, "defaults");
	set_configuration(conn, text.get(), size, section);
}
