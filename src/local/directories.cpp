// The directories of the branch under the target, as the listings report
// them, and the way made when the repository turns a file into a directory
// or a directory into a file between two revisions.  What the last run
// wrote and nobody changed since gives way; anything else stays, and the
// run ends naming it.

#include "local/local.h"

#include <sys/stat.h>

#include <dirent.h>
#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

// True when the entry at target + relative, of the given status, is a file
// or link that the last run wrote and that still holds what it wrote.
static bool
written_by_last_run(const path_sets& sets, const std::string& relative, const std::string& local, const struct stat& status)
{
	if (!S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode))
		return false;
	auto known = sets.known_set.find(relative);
	return known != sets.known_set.end() && confirm_md5(known->second.c_str(), local) == 0;
}

// Forgets a path that is no longer what the scan and the old list saw, so
// that the clean-up neither reports nor removes what now stands there.
static void
forget_path(path_sets& sets, const std::string& relative, const std::string& local)
{
	sets.known_set.erase(relative);
	sets.local_file_set.erase(relative);
	sets.local_dir_set.erase(local);
}

// Removes a file or link that the last run wrote, reporting it with " - "
// as the clean-up would.
static void
remove_written_file(const settings& conn, path_sets& sets, const std::string& relative, const std::string& local)
{
	if (conn.verbosity != 0)
		printf(" - %s\n", local.c_str());
	if (unlink(local.c_str()) == -1)
		err(1, "Cannot remove %s", local.c_str());
	forget_path(sets, relative, local);
}

void
make_branch_directory(const settings& conn, path_sets& sets, const std::string& relative, bool announce)
{
	sets.branch_dirs.insert(relative);
	std::string local = *conn.path_target + relative;
	struct stat status;

	if (lstat(local.c_str(), &status) == 0) {
		if (S_ISDIR(status.st_mode)) {
			sets.local_dir_set.erase(local);
			return;
		}
		if (!written_by_last_run(sets, relative, local, status))
			errx(1, "%s exists locally and is not a directory.  Please remove it manually and restart trelk", local.c_str());
		remove_written_file(conn, sets, relative, local);
	}
	if (announce && conn.verbosity != 0)
		printf(" + %s\n", local.c_str());
	if (mkdir(local.c_str(), 0755) == -1)
		err(1, "Cannot create %s", local.c_str());
	sets.local_dir_set.erase(local);
}

// What a local directory holds, deepest first, once every file in it has
// been found to be one the last run wrote.
struct directory_contents {
	std::vector<std::string> files;		// relative paths
	std::vector<std::string> directories;	// relative paths, each after all below it
};

// Ends the run for a directory in the way of a file of the branch that
// holds something the last run did not write.
[[noreturn]] static void
refuse_directory(const std::string& local, const std::string& foreign)
{
	errx(1, "%s exists locally and is a directory holding %s, which trelk did not write.  Please remove it manually and restart trelk",
	    local.c_str(), foreign.c_str());
}

// Opens the directory at local without following a link.
static dir_handle
open_directory(const std::string& local)
{
	int fd = open(local.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
	if (fd == -1)
		return nullptr;
	DIR* dir = fdopendir(fd);
	if (dir == nullptr)
		close(fd);
	return dir_handle(dir);
}

// The names in the directory at local, in byte order, so that what is
// reported and refused does not depend on the file system's order.
static std::vector<std::string>
sorted_names(const std::string& local)
{
	dir_handle dir = open_directory(local);
	if (!dir)
		err(1, "Cannot read directory %s", local.c_str());
	std::vector<std::string> names;
	while (struct dirent* entry = readdir(dir.get()))
		if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
			names.emplace_back(entry->d_name);
	std::sort(names.begin(), names.end());
	return names;
}

// Collects what the directory at target + relative holds, refusing the
// first entry that the last run did not write.
static void
collect_contents(const settings& conn, const path_sets& sets, const std::string& relative,
    const std::string& top, directory_contents& contents)
{
	for (const std::string& name : sorted_names(*conn.path_target + relative)) {
		std::string below = relative + "/" + name;
		std::string below_local = *conn.path_target + below;
		struct stat status;
		if (lstat(below_local.c_str(), &status) == -1)
			continue;
		if (S_ISDIR(status.st_mode))
			collect_contents(conn, sets, below, top, contents);
		else if (written_by_last_run(sets, below, below_local, status))
			contents.files.push_back(below);
		else
			refuse_directory(top, below_local);
	}
	contents.directories.push_back(relative);
}

void
clear_directory_for_file(const settings& conn, path_sets& sets, const std::string& relative)
{
	std::string local = *conn.path_target + relative;
	struct stat status;

	if (!sets.local_dir_set.contains(local) || lstat(local.c_str(), &status) == -1 || !S_ISDIR(status.st_mode))
		return;
	// Everything is judged before anything goes, so that a refusal leaves
	// the directory whole.
	directory_contents contents;
	collect_contents(conn, sets, relative, local, contents);
	for (const std::string& file : contents.files)
		remove_written_file(conn, sets, file, *conn.path_target + file);
	for (const std::string& directory : contents.directories) {
		std::string directory_local = *conn.path_target + directory;
		if (rmdir(directory_local.c_str()) == -1)
			err(1, "Cannot remove %s", directory_local.c_str());
		fprintf(stderr, " = %s\n", directory_local.c_str());
		forget_path(sets, directory, directory_local);
	}
}
