// The known-files list: which files the last run brought up to date, and at
// which revision.  The first line is "%u\r\n", then one "md5\tpath\n" per
// file.

#include "local/local.h"

#include <sys/stat.h>

#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

// Writes all of data, going on after partial writes.  Returns false on
// failure.
static bool
write_all(int fd, std::string_view data)
{
	while (!data.empty()) {
		ssize_t done = write(fd, data.data(), data.size());
		if (done < 0 && errno == EINTR)
			continue;
		if (done <= 0)
			return false;
		data.remove_prefix(static_cast<size_t>(done));
	}
	return true;
}

// Reads the whole list into conn.known_files.  Returns false when there is
// no list.
static bool
read_list(connection& conn)
{
	struct stat status;

	if (stat(conn.known_files_old.c_str(), &status) == -1)
		return false;
	try {
		conn.known_files.assign(static_cast<size_t>(status.st_size), '\0');
	} catch (const std::bad_alloc&) {
		errno = ENOMEM;
		err(1, "main connection.known_files malloc");
	}
	int fd = open(conn.known_files_old.c_str(), O_RDONLY);
	if (fd == -1)
		err(1, "open file (%s)", conn.known_files_old.c_str());
	ssize_t got = read(fd, conn.known_files.data(), conn.known_files.size());
	if (got < 0 || static_cast<size_t>(got) != conn.known_files.size())
		err(1, "read file error (%s)", conn.known_files_old.c_str());
	close(fd);
	return true;
}

// Takes one complete file line ("md5\tpath", its LF already cut off) into
// known_set.  A damaged line, or one whose path could lead outside the
// target, is skipped: the list is input like any other.
static void
add_known_line(std::string_view line, known_path_set& known_set)
{
	size_t tab = line.find('\t');
	if (tab != 32)
		return;
	std::string_view path = line.substr(tab + 1);
	if (!is_clean_path(path))
		return;
	// emplace keeps the first element of a path seen twice.
	known_set.emplace(std::string(path), std::string(line.substr(0, 32)));
}

// Reads the list into known_set; with -n and a revision line, prints the
// revision and exits with status 0.  No list reads nothing.
void
load_known_files(connection& conn, known_path_set& known_set)
{
	if (!read_list(conn))
		return;
	std::string_view text(conn.known_files);
	size_t revision_end = text.find("\r\n");
	if (revision_end != std::string_view::npos) {
		if (conn.show_revision) {
			printf("%ld\n", read_number(conn.known_files.c_str()));
			exit(0);
		}
		text.remove_prefix(revision_end + 2);
	}
	// A last line without its LF is incomplete: it is left out.
	for (size_t end; (end = text.find('\n')) != std::string_view::npos;) {
		add_known_line(text.substr(0, end), known_set);
		text.remove_prefix(end + 1);
	}
}

// Writes the new list from the catalogue, taking each path out of the
// leftovers and freeing each node.
void
save_known_files(connection& conn, catalogue& cat, path_sets& sets)
{
	const char* path = conn.known_files_new.c_str();
	std::string text = std::to_string(static_cast<uint32_t>(conn.revision)) + "\r\n";

	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0644);
	if (fd == -1)
		err(1, "write file failure %s", path);
	for (int32_t i = 0; i < cat.file_count; i++) {
		std::unique_ptr<file_node> node = std::move(cat.file[static_cast<size_t>(i)]);
		if (!node)
			continue;
		text.append(node->md5, strnlen(node->md5, 32));
		text += '\t';
		text += node->path;
		text += '\n';
		sets.known_set.erase(node->path);
		sets.local_file_set.erase(node->path);
		if (text.size() >= 65536) {
			if (!write_all(fd, text))
				err(1, "write file failure %s", path);
			text.clear();
		}
	}
	// A short list would forget files: a failed write ends the run before
	// the list is installed.
	if (!write_all(fd, text) || fchmod(fd, 0644) == -1 || close(fd) == -1)
		err(1, "write file failure %s", path);
}

// Puts the new list in place of the old one.
void
install_known_files(const connection& conn)
{
	// No old list is fine: there is none before a section's first run.
	(void)remove(conn.known_files_old.c_str());
	if (rename(conn.known_files_new.c_str(), conn.known_files_old.c_str()) == -1)
		err(1, "Cannot rename %s", conn.known_files_old.c_str());
}
