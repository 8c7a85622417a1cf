// Local tree: the settings of a run, the catalogue of repository files, the
// three ordered path sets, the known-files list and revision stamp, the
// state of the tree and the check of local copies against it, the scan of
// the target and its clean-up, and the check and writing of single files.
// It needs nothing else of trelk's.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <dirent.h>

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

inline constexpr const char* trelk_version = "1.08";

inline constexpr uint32_t protocol_svn = 1;
inline constexpr uint32_t protocol_http = 2;
inline constexpr uint32_t protocol_https = 3;

struct free_delete {
	void operator()(char* p) const { std::free(p); }
};

// A directory stream that closes itself.
struct dir_close {
	void operator()(DIR* dir) const { closedir(dir); }
};
using dir_handle = std::unique_ptr<DIR, dir_close>;

// The settings of a run: what the configuration file and the command line
// say, and the paths made from them.  Fixed once the run has started,
// except the revision, which the server names when none was asked for.
struct settings {
	uint32_t protocol = protocol_https;
	std::optional<std::string> host;
	// https: the SHA-256 fingerprint the server's certificate must have,
	// 64 lower-case hexadecimal digits; empty: verify the chain instead.
	std::string tls_fingerprint;
	uint16_t port = 0;
	int32_t revision = 0;		// 0: the latest
	int32_t family = 2;		// AF_INET; set from <sys/socket.h> by -4/-6
	std::optional<std::string> branch;
	std::optional<std::string> path_target;
	std::optional<std::string> path_work;
	std::string known_files_old;
	std::string known_files_new;
	int32_t trim_tree = 0;
	int32_t extra_files = 0;
	int32_t verbosity = 1;
	// Seconds a read waits for a byte: a server silent for so long is not
	// working, and a run from cron must end.
	int32_t read_time_limit = 600;
	bool show_revision = false;	// -n
	// -c or full_check=: check every local file against the repository,
	// whatever the state of the last run says.
	int32_t full_check = 0;
	// stream_listing=: a full run lists the branch in one stream where the
	// protocol has one (0: with its listing of a request per directory and
	// file, which takes fewer bytes over a slow link).
	int32_t stream_listing = 1;
	// http_connections=: how many kept-open connections carry the content
	// batches over http(s), each with its own batches in flight.
	int32_t http_connections = 1;
};

// The status of a local copy as lstat gave it.  The device is left out: its
// number may change across a reboot.
struct local_status {
	ino_t inode = 0;
	off_t size = 0;
	struct timespec modified = {};
	struct timespec changed = {};
	mode_t mode = 0;	// with the file type bits
};

// One file of the repository branch at the revision being fetched.
struct file_node {
	uint8_t download = 0;
	uint8_t executable = 0;
	std::string href;		// WebDAV only
	// The text its local copy should hold, which the server can send a
	// delta against: its MD5 (empty: none) and, over WebDAV, its href.
	std::string base_md5;
	std::string base_href;
	char md5[34] = {};		// 32 hex digits and a NUL; empty until known
	std::string path;		// relative to the target, beginning with "/"
	int64_t raw_size = 0;		// bytes of its answer in a content batch
	int64_t size = 0;		// of its text; -1 while a listing that gave none left it unknown
	uint8_t special = 0;
	std::string expansion;		// "$FreeBSD$" text; empty: none
	uint8_t props_known = 0;	// executable, special and expansion are known
	uint8_t keyword = 0;		// svn:keywords asks for "$FreeBSD$"
	// The local copy as this run wrote it; all zero: this run did not.
	local_status written;
};

// The files of the branch in listing order.  Indexes never change, and a
// node stays where it is while more are appended.
struct catalogue {
	std::deque<file_node> file;

	int32_t count() const { return static_cast<int32_t>(file.size()); }
};

// Ordered by byte-wise comparison, as strcmp orders; the first insert of a
// path wins.
using known_path_set = std::map<std::string, std::string, std::less<>>;	// path -> md5
using path_set = std::set<std::string, std::less<>>;

// The scan of the target that fills local_file_set and local_dir_set.  It
// may wait for a pause in the server's answers, but always runs before
// anything under the target changes.  Nothing is pending at first.
struct pending_scan {
	std::string base;
	bool collect_files = false;
	bool done = true;
};

// What was true before this run.  known_set and local_file_set hold paths
// relative to the target ("/bin/ls"); local_dir_set full local paths.
struct path_sets {
	known_path_set known_set;
	path_set local_file_set;
	path_set local_dir_set;
	pending_scan scan;
	// Every directory of the branch made or found by this run, relative to
	// the target ("/bin/ls").
	path_set branch_dirs;
};

// Appends a new, zeroed node to the catalogue and returns it.
file_node& new_file_node(catalogue& cat);

// True when name is usable as one path component: not empty, "." or "..",
// and without "/", NUL or control characters.  Never ends the run.
bool is_clean_name(std::string_view name);

// Ends the run with a clear message unless name is usable as one path
// component from the server: not empty, ".", "..", and without "/", NUL or
// control characters.
void check_repository_name(std::string_view name);

// text with its control characters escaped as \xNN, so that a message that
// names a rejected name stays on one line.
std::string printable_text(std::string_view text);

// True when path begins with "/" and each of its components passes the
// check of check_repository_name.  Never ends the run.
bool is_clean_path(std::string_view path);

// Makes sure path is a directory: a missing one is created (the last
// component only); a non-directory ends the run and is never removed.
void ensure_directory(const std::string& path);

// Makes target + relative a real directory of the branch and takes it out
// of local_dir_set.  A file or link there that the last run wrote and
// nobody changed since gives way (" - "); anything else that is not a
// directory ends the run.  With announce, a new directory is reported with
// " + " (verbosity not 0).
void make_branch_directory(const settings& conn, path_sets& sets, const std::string& relative, bool announce);

// Makes way for the branch's file target + relative when the scan found a
// directory there: removes it when all it holds, at any depth, are files
// and links that the last run wrote and nobody changed since; otherwise
// ends the run naming the first foreign entry, with nothing removed.
void clear_directory_for_file(const settings& conn, path_sets& sets, const std::string& relative);

// Reads the section's known-files list into known_set.  With -n and a list
// that holds a revision line, prints the revision and exits with status 0.
void load_known_files(settings& conn, known_path_set& known_set);

// Writes the new list from the catalogue, takes each written path out of
// known_set and local_file_set, and empties the catalogue.
void save_known_files(settings& conn, catalogue& cat, path_sets& sets);

// Writes the revision into ".svnversion" in the target by renaming a synced
// new stamp over it; never writes through a link or another name.
void write_revision_stamp(const settings& conn);

// Replaces the old known-files list by the new one with one rename, then
// syncs the directory; a failure leaves the old list in place.
void install_known_files(const settings& conn);

// Creates path afresh for writing, mode 0644, after removing what stands
// there; never follows a link.  Ends the run with "write file failure".
int create_new_file(const char* path);

// Gives the file mode 0644, syncs and closes it; ends the run with "write
// file failure" and path when any of that fails.
void finish_new_file(int fd, const char* path);

// Syncs directory so that a rename in it survives a crash; ends the run
// when it cannot be opened or synced.
void sync_directory(const std::string& directory);

// The directory part of path: "." for a bare name, "/" for one in the root.
std::string directory_of(const std::string& path);

// The state of the tree: what the last run left under the target, kept in
// "<list>.state" beside the section's known-files list, so that a later run
// can name the revision the tree is at and trust local files unread.

// The status lstat or fstat gave, as recorded.
local_status status_of(const struct stat& status);

// True when status is the one recorded: inode, size, both times to the
// nanosecond, and mode.
bool status_unchanged(const local_status& recorded, const struct stat& status);

// One file of the tree: the repository's view of it, and the status of its
// local copy when trelk last wrote it or read it whole.
struct state_entry {
	std::string md5;	// 32 lower-case hexadecimal digits
	bool executable = false;
	bool special = false;
	bool keyword = false;	// svn:keywords asks for "$FreeBSD$"
	std::string expansion;	// "$FreeBSD$" text; empty: none
	local_status status;
	// The status cannot prove the content: its times were too recent when
	// it was taken for an edit within the same tick to show.
	bool hash_next = false;
};

// The revision the tree is at and what each of its files holds, by path
// relative to the target ("/bin/ls/ls.c").
struct tree_state {
	std::string uuid;
	std::string branch;
	int32_t revision = 0;
	path_set directories;	// every directory of the branch, relative
	std::map<std::string, state_entry, std::less<>> files;
};

// What check_local_copies found: the count trusted by their status alone,
// and in path order those read and found whole and those that must come
// from the server whole.
struct local_check {
	size_t trusted = 0;
	std::vector<std::string> refreshed;
	std::vector<std::string> drifted;
};

// The state's path for the section: its known-files list + ".state".
std::string tree_state_path(const settings& conn);

// Reads the state at path.  nullopt when there is none, or when it is
// damaged in any way, was written by another version, or is not a regular
// file (never followed, never waited on); never ends the run.
std::optional<tree_state> load_tree_state(const std::string& path);

// Writes state into path + ".new", synced, replacing what stands there
// without writing through it.  A file whose times are within a second of
// now is marked to be read next time.  Ends the run on a write failure, or
// when a path is not clean or an MD5 not 32 lower-case hex digits.
void save_tree_state(const std::string& path, const tree_state& state);

// Renames path + ".new" over path and syncs the directory; a failure ends
// the run and leaves the old state in place.
void install_tree_state(const std::string& path);

// Takes the status of the local copy at local_path (by lstat) into entry,
// marking it to be read next time when its times are too recent to prove
// the content.  False, and the status forgotten, when nothing is there.
bool record_local_status(state_entry& entry, const std::string& local_path);

// The same with the status that an lstat at the time looked gave.
void record_local_status(state_entry& entry, const struct stat& status, const struct timespec& looked);

// Forgets the status of entry's local copy: it is never trusted unread.
void forget_local_status(state_entry& entry);

// Sorts each file of state by its local copy below target: trusted when its
// status is as recorded and unmarked (never opened), refreshed when it
// changed but its content (keywords collapsed, as confirm_md5 does) and form
// are right, drifted otherwise.  Updates the status of the refreshed and
// forgets that of the drifted.
local_check check_local_copies(const std::string& target, tree_state& state);

// The lock of one section's known-files list, on the file "<list>.lock"
// beside it: taken without waiting when made, held while this lives, and
// released by the system when the process ends, however it ends.
class section_lock {
public:
	explicit section_lock(const settings& conn);
	~section_lock();
	section_lock(const section_lock&) = delete;
	section_lock& operator=(const section_lock&) = delete;

	// True when this run holds the lock.
	bool held() const { return fd != -1; }

	// Ends the run with status 1 unless the lock is held: another run of
	// the section holds it, or the lock file cannot be opened or locked.
	void require(const char* section) const;

private:
	std::string path;
	int fd = -1;
	int error = 0;	// why fd is -1; EWOULDBLOCK: another run holds it
};

// Records what lies below base + relative (never following links): every
// directory into local_dir_set, every other entry into local_file_set when
// collect_files is set.
void find_local_files_and_directories(const std::string& base, const std::string& relative, bool collect_files, path_sets& sets);

// True when path is a directory that holds nothing; false when it holds
// anything or cannot be read.
bool is_empty_directory(const std::string& path);

// Runs the pending scan of the target, if any.
void complete_local_scan(path_sets& sets);

// Removes one leftover below the target, reporting it with " - ".
void prune(const settings& conn, std::string_view relative_path);

// Removes the previous run's files that left the repository, trims or
// lists other extra files, and removes leftover empty directories.
void clean_local_tree(settings& conn, path_sets& sets);

// The MD5 of length bytes as 32 lower-case hexadecimal digits.
std::string md5_hex(const char* data, size_t length);

// True for 32 lower-case hexadecimal digits: an MD5 as text.
bool is_md5_text(std::string_view text);

// 0 when the local file (expanded "$FreeBSD$" keywords collapsed, a link as
// "link " + target) matches md5; non-zero when it differs or is missing.
int confirm_md5(const char* md5, const std::string& local_path);

// The text of the local copy at local_path as the repository holds it (a
// link as "link " + target; expanded "$FreeBSD$" keywords collapsed, as
// confirm_md5 tries them) when that text has the MD5 md5: the base a
// delta of the file applies to.  None when no form of it matches.
std::optional<std::string> local_base_text(const char* md5, const std::string& local_path);

// How many local files and links the content comparisons of this process
// have opened or read so far.
uint64_t local_files_read();

// The digests of a local file worked out ahead of need, with the status
// the file had when it was read: a file whose status differs now is read
// again.
struct local_digest {
	dev_t device;
	ino_t inode;
	off_t size;
	struct timespec modified;
	struct timespec changed;
	std::vector<std::string> md5s;
};

// The local files to read ahead while the server is busy, and the digests
// read so far.  The run owns one and hands it to what checks local files.
struct digest_cache {
	std::vector<std::string> pending;
	size_t next = 0;
	std::unordered_map<std::string, local_digest> ready;
};

// The same, and sets status to the local copy's (all zero when it is
// missing), so that its form can be judged without another lstat.  Takes
// the digests that digests (null: none) holds for the file as it is now,
// each once, instead of reading it.
int confirm_md5(const char* md5, const std::string& local_path, struct stat& status, digest_cache* digests);

// Plans the reading ahead of the local copies of the files the previous run
// wrote (target + each path of known_set), dropping what an earlier plan
// read.
void plan_local_digests(digest_cache& digests, const std::string& target, const known_path_set& known_set);

// Reads the next planned local file that is a regular file and keeps its
// digests for confirm_md5, which then needs not read it while the file
// keeps its status.  False when nothing is left to read.  Meant for the
// time spent waiting on the server.
bool digest_next_local_file(digest_cache& digests);

// What a file's properties say about how it is written.
struct file_properties {
	bool executable = false;
	bool special = false;
	bool freebsd_keyword = false;	// svn:keywords is "FreeBSD=%H"
	std::string author;
	std::string revision;
	std::string date;
};

// Takes one property of a file by its name, set to value or, without one,
// removed; the properties that do not decide how a file is written are
// passed over.
void take_file_property(std::string_view name, std::optional<std::string_view> value, file_properties& found);

// The "$FreeBSD$" expansion of a file whose properties are found and whose
// path below the repository root is repository_path ("base/head/bin/ls.c"
// names no repository: "head/bin/ls.c"): empty unless svn:keywords asks
// for it and every part is known.
std::string file_expansion_text(const file_properties& found, std::string_view repository_path);

// The "$FreeBSD$" expansion text ": path revision date author " of a file
// whose repository path is path; empty (the keyword stays as it is) when a
// part is missing or the date is not of the form 2018-10-19T12:34:56Z, with
// or without a fraction of a second.
std::string keyword_expansion(std::string_view path, std::string_view revision, std::string_view date, std::string_view author);

// Writes all of data to fd, going on after partial writes.  False on
// failure, with errno set (EIO for a write that took nothing).
bool write_all(int fd, std::string_view data);

// Reads from fd until size bytes are in area or the file ends.  Returns the
// count read, or -1 on an error with errno set.
ssize_t read_all(int fd, char* area, size_t size);

// Writes one verified file: a symbolic link for a special node, otherwise a
// regular file with "$FreeBSD$" expanded and mode 0755 or 0644.
void write_file(const settings& conn, const file_node& node, const std::string& local_path, const char* data, int64_t length);
