// The configuration file: sections of "key=value" lines, "defaults" first,
// then the section named on the command line.

#include "run/run.h"

#include "local/local.h"
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

// Applies a "protocol=" value: the tests of -p, but case-sensitive.  A
// value that matches none is refused, naming the section; an empty one
// changes nothing.
static void
apply_protocol_value(connection& conn, std::string_view value, const char* section)
{
	if (!text_value(value).empty() && !value.starts_with("svn") && !value.starts_with("http"))
		refuse_protocol("protocol= in section [" + std::string(section) + "]", text_value(value));
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

// A numeric value of section's key as a 32-bit number within range; any
// other value ends the run, naming the key and the section.
static int32_t
number_value(std::string_view key, std::string_view value, const char* section, const number_range& range)
{
	std::string setting = std::string(key) + " in section [" + section + "]";
	return static_cast<int32_t>(read_setting_number(setting, text_value(value), range));
}

// Applies one body line of a section: the first key it begins with wins;
// any other line is ignored.
static void
apply_setting(connection& conn, std::string_view line, const char* section)
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
		apply_protocol_value(conn, *value, section);
	else if ((value = value_of(line, "port=")))
		conn.port = static_cast<uint16_t>(number_value("port=", *value, section, port_range));
	else if ((value = value_of(line, "verbosity=")))
		conn.verbosity = number_value("verbosity=", *value, section, level_range);
	else if ((value = value_of(line, "trim_tree=")))
		conn.trim_tree = number_value("trim_tree=", *value, section, level_range);
	else if ((value = value_of(line, "extra_files=")))
		conn.extra_files = number_value("extra_files=", *value, section, level_range);
	else if ((value = value_of(line, "full_check=")))
		conn.full_check = number_value("full_check=", *value, section, level_range);
	else if ((value = value_of(line, "stream_listing=")))
		conn.stream_listing = number_value("stream_listing=", *value, section, level_range);
	else if ((value = value_of(line, "http_connections=")))
		conn.http_connections = number_value("http_connections=", *value, section, connections_range);
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
			apply_setting(conn, line, section);
		if (end == std::string_view::npos)
			break;
		rest.remove_prefix(end + 1);
	}
}

// Opens the configuration file without waiting (a FIFO would block an
// open for reading) and makes sure it is a regular file.  Returns the
// descriptor and sets size.
static int
open_configuration(const char* path, size_t& size)
{
	struct stat status;

	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1)
		err(1, "Cannot read configuration file %s", path);
	if (fstat(fd, &status) == -1)
		err(1, "Cannot read configuration file %s", path);
	if (!S_ISREG(status.st_mode))
		errx(1, "Configuration file %s is not a regular file", path);
	size = static_cast<size_t>(status.st_size);
	return fd;
}

// Reads exactly size bytes into text; a file that ends sooner is refused,
// since the settings after that point would be missing.
static void
read_configuration(int fd, const char* path, char* text, size_t size)
{
	ssize_t got = read_all(fd, text, size);

	if (got < 0)
		err(1, "Problem reading configuration file %s", path);
	if (static_cast<size_t>(got) < size)
		errx(1, "Problem reading configuration file %s: it is shorter than expected", path);
}

// Reads the configuration file whole and applies "defaults", then the
// named section.  A missing, unreadable, short or irregular file ends the
// run.
void
load_configuration(connection& conn, const char* path, const char* section)
{
	struct stat status;
	size_t size;

	if (stat(path, &status) == -1)
		err(1, "Cannot find configuration file");
	int fd = open_configuration(path, size);
	std::unique_ptr<char, free_delete> text(static_cast<char*>(malloc(size + 1)));
	if (!text)
		err(1, "load_configuration temp_buffer malloc");
	read_configuration(fd, path, text.get(), size);
	text.get()[size] = '\0';
	close(fd);

	set_configuration(conn, text.get(), size, "defaults");
	set_configuration(conn, text.get(), size, section);
}
