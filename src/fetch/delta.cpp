// The update that costs what changed: the state of the last run names the
// revision the tree is at and what each file holds, the local check trusts
// the copies whose status is as recorded, and the server is asked only for
// what changed since, plus the files that drifted.

#include "fetch/fetch.h"

#include "local/local.h"
#include "progress/progress.h"
#include "transport/transport.h"

#include <sys/stat.h>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <err.h>

// The tick of the coarsest file system clock counted on: a file changed
// within it of the run's start may have changed after it was read.
static constexpr int64_t granularity_ns = 1000000000;

// What the delta leaves to do for one file.
enum class file_work { none, text, mode };

// True when the state lists exactly the files of the known-files list,
// with the same MD5s: a list written by another run, or edited, makes the
// state unusable.
static bool
state_matches_list(const tree_state& state, const known_path_set& known_set)
{
	if (state.files.size() != known_set.size())
		return false;
	auto known = known_set.begin();
	for (const auto& [path, entry] : state.files) {
		if (known->first != path || known->second != entry.md5)
			return false;
		++known;
	}
	return true;
}

std::optional<tree_state>
usable_tree_state(const connection& conn, const known_path_set& known_set)
{
	if (conn.full_check != 0 || conn.ops->read_delta == nullptr || conn.uuid.empty())
		return std::nullopt;
	std::optional<tree_state> state = load_tree_state(tree_state_path(conn));
	if (!state || state->uuid != conn.uuid || state->branch != *conn.branch || !state_matches_list(*state, known_set))
		return std::nullopt;
	return state;
}

// True when path is below, or is, the entry deleted.
static bool
lies_in(std::string_view path, std::string_view deleted)
{
	return path.starts_with(deleted) && (path.size() == deleted.size() || path[deleted.size()] == '/');
}

// The property changes of one file applied to its entry.  Returns what the
// file's local copy now needs: its text, a new mode, or nothing.
static file_work
apply_file_change(state_entry& entry, const changed_file& change)
{
	const state_entry old = entry;
	file_properties found;
	bool entry_properties = false;

	if (!change.added) {
		found.executable = entry.executable;
		found.special = entry.special;
		found.freebsd_keyword = entry.keyword;
	}
	for (const property_change& property : change.properties) {
		take_file_property(property.name, property.value, found);
		entry_properties |= property.name.starts_with("svn:entry:");
	}
	// A change of properties alone may come without the MD5 of the text,
	// which is then the one the file had.
	if (!change.md5.empty())
		entry.md5 = change.md5;
	entry.executable = found.executable;
	entry.special = found.special;
	entry.keyword = found.freebsd_keyword;
	// The expansion's revision, date and author come whenever the file
	// changed; without them it stays as it was.
	if (!entry.keyword)
		entry.expansion.clear();
	else if (change.added || entry_properties)
		entry.expansion = file_expansion_text(found, change.repository_path);
	if (change.added || entry.md5 != old.md5 || entry.special != old.special || entry.expansion != old.expansion)
		return file_work::text;
	return entry.executable != old.executable ? file_work::mode : file_work::none;
}

// What the delta leaves to do, by path, the changes that say where the
// texts to fetch are and what they apply to, the texts it brought, and the
// files whose text stayed as it was (their form or expansion changed),
// which the local copy gives.
struct delta_work {
	std::map<std::string, file_work, std::less<>> files;
	std::map<std::string, const changed_file*, std::less<>> sources;
	std::map<std::string, std::string, std::less<>> texts;
	std::set<std::string, std::less<>> same_texts;
};

// Applies the delta to the state: what it deleted goes, what it added
// comes, what it changed takes its new MD5 and properties.  False when it
// changes a file the state does not hold: the full run must sort that out.
static bool
apply_delta(tree_state& state, tree_delta& delta, delta_work& work)
{
	for (const std::string& deleted : delta.deleted) {
		for (auto at = state.files.lower_bound(deleted); at != state.files.end() && lies_in(at->first, deleted);)
			at = state.files.erase(at);
		for (auto at = state.directories.lower_bound(deleted); at != state.directories.end() && lies_in(*at, deleted);)
			at = state.directories.erase(at);
	}
	for (const std::string& directory : delta.added_directories)
		state.directories.insert(directory);
	for (changed_file& change : delta.files) {
		auto found = state.files.find(change.path);
		if (change.added && !is_md5_text(change.md5)) {
			fprintf(stderr, "The delta adds %s without its MD5.\n", printable_text(change.path).c_str());
			return false;
		}
		if (change.added)
			found = state.files.insert_or_assign(change.path, state_entry()).first;
		else if (found == state.files.end()) {
			fprintf(stderr, "The delta changes %s, which the last run did not write.\n", printable_text(change.path).c_str());
			return false;
		}
		std::string old_md5 = change.added ? std::string() : found->second.md5;
		file_work need = apply_file_change(found->second, change);
		if (need != file_work::none)
			work.files[change.path] = need;
		if (!change.href.empty())
			work.sources[change.path] = &change;
		if (change.text)
			work.texts[change.path] = std::move(*change.text);
		else if (need == file_work::text && old_md5 == found->second.md5)
			work.same_texts.insert(change.path);
	}
	return true;
}

// The catalogue of the branch at the new revision, in path order, from
// the state; the files whose text must come are marked for download.
static void
catalogue_from_state(const tree_state& state, const delta_work& work, catalogue& cat)
{
	for (const auto& [path, entry] : state.files) {
		file_node& node = new_file_node(cat);
		node.path = path;
		snprintf(node.md5, sizeof(node.md5), "%s", entry.md5.c_str());
		node.executable = entry.executable;
		node.special = entry.special;
		node.keyword = entry.keyword;
		node.expansion = entry.expansion;
		node.props_known = 1;
		auto need = work.files.find(path);
		node.download = need != work.files.end() && need->second == file_work::text;
		auto source = work.sources.find(path);
		if (source != work.sources.end()) {
			node.href = source->second->href;
			node.base_md5 = source->second->base_md5;
			node.base_href = source->second->base_href;
		}
	}
}

// Makes every directory of the branch (the ones there are only found) and
// clears the way for each file to download.
static void
make_directories(connection& conn, const tree_state& state, catalogue& cat, path_sets& sets)
{
	sets.scan = {*conn.path_target, conn.trim_tree != 0 || conn.extra_files != 0, false};
	complete_local_scan(sets);
	for (const std::string& directory : state.directories)
		make_branch_directory(conn, sets, directory, conn.ops->announces_directories);
	for (file_node& node : cat.file)
		if (node.download)
			clear_directory_for_file(conn, sets, node.path);
}

// The text of a file to write that needs no download: the delta's, or the
// local copy's when the file's text stayed as it was.
static std::optional<std::string>
text_at_hand(const connection& conn, const file_node& node, delta_work& work)
{
	auto brought = work.texts.find(node.path);
	if (brought != work.texts.end())
		return std::move(brought->second);
	if (work.same_texts.count(node.path) != 0)
		return local_base_text(node.md5, *conn.path_target + node.path);
	return std::nullopt;
}

// Writes the files whose text is at hand; the others stay to download.
static void
write_texts_at_hand(connection& conn, catalogue& cat, delta_work& work)
{
	for (int32_t i = 0; i < cat.count(); i++) {
		file_node& node = cat.file[i];
		if (!node.download)
			continue;
		std::optional<std::string> text = text_at_hand(conn, node, work);
		if (!text)
			continue;
		if (conn.verbosity >= 2)
			show_progress(conn, node.path, i, cat.count());
		node.size = static_cast<int64_t>(text->size());
		write_fetched_file(conn, node, text->data());
		node.download = 0;
	}
	work.texts.clear();
}

// The texts to download: in one stream where the protocol has one (false
// when it failed), otherwise in content batches.
static bool
fetch_texts(connection& conn, catalogue& cat)
{
	std::vector<int32_t> files;
	for (int32_t i = 0; i < cat.count(); i++)
		if (cat.file[i].download)
			files.push_back(i);
	if (conn.ops->stream_texts == nullptr) {
		command_batches none;
		digest_cache digests;
		get_files(conn, cat, none, digests);
		return true;
	}
	if (files.empty())
		return true;
	return conn.ops->stream_texts(conn, cat, files, [&conn, &cat](int32_t index, std::string_view text) {
		file_node& node = cat.file[index];
		if (conn.verbosity >= 2)
			show_progress(conn, node.path, index, cat.count());
		write_fetched_file(conn, node, text.data());
	});
}

// Gives a file whose executable bit alone changed its new mode, without
// following a link or waiting on anything but a regular file, and reports
// it as the full run does, which writes the file afresh.
static void
change_mode(const connection& conn, file_node& node)
{
	std::string local_path = *conn.path_target + node.path;
	int fd = open(local_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
	struct stat status;
	if (fd == -1 || fstat(fd, &status) == -1 || !S_ISREG(status.st_mode) ||
	    fchmod(fd, node.executable ? 0755 : 0644) == -1 || fstat(fd, &status) == -1)
		err(1, "Cannot change the mode of %s", local_path.c_str());
	close(fd);
	if (conn.verbosity != 0)
		printf(" + %s\n", local_path.c_str());
	node.written = status_of(status);
}

bool
update_from_state(connection& conn, catalogue& cat, path_sets& sets, tree_state& state)
{
	local_check check = check_local_copies(*conn.path_target, state);
	tree_delta delta;
	if (!conn.ops->read_delta(conn, state.revision, check.drifted, delta))
		return false;
	// A drifted file comes back as added; one that does not has left the
	// repository since.
	for (const std::string& path : check.drifted)
		state.files.erase(path);
	delta_work work;
	if (!apply_delta(state, delta, work))
		return false;
	catalogue_from_state(state, work, cat);
	make_directories(conn, state, cat, sets);
	write_texts_at_hand(conn, cat, work);
	if (!fetch_texts(conn, cat))
		return false;
	for (file_node& node : cat.file) {
		auto need = work.files.find(node.path);
		if (!node.special && need != work.files.end() && need->second == file_work::mode)
			change_mode(conn, node);
	}
	return true;
}

static int64_t
nanoseconds(const struct timespec& time)
{
	return static_cast<int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

// The status of a file's local copy for the state.  A copy is trusted next
// time when this run wrote it and nobody changed it since, or when it last
// changed well before the run began: every file of a complete run was
// either written or read whole during it.  Any other copy is read next time.
static void
take_status(const std::string& local_path, const file_node& node, const struct timespec& run_start, state_entry& entry)
{
	struct timespec looked;
	clock_gettime(CLOCK_REALTIME, &looked);
	struct stat status;
	if (lstat(local_path.c_str(), &status) == -1) {
		forget_local_status(entry);
		return;
	}
	bool trusted = node.written.inode != 0 ? status_unchanged(node.written, status)
	    : nanoseconds(status.st_ctim) < nanoseconds(run_start) - granularity_ns;
	if (trusted)
		record_local_status(entry, status, looked);
	else
		forget_local_status(entry);
}

std::optional<tree_state>
record_tree_state(const connection& conn, const catalogue& cat, const path_sets& sets, const struct timespec& run_start)
{
	if (conn.uuid.empty())
		return std::nullopt;
	tree_state state{conn.uuid, *conn.branch, conn.revision, sets.branch_dirs, {}};
	for (const file_node& node : cat.file) {
		if (!node.props_known || !is_md5_text(node.md5))
			return std::nullopt;
		state_entry entry;
		entry.md5 = node.md5;
		entry.executable = node.executable != 0;
		entry.special = node.special != 0;
		entry.keyword = node.keyword != 0;
		entry.expansion = node.expansion;
		take_status(*conn.path_target + node.path, node, run_start, entry);
		if (!state.files.emplace(node.path, std::move(entry)).second)
			return std::nullopt;
	}
	return state;
}

void
keep_tree_state(const connection& conn, const std::optional<tree_state>& state)
{
	std::string path = tree_state_path(conn);
	if (state)
		install_tree_state(path);
	else if (unlink(path.c_str()) == -1 && errno != ENOENT)
		err(1, "Cannot remove %s", path.c_str());
}
