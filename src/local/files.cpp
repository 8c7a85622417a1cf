// Single local files: whether a local copy already holds the repository's
// content, and the writing of a fetched file.

#include "local/local.h"

#include <sys/stat.h>

#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

static constexpr std::string_view keyword = "$FreeBSD$";
static constexpr std::string_view expanded_keyword = "$FreeBSD:";

// Local files and links read for a comparison: a tally that shows what a
// check cost, never consulted by it.
static uint64_t files_read = 0;

uint64_t
local_files_read()
{
	return files_read;
}

// True when the text md5 is exactly the 32 digits of hex.
static bool
md5_matches(const char* md5, const std::string& hex)
{
	return std::string_view(md5) == hex;
}

// A symbolic link taken as "link " + its target, the form the repository
// holds it in; empty when it cannot be read.
static std::string
read_link_text(const std::string& local_path, const struct stat& status)
{
	std::string text;

	try {
		text.assign(5 + static_cast<size_t>(status.st_size) + local_path.size() + 16, '\0');
	} catch (const std::bad_alloc&) {
		errno = ENOMEM;
		err(1, "confirm_md5 link malloc");
	}
	memcpy(text.data(), "link ", 5);
	files_read++;
	ssize_t length = readlink(local_path.c_str(), text.data() + 5, text.size() - 5);
	if (length < 0)
		return {};
	text.resize(5 + static_cast<size_t>(length));
	return text;
}

// Compares a symbolic link, taken as "link " + its target, with md5.
static int
confirm_link_md5(const char* md5, const std::string& local_path, const struct stat& status)
{
	std::string text = read_link_text(local_path, status);
	return !text.empty() && md5_matches(md5, md5_hex(text.data(), text.size())) ? 0 : 1;
}

// A local file's content as read for comparison, NUL-terminated after its
// length; the area is kept for the next file and grows to the largest.
struct file_content {
	std::unique_ptr<char[]> area;
	size_t room = 0;
	char* data = nullptr;
	size_t length = 0;
};

// Makes room for size bytes and a NUL, without clearing it.
static void
reserve_content(file_content& content, size_t size)
{
	if (content.room > size)
		return;
	try {
		content.area = std::make_unique_for_overwrite<char[]>(size + 1);
	} catch (const std::bad_alloc&) {
		errno = ENOMEM;
		err(1, "confirm_md5 temp_buffer malloc");
	}
	content.room = size + 1;
}

// Opens the regular file at local_path for reading, the one that lstat
// saw as status.  -1 when something else stands there now: a pipe or a
// device is never waited on (O_NONBLOCK) and never read.
static int
open_regular_for_reading(const std::string& local_path, const struct stat& status)
{
	files_read++;
	int fd = open(local_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
	if (fd == -1) {
		// Gone, or a link now: it is no longer the file that was seen.
		if (errno == ENOENT || errno == ELOOP)
			return -1;
		err(1, "read file (%s)", local_path.c_str());
	}
	struct stat opened;
	if (fstat(fd, &opened) == -1 || !S_ISREG(opened.st_mode) || opened.st_dev != status.st_dev ||
	    opened.st_ino != status.st_ino) {
		close(fd);
		return -1;
	}
	return fd;
}

// Reads a regular file whole into the shared area; its size must not
// change while it is read.  Asks for one byte more than the size, so that
// a single short read shows the end.  Null when the path no longer holds
// the regular file that lstat saw.
static file_content*
read_whole_file(const std::string& local_path, const struct stat& status)
{
	static file_content content;
	size_t size = static_cast<size_t>(status.st_size);

	reserve_content(content, size);
	int fd = open_regular_for_reading(local_path, status);
	if (fd == -1)
		return nullptr;
	char* area = content.area.get();
	size_t done = 0;
	for (;;) {
		ssize_t got = read(fd, area + done, size + 1 - done);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0)
			err(1, "read file (%s)", local_path.c_str());
		if (got == 0)
			break;
		done += static_cast<size_t>(got);
		if (done >= size)
			break;
	}
	// A short or a long read sets no errno: the size changed under us.
	if (done != size)
		errx(1, "read file (%s): file changed", local_path.c_str());
	close(fd);
	area[size] = '\0';
	content.data = area;
	content.length = size;
	return &content;
}

// Collapses the first expanded keyword at or after *position back into
// "$FreeBSD$", within the text part of content (up to its first NUL).
// Returns false when there is no further "$FreeBSD:"; sets *collapsed when
// the content changed (a keyword whose "$" lies on a later line stays).
static bool
collapse_next_keyword(file_content& content, size_t* position, bool* collapsed)
{
	std::string_view text(content.data);

	*collapsed = false;
	size_t at = text.find(expanded_keyword, *position);
	if (at == std::string_view::npos)
		return false;
	size_t colon = at + expanded_keyword.size() - 1;
	*position = colon;
	size_t dollar = text.find('$', colon);
	size_t newline = text.find('\n', colon);
	if (dollar != std::string_view::npos && (newline == std::string_view::npos || dollar < newline)) {
		// The rest moves down with the NUL after it.
		memmove(content.data + colon, content.data + dollar, content.length - dollar + 1);
		content.length -= dollar - colon;
		*collapsed = true;
	}
	return true;
}

// Offers the MD5 of the content of a regular file to match: as read, then
// after each expanded keyword is collapsed, until match takes one.  True
// when it did; false too when the path holds no longer that file.
template <typename Match>
static bool
offer_content_digests(const std::string& local_path, const struct stat& status, Match match)
{
	file_content* read = read_whole_file(local_path, status);
	if (read == nullptr)
		return false;
	file_content& content = *read;
	size_t position = 0;
	bool collapsed = true;
	for (;;) {
		if (collapsed && match(md5_hex(content.data, content.length), std::string_view(content.data, content.length)))
			return true;
		if (!collapse_next_keyword(content, &position, &collapsed))
			return false;
	}
}

static bool
same_time(const struct timespec& a, const struct timespec& b)
{
	return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// True when the file's status is what it was when it was read.
static bool
status_unchanged(const local_digest& digest, const struct stat& status)
{
	return digest.device == status.st_dev && digest.inode == status.st_ino && digest.size == status.st_size &&
	    same_time(digest.modified, status.st_mtim) && same_time(digest.changed, status.st_ctim);
}

void
plan_local_digests(digest_cache& local_digests, const std::string& target, const known_path_set& known_set)
{
	local_digests.pending.clear();
	local_digests.next = 0;
	local_digests.ready.clear();
	local_digests.pending.reserve(known_set.size());
	for (const auto& entry : known_set)
		local_digests.pending.push_back(target + entry.first);
}

bool
digest_next_local_file(digest_cache& local_digests)
{
	while (local_digests.next < local_digests.pending.size()) {
		const std::string& local_path = local_digests.pending[local_digests.next++];
		struct stat status;
		if (lstat(local_path.c_str(), &status) != 0 || !S_ISREG(status.st_mode))
			continue;
		local_digest digest{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim, {}};
		offer_content_digests(local_path, status, [&digest](const std::string& md5, std::string_view) {
			digest.md5s.push_back(md5);
			return false;
		});
		// None when the file went or changed its kind before it was read.
		if (!digest.md5s.empty())
			local_digests.ready.insert_or_assign(local_path, std::move(digest));
		return true;
	}
	local_digests.pending = {};
	return false;
}

// Compares with md5 by the digests read ahead; -1 when there are none for
// the file as it is now.  Each is used once.
static int
confirm_md5_ahead(digest_cache& local_digests, const char* md5, const std::string& local_path, const struct stat& status)
{
	auto found = local_digests.ready.find(local_path);
	if (found == local_digests.ready.end())
		return -1;
	local_digest digest = std::move(found->second);
	local_digests.ready.erase(found);
	if (!status_unchanged(digest, status))
		return -1;
	for (const std::string& candidate : digest.md5s)
		if (md5_matches(md5, candidate))
			return 0;
	return 1;
}

int
confirm_md5(const char* md5, const std::string& local_path)
{
	struct stat status;

	return confirm_md5(md5, local_path, status, nullptr);
}

int
confirm_md5(const char* md5, const std::string& local_path, struct stat& status, digest_cache* digests)
{
	if (lstat(local_path.c_str(), &status) == -1) {
		status = {};
		return 1;
	}
	if (S_ISLNK(status.st_mode))
		return confirm_link_md5(md5, local_path, status);
	// A directory, pipe or device never holds the content: reading one
	// would fail or wait forever.
	if (!S_ISREG(status.st_mode))
		return 1;
	int ahead = digests != nullptr ? confirm_md5_ahead(*digests, md5, local_path, status) : -1;
	if (ahead >= 0)
		return ahead;
	return offer_content_digests(local_path, status, [md5](const std::string& candidate, std::string_view) {
		return md5_matches(md5, candidate);
	}) ? 0 : 1;
}

std::optional<std::string>
local_base_text(const char* md5, const std::string& local_path)
{
	struct stat status;
	std::optional<std::string> base;

	if (lstat(local_path.c_str(), &status) == -1)
		return base;
	if (S_ISLNK(status.st_mode)) {
		std::string text = read_link_text(local_path, status);
		if (!text.empty() && md5_matches(md5, md5_hex(text.data(), text.size())))
			base = std::move(text);
	} else if (S_ISREG(status.st_mode))
		offer_content_digests(local_path, status, [md5, &base](const std::string& candidate, std::string_view text) {
			if (md5_matches(md5, candidate))
				base = std::string(text);
			return base.has_value();
		});
	return base;
}

bool
write_all(int fd, std::string_view data)
{
	while (!data.empty()) {
		ssize_t done = write(fd, data.data(), data.size());
		if (done < 0 && errno == EINTR)
			continue;
		if (done == 0)
			errno = EIO;
		if (done <= 0)
			return false;
		data.remove_prefix(static_cast<size_t>(done));
	}
	return true;
}

ssize_t
read_all(int fd, char* area, size_t size)
{
	size_t done = 0;

	while (done < size) {
		ssize_t got = read(fd, area + done, size - done);
		if (got < 0 && errno == EINTR)
			continue;
		if (got < 0)
			return -1;
		if (got == 0)
			break;
		done += static_cast<size_t>(got);
	}
	return static_cast<ssize_t>(done);
}

// Opens path for writing as a regular file, created or truncated.  What
// else stands there (a symbolic link, a pipe, a socket, a device) is a
// leftover and is removed first: nothing is written through a link or into
// a device, and no open waits for a reader of a pipe.
static int
open_regular_file(const std::string& path)
{
	struct stat status;

	if (lstat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode) &&
	    unlink(path.c_str()) == -1)
		errx(1, "Please remove %s manually and restart trelk", path.c_str());
	// O_NONBLOCK only matters if a pipe or device is put there again
	// meanwhile: the open fails or the check below refuses it.  It has
	// no effect on a regular file.
	int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0644);
	if (fd == -1)
		err(1, "write file failure %s", path.c_str());
	if (fstat(fd, &status) == -1 || !S_ISREG(status.st_mode))
		errx(1, "write file failure %s: not a regular file", path.c_str());
	if (ftruncate(fd, 0) == -1)
		err(1, "write file failure %s", path.c_str());
	return fd;
}

// Writes a special node's data, "link " + target, as a symbolic link in
// place of whatever is at local_path.  Other data writes nothing.
static void
write_link(const std::string& local_path, const char* data, int64_t length)
{
	struct stat status;

	if (length < 5 || memcmp(data, "link ", 5) != 0)
		return;
	std::string target(data + 5, strnlen(data + 5, static_cast<size_t>(length) - 5));
	// lstat, so that a dangling link is replaced too.
	if (lstat(local_path.c_str(), &status) == 0 && remove(local_path.c_str()) == -1)
		errx(1, "Please remove %s manually and restart trelk", local_path.c_str());
	if (symlink(target.c_str(), local_path.c_str()) == -1)
		err(1, "Cannot link %s -> %s", target.c_str(), local_path.c_str());
}

// Writes data with every "$FreeBSD$" in its text part (up to its first NUL,
// never past length) expanded to "$FreeBSD" + expansion + "$".
static bool
write_expanded(int fd, const char* data, size_t length, const std::string& expansion)
{
	const char* nul = static_cast<const char*>(memchr(data, '\0', length));
	std::string_view text(data, nul ? static_cast<size_t>(nul - data) : length);
	size_t position = 0;

	for (size_t at; (at = text.find(keyword, position)) != std::string_view::npos;) {
		// Up to "$FreeBSD", the expansion, then on from the closing "$",
		// which may open the next keyword.
		size_t closing = at + keyword.size() - 1;
		if (!write_all(fd, std::string_view(data + position, closing - position)) ||
		    !write_all(fd, expansion))
			return false;
		position = closing;
	}
	return write_all(fd, std::string_view(data + position, length - position));
}

// Writes one verified file: a link for a special node, otherwise a regular
// file with its keywords expanded and its mode set.
void
write_file(const settings& conn, const file_node& node, const std::string& local_path, const char* data, int64_t length)
{
	if (node.special) {
		write_link(local_path, data, length);
		return;
	}
	int fd = open_regular_file(local_path);
	size_t size = length > 0 ? static_cast<size_t>(length) : 0;
	bool written = node.expansion.empty()
	    ? write_all(fd, std::string_view(data, size))
	    : write_expanded(fd, data, size, node.expansion);
	if (!written || fchmod(fd, node.executable ? 0755 : 0644) == -1 || close(fd) == -1)
		err(1, "write file failure %s", local_path.c_str());
	if (conn.verbosity != 0)
		printf(" + %s\n", local_path.c_str());
}
