// The known-files list: which files the last run brought up to date, and at
// which revision.  The first line is "%u\r\n", then one "md5\tpath\n" per
// file.  Also the revision stamp in the target, and the lock that keeps two
// runs of one section apart.

#include "local/local.h"

#include <sys/file.h>
#include <sys/stat.h>

#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>


// Reads exactly the list's size in bytes into text; a list that ends
// sooner is refused rather than read in part.
static void
read_list_text(const char* path, int fd, std::string& text)
{
	ssize_t got = read_all(fd, text.data(), text.size());

	if (got < 0)
		err(1, "read file error (%s)", path);
	if (static_cast<size_t>(got) < text.size())
		errx(1, "read file error (%s): it is shorter than expected", path);
}

// Reads the whole list at path into text.  Returns false when there is no
// list.  It is opened without waiting and must be a regular file: a FIFO
// there would hold the run for ever.
static bool
read_list(const char* path, std::string& text)
{
	struct stat status;

	if (stat(path, &status) == -1)
		return false;
	int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	if (fd == -1)
		err(1, "open file (%s)", path);
	if (fstat(fd, &status) == -1)
		err(1, "open file (%s)", path);
	if (!S_ISREG(status.st_mode))
		errx(1, "The known-files list %s is not a regular file.  Please remove it manually and restart trelk", path);
	try {
		text.assign(static_cast<size_t>(status.st_size), '\0');
	} catch (const std::bad_alloc&) {
		errno = ENOMEM;
		err(1, "main connection.known_files malloc");
	}
	read_list_text(path, fd, text);
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
load_known_files(settings& conn, known_path_set& known_set)
{
	std::string list;
	if (!read_list(conn.known_files_old.c_str(), list))
		return;
	std::string_view text(list);
	size_t revision_end = text.find("\r\n");
	if (revision_end != std::string_view::npos) {
		if (conn.show_revision) {
			printf("%ld\n", strtol(list.c_str(), nullptr, 10));
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
// leftovers, and empties the catalogue.  The list is on disk before this
// returns, so that installing it can never put an empty file in place.
// What an interrupted run left in its place goes first: a link is never
// followed, and a second name of another file never written through.
void
save_known_files(settings& conn, catalogue& cat, path_sets& sets)
{
	const char* path = conn.known_files_new.c_str();
	std::string text = std::to_string(static_cast<uint32_t>(conn.revision)) + "\r\n";

	int fd = create_new_file(path);
	for (int32_t i = 0; i < cat.count(); i++) {
		const file_node* node = &cat.file[static_cast<size_t>(i)];
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
	if (!write_all(fd, text))
		err(1, "write file failure %s", path);
	finish_new_file(fd, path);
	cat.file.clear();
}

// What an interrupted run left at path goes first: a link is removed, never
// followed, and a second name of another file is never written through.
int
create_new_file(const char* path)
{
	if (unlink(path) == -1 && errno != ENOENT)
		err(1, "write file failure %s", path);
	int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
	if (fd == -1)
		err(1, "write file failure %s", path);
	return fd;
}

// The file is on disk before this returns, so that renaming it into place
// can never put an empty or partial file there.
void
finish_new_file(int fd, const char* path)
{
	if (fchmod(fd, 0644) == -1 || fsync(fd) == -1 || close(fd) == -1)
		err(1, "write file failure %s", path);
}

// A file system that cannot sync a directory (EINVAL) keeps its names in
// order by itself.
void
sync_directory(const std::string& directory)
{
	int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (fd == -1)
		err(1, "Cannot sync %s", directory.c_str());
	if (fsync(fd) == -1 && errno != EINVAL)
		err(1, "Cannot sync %s", directory.c_str());
	close(fd);
}

std::string
directory_of(const std::string& path)
{
	size_t slash = path.rfind('/');
	if (slash == std::string::npos)
		return ".";
	return slash == 0 ? "/" : path.substr(0, slash);
}

// Writes the revision into the target's ".svnversion": into a file of its
// own beside it, synced, then renamed over it.  The rename replaces a link
// or a second name of the old stamp instead of writing through it, and a
// crash leaves either the old stamp or the new one.
void
write_revision_stamp(const settings& conn)
{
	std::string path = *conn.path_target + "/.svnversion";
	std::string temporary = path + ".new";
	std::string content = std::to_string(static_cast<uint32_t>(conn.revision)) + "\r\n";

	int fd = create_new_file(temporary.c_str());
	if (!write_all(fd, content))
		err(1, "write file failure %s", temporary.c_str());
	finish_new_file(fd, temporary.c_str());
	if (rename(temporary.c_str(), path.c_str()) == -1) {
		int saved = errno;
		(void)unlink(temporary.c_str());
		errno = saved;
		err(1, "write file failure %s", path.c_str());
	}
	sync_directory(*conn.path_target);
}

// Puts the new list in place of the old one with a single rename, which
// replaces it at once: there is never a moment without a list, and a
// failed rename leaves the old one as it was.
void
install_known_files(const settings& conn)
{
	if (rename(conn.known_files_new.c_str(), conn.known_files_old.c_str()) == -1)
		err(1, "Cannot rename %s", conn.known_files_old.c_str());
	sync_directory(directory_of(conn.known_files_old));
}

section_lock::section_lock(const settings& conn)
    : path(conn.known_files_old + ".lock")
{
	fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
	if (fd == -1) {
		error = errno;
		return;
	}
	if (flock(fd, LOCK_EX | LOCK_NB) == -1) {
		error = errno;
		close(fd);
		fd = -1;
	}
}

section_lock::~section_lock()
{
	if (fd != -1)
		close(fd);
}

void
section_lock::require(const char* section) const
{
	if (fd != -1)
		return;
	if (error == EWOULDBLOCK)
		errx(1, "Another run of section %s holds %s.  Quitting.", section, path.c_str());
	errno = error;
	err(1, "Cannot lock %s", path.c_str());
}
