// Checks on names that come from the server, before they name a local path.

#include "local/local.h"

#include <err.h>

#include <string>

// A usable name is one path component: not empty, not "." or "..", and
// free of "/", NUL and control characters (which Subversion never allows
// in a path, and which would corrupt the known-files list).
bool
is_clean_name(std::string_view name)
{
	if (name.empty() || name == "." || name == "..")
		return false;
	for (unsigned char c : name)
		if (c == '/' || c < 0x20 || c == 0x7f)
			return false;
	return true;
}

std::string
printable_text(std::string_view name)
{
	std::string shown;
	for (unsigned char c : name) {
		if (c < 0x20 || c == 0x7f) {
			char escaped[8];
			snprintf(escaped, sizeof(escaped), "\\x%02x", c);
			shown += escaped;
		} else
			shown += static_cast<char>(c);
	}
	return shown;
}

// Ends the run unless name is one clean path component.
void
check_repository_name(std::string_view name)
{
	if (!is_clean_name(name))
		errx(1, "The server sent an unusable file name \"%s\".  Quitting.", printable_text(name).c_str());
}

// True for "/" followed by clean names joined by single "/".
bool
is_clean_path(std::string_view path)
{
	if (path.empty() || path.front() != '/')
		return false;
	std::string_view rest = path.substr(1);
	for (;;) {
		size_t slash = rest.find('/');
		if (!is_clean_name(rest.substr(0, slash)))
			return false;
		if (slash == std::string_view::npos)
			return true;
		rest.remove_prefix(slash + 1);
	}
}
