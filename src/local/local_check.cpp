// The check of the local copies against the state of the tree: a file whose
// status is as trelk left it is trusted without being opened; only the
// others are read.

#include "local/local.h"

#include <sys/stat.h>

#include <time.h>

#include <string>
#include <unordered_map>

static bool
same_time(const struct timespec& a, const struct timespec& b)
{
	return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

local_status
status_of(const struct stat& status)
{
	return {status.st_ino, status.st_size, status.st_mtim, status.st_ctim, status.st_mode};
}

bool
status_unchanged(const local_status& recorded, const struct stat& status)
{
	return recorded.inode == status.st_ino && recorded.size == status.st_size &&
	    same_time(recorded.modified, status.st_mtim) && same_time(recorded.changed, status.st_ctim) &&
	    recorded.mode == status.st_mode;
}

// True when the local copy has the form that write_file gives the entry: a
// link for a special file, otherwise a regular file with mode 0755 or 0644.
static bool
form_matches(const state_entry& entry, const struct stat& status)
{
	if (entry.special)
		return S_ISLNK(status.st_mode);
	return S_ISREG(status.st_mode) && (status.st_mode & 07777) == (entry.executable ? 0755u : 0644u);
}

// The directories of the tree as found: true for a real directory (never a
// link) whose parents are real directories too.  The target itself is
// taken as it is.
class directory_check {
public:
	explicit directory_check(const std::string& target) : target(target) {}

	// True when the directory of relative_file is real.
	bool
	holds(const std::string& relative_file)
	{
		return is_real(relative_file.substr(0, relative_file.rfind('/')));
	}

private:
	bool
	is_real(const std::string& relative)
	{
		if (relative.empty())
			return true;
		auto found = seen.find(relative);
		if (found != seen.end())
			return found->second;
		struct stat status;
		bool real = is_real(relative.substr(0, relative.rfind('/'))) &&
		    lstat((target + relative).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
		seen.emplace(relative, real);
		return real;
	}

	const std::string& target;
	std::unordered_map<std::string, bool> seen;
};

enum class verdict { trusted, refreshed, drifted };

// Reads the local copy whole: refreshed, with the status it had when read,
// when the content and form are the entry's.
static verdict
read_local_copy(const std::string& local_path, state_entry& entry)
{
	struct timespec looked;
	clock_gettime(CLOCK_REALTIME, &looked);
	struct stat status;
	if (confirm_md5(entry.md5.c_str(), local_path, status, nullptr) != 0 || !form_matches(entry, status))
		return verdict::drifted;
	record_local_status(entry, status, looked);
	return verdict::refreshed;
}

// Sorts one local copy, lstat first: only a copy whose status changed, or
// whose status was marked as not proving its content, is read.
static verdict
check_local_copy(const std::string& local_path, state_entry& entry)
{
	struct stat status;
	if (lstat(local_path.c_str(), &status) == -1 || !form_matches(entry, status))
		return verdict::drifted;
	if (!entry.hash_next && status_unchanged(entry.status, status))
		return verdict::trusted;
	return read_local_copy(local_path, entry);
}

local_check
check_local_copies(const std::string& target, tree_state& state)
{
	local_check found;
	directory_check directories(target);

	for (auto& [path, entry] : state.files) {
		verdict result = directories.holds(path) ? check_local_copy(target + path, entry) : verdict::drifted;
		if (result == verdict::trusted)
			found.trusted++;
		else if (result == verdict::refreshed)
			found.refreshed.push_back(path);
		else {
			forget_local_status(entry);
			found.drifted.push_back(path);
		}
	}
	return found;
}
