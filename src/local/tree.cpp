// The local tree outside single files: the two directories the run needs,
// the scan of the target before the fetch, and the clean-up after it.

#include "local/local.h"

#include <sys/stat.h>

#include <dirent.h>
#include <err.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

// Ends the run: something that is not a directory stands where one must be.
// It is never removed: it may be a file that somebody needs.
[[noreturn]] static void
refuse_non_directory(const std::string& path)
{
	errx(1, "%s exists and is not a directory.  Please remove it manually and restart trelk", path.c_str());
}

// True when path is a directory (a link to one counts); false when nothing
// is there; ends the run when something else is.
static bool
is_existing_directory(const std::string& path)
{
	struct stat status;

	if (stat(path.c_str(), &status) == -1)
		return false;
	if (!S_ISDIR(status.st_mode))
		refuse_non_directory(path);
	return true;
}

// Returns once path is a directory (a link to one counts): a missing one is
// created (the last component only), anything else ends the run untouched.
// Another run may create it at the same moment; that is success too.
void
ensure_directory(const std::string& path)
{
	if (is_existing_directory(path))
		return;
	if (mkdir(path.c_str(), 0755) == 0)
		return;
	if (errno != EEXIST)
		err(1, "Cannot create %s", path.c_str());
	// Something appeared since the look-up, or a link points nowhere.
	if (!is_existing_directory(path))
		refuse_non_directory(path);
}

// Records what lies below base + relative without following links: links
// are recorded as files and never entered.
void
find_local_files_and_directories(const std::string& base, const std::string& relative, bool collect_files, path_sets& sets)
{
	std::string full = base + relative;
	struct stat status;

	if (lstat(full.c_str(), &status) == -1)
		return;
	if (!S_ISDIR(status.st_mode)) {
		// The target itself is never a leftover, whatever it is.
		if (collect_files && !relative.empty())
			sets.local_file_set.insert(relative);
		return;
	}
	if (!relative.empty())
		sets.local_dir_set.insert(full);
	dir_handle dir(opendir(full.c_str()));
	if (!dir)
		return;
	while (struct dirent* entry = readdir(dir.get())) {
		if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
			continue;
		std::string below = relative + "/" + entry->d_name;
		// The directory says what most entries are (of the entry itself,
		// never of what a link points to), which spares an lstat for each
		// file; an entry of unknown kind is looked at.
		if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_DIR) {
			if (collect_files)
				sets.local_file_set.insert(std::move(below));
			continue;
		}
		find_local_files_and_directories(base, below, collect_files, sets);
	}
}

void
complete_local_scan(path_sets& sets)
{
	if (sets.scan.done)
		return;
	sets.scan.done = true;
	find_local_files_and_directories(sets.scan.base, "", sets.scan.collect_files, sets);
}

// True when every directory between the target and the entry named by
// relative ("/a/b/c": /a and /a/b) is a real directory and not a symbolic
// link, so that acting on the entry stays inside the target.
static bool
parents_are_directories(const std::string& target, std::string_view relative)
{
	struct stat status;

	if (relative.size() < 2 || relative.front() != '/')
		return false;
	for (size_t slash = relative.find('/', 1); slash != std::string_view::npos;
	    slash = relative.find('/', slash + 1)) {
		std::string parent = target + std::string(relative.substr(0, slash));
		if (lstat(parent.c_str(), &status) == -1 || !S_ISDIR(status.st_mode))
			return false;
	}
	return true;
}

// Removes one leftover below the target and reports it with " - ";
// never acts through a linked parent directory.
void
prune(const settings& conn, std::string_view relative_path)
{
	const std::string& target = *conn.path_target;
	struct stat status;

	if (!parents_are_directories(target, relative_path))
		return;
	std::string full = target + std::string(relative_path);
	// A leftover link is a file of its own, whatever it points to (a
	// directory, or nothing at all): it goes, and never what it points to.
	if (lstat(full.c_str(), &status) == -1)
		return;
	if (conn.verbosity != 0)
		printf(" - %s\n", full.c_str());
	if (S_ISDIR(status.st_mode)) {
		// Fails, as it should, for a directory that still holds
		// something.
		(void)rmdir(full.c_str());
		return;
	}
	if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode))
		return;
	if (unlink(full.c_str()) == -1)
		err(1, "Cannot remove %s", full.c_str());
	// A directory this left empty goes too, one level, never the target.
	size_t slash = relative_path.rfind('/');
	if (slash != 0)
		(void)rmdir((target + std::string(relative_path.substr(0, slash))).c_str());
}

// True when path begins with "/.svnversion": the stamp, which no clean-up
// removes.
static bool
is_stamp(std::string_view path)
{
	return path.starts_with("/.svnversion");
}

// Removes the files that the previous run wrote and the repository no
// longer holds, whatever trim_tree says.
static void
prune_known_leftovers(settings& conn, path_sets& sets)
{
	for (const auto& [path, md5] : sets.known_set) {
		sets.local_file_set.erase(path);
		if (!is_stamp(path))
			prune(conn, path);
	}
	sets.known_set.clear();
}

// Removes (trim_tree) or lists (extra_files) the local files that the
// repository does not hold.
static void
trim_extra_files(settings& conn, path_sets& sets)
{
	for (const std::string& path : sets.local_file_set) {
		if (conn.trim_tree != 0) {
			if (!is_stamp(path))
				prune(conn, path);
		} else if (conn.extra_files != 0)
			fprintf(stderr, " * %s%s\n", conn.path_target->c_str(), path.c_str());
	}
	sets.local_file_set.clear();
}

// Removes the leftover directories that are empty, deepest first.
static void
remove_leftover_directories(settings& conn, path_sets& sets)
{
	const std::string& target = *conn.path_target;

	for (auto it = sets.local_dir_set.rbegin(); it != sets.local_dir_set.rend(); ++it) {
		const std::string& full = *it;
		if (!full.starts_with(target) || !parents_are_directories(target, std::string_view(full).substr(target.size())))
			continue;
		if (rmdir(full.c_str()) == 0)
			fprintf(stderr, " = %s\n", full.c_str());
	}
	sets.local_dir_set.clear();
}

// Deals with the three sets of leftovers in turn and leaves them empty.
void
clean_local_tree(settings& conn, path_sets& sets)
{
	complete_local_scan(sets);
	// The last progress line is still on the terminal; clear it before the
	// first lasting line, and keep the two streams in order on a terminal.
	if (conn.verbosity >= 2)
		fputs("\r\x1b[0K\r", stderr);
	prune_known_leftovers(conn, sets);
	if (conn.verbosity >= 2) {
		printf("\r\x1b[0K\r");
		fflush(stdout);
	}
	trim_extra_files(conn, sets);
	if (conn.verbosity >= 2)
		fputs("\x1b[0K\r", stderr);
	remove_leftover_directories(conn, sets);
}

bool
is_empty_directory(const std::string& path)
{
	dir_handle dir(opendir(path.c_str()));
	if (!dir)
		return false;
	while (struct dirent* entry = readdir(dir.get()))
		if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
			return false;
	return true;
}
