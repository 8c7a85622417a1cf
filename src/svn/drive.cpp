// The svn update stream: an update report, then the server's editor
// drive, which adds directories and files with their properties and texts
// as svndiff.  From an empty report it adds the whole branch; from a report
// that has the branch at the revision but lacks some files, just those.
// An update report of the branch at an older revision gets the drive of
// what changed since, read into a tree_delta: what was deleted, added or
// opened, with the new texts rebuilt against the local copies.  A status
// report from empty gets a drive without texts that lists the whole
// branch, every file with its MD5 and properties.  The drive is read one
// command at a time, so the stream never has to fit the response buffer.

#include "svn/svn.h"

#include "local/local.h"
#include "transport/transport.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <err.h>

// The most bytes one command of the drive may take: far above the chunks
// svnserve sends (one svndiff window, about 100 KiB), but bounded.
static constexpr size_t largest_command = size_t(64) << 20;

// The largest text a file may have, as for a file fetched on its own.
static constexpr size_t largest_text = (size_t(1) << 31) - 1;

// The most bytes of new texts a delta keeps for the run to write; past
// it, a text is dropped and fetched on its own later, so that memory stays
// bounded however much changed.
static constexpr size_t largest_delta_texts = size_t(64) << 20;

// The bytes taken from the socket in one read.
static constexpr size_t stream_read_size = size_t(256) << 10;

// The bytes of the stream not taken yet, read on demand.
struct drive_stream {
	connection& conn;
	std::string buffer;
	size_t start = 0;
};

// A file being added (or, in a delta, opened): its node, what its
// properties say, and its text as far as its windows have come.  A delta
// keeps each property change as it came instead of a text.
struct drive_file {
	std::string path;
	bool added = true;
	file_properties properties;
	std::vector<property_change> changes;
	size_t change_bytes = 0;	// of the names and values in changes
	std::unique_ptr<svndiff_decoder> delta;
	std::string text;
	bool text_ended = false;
	bool text_dropped = false;	// a delta's text that will be fetched on its own
};

// What the drive has opened and not closed yet, by the server's tokens:
// directories by their path relative to the target ("" for the branch
// itself), files by their state.  wanted, when set, names the only files
// the drive may add: catalogue files by path, each taken once.  delta, when
// set, takes what a delta drive names instead: nothing is made or handed
// on, and there are neither catalogue, sets nor taker.  A listing has a
// catalogue and sets but no taker: its drive brings no texts.
struct drive_state {
	connection& conn;
	catalogue* cat;
	path_sets* sets;
	const file_taker* take;
	std::map<std::string, int32_t>* wanted;
	tree_delta* delta;
	std::unordered_map<std::string, std::string> directories = {};
	std::unordered_map<std::string, drive_file> files = {};
	std::unordered_set<std::string> added = {};	// the paths of the files added so far
	size_t text_bytes = 0;	// of the texts a delta holds, kept or still coming
	bool closed = false;
	bool aborted = false;
};

// True when the drive brings texts to hand on: neither a delta nor a
// listing, whose status drives send only each text's svndiff header.
static bool
takes_texts(const drive_state& drive)
{
	return drive.take != nullptr;
}

// Says why the stream cannot go on; the caller then goes on without it.
static bool
stream_fails(const char* why)
{
	fprintf(stderr, "Error in svn stream: %s\n", why);
	return false;
}

// Reads more of the stream after what is kept.  False at its end or on an
// error.
static bool
read_more(drive_stream& s)
{
	if (s.start > 0 && s.start * 2 >= s.buffer.size()) {
		s.buffer.erase(0, s.start);
		s.start = 0;
	}
	size_t kept = s.buffer.size();
	s.buffer.resize(kept + stream_read_size);
	ssize_t count = read_stream(s.conn, s.buffer.data() + kept, stream_read_size);
	s.buffer.resize(kept + (count > 0 ? static_cast<size_t>(count) : 0));
	return count > 0;
}

// The next whole command group of the stream, blanks before it passed
// over; false (and the reason printed) when the stream ends first or holds
// something else.
static bool
next_group(drive_stream& s, svn_items& items)
{
	for (;;) {
		while (s.start < s.buffer.size() && (s.buffer[s.start] == ' ' || s.buffer[s.start] == '\n'))
			s.start++;
		if (s.start < s.buffer.size()) {
			if (s.buffer[s.start] != '(')
				return stream_fails("an item outside a command");
			char* first = s.buffer.data() + s.start;
			char* close = svn_list_end(first, s.buffer.data() + s.buffer.size());
			if (close != nullptr) {
				items = {first, close + 1};
				s.start += static_cast<size_t>(close + 1 - first);
				return true;
			}
			if (s.buffer.size() - s.start > largest_command)
				return stream_fails("a command is too large");
		}
		if (!read_more(s))
			return stream_fails("the connection ended inside the stream");
	}
}

// Takes the items that close the command's argument list and the command.
static bool
end_command(svn_items& items)
{
	while (items.ok && !svn_close_list(items))
		svn_skip_item(items);
	return items.ok && svn_close_list(items);
}

// The path relative to the target of the entry the drive names path
// (relative to the branch) inside the directory whose path is parent.
// Anything but a clean name directly inside parent ends the run.
static std::string
child_path(const std::string& parent, std::string_view path)
{
	size_t slash = path.rfind('/');
	std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
	std::string_view folder = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
	std::string_view expected = parent.empty() ? std::string_view() : std::string_view(parent).substr(1);
	if (folder != expected)
		errx(1, "The server sent the path %s outside its directory %s.  Quitting.",
		    printable_text(path).c_str(), parent.empty() ? "/" : printable_text(parent).c_str());
	check_listed_name(name, parent);
	return parent + "/" + std::string(name);
}

// The directory of a token; false when the drive never opened it.
static bool
find_directory(const drive_state& drive, std::string_view token, std::string& path)
{
	auto found = drive.directories.find(std::string(token));
	if (found == drive.directories.end())
		return false;
	path = found->second;
	return true;
}

// ( open-root ( ( rev ) token ) )
static bool
open_root(drive_state& drive, svn_items& items)
{
	svn_skip_item(items);
	std::string_view token = svn_read_string(items);
	if (!items.ok)
		return false;
	drive.directories[std::string(token)] = "";
	return true;
}

// The head of add-dir, open-dir and add-file: ( path parent token ...
// sets the entry's path relative to the target, checked, and its token.
// False when the head is malformed or names a directory never opened.
static bool
read_entry_head(const drive_state& drive, svn_items& items, std::string& relative, std::string_view& token)
{
	std::string_view path = svn_read_string(items);
	std::string_view parent_token = svn_read_string(items);
	token = svn_read_string(items);
	std::string parent;
	if (!items.ok || !find_directory(drive, parent_token, parent))
		return false;
	relative = child_path(parent, path);
	return true;
}

// ( add-dir ( path parent child ( copy-from ) ) ): the directory is made
// at once, and announced as a full listing announces it; a delta lists it.
static bool
add_directory(drive_state& drive, svn_items& items)
{
	std::string relative;
	std::string_view token;
	if (!read_entry_head(drive, items, relative, token))
		return false;
	if (drive.delta != nullptr)
		drive.delta->added_directories.push_back(relative);
	else if (drive.wanted != nullptr)
		errx(1, "The server sent the directory %s, which was not asked for.  Quitting.", printable_text(relative).c_str());
	else
		make_branch_directory(drive.conn, *drive.sets, relative, true);
	drive.directories[std::string(token)] = relative;
	return true;
}

// ( open-dir ( path parent child ( rev ) ) ): a directory that is there.
static bool
open_directory(drive_state& drive, svn_items& items)
{
	std::string relative;
	std::string_view token;
	if (!read_entry_head(drive, items, relative, token))
		return false;
	drive.directories[std::string(token)] = relative;
	return true;
}

// ( close-dir ( token ) )
static bool
close_directory(drive_state& drive, svn_items& items)
{
	std::string_view token = svn_read_string(items);
	return items.ok && drive.directories.erase(std::string(token)) == 1;
}

// ( delete-entry ( path ( rev ) directory ) ): a delta lists the path.
static bool
delete_entry(drive_state& drive, svn_items& items)
{
	std::string_view path = svn_read_string(items);
	svn_skip_item(items);
	std::string_view parent_token = svn_read_string(items);
	std::string parent;
	if (!items.ok || !find_directory(drive, parent_token, parent))
		return false;
	drive.delta->deleted.push_back(child_path(parent, path));
	return true;
}

// ( add-file ( path directory token ( copy-from ) ) ), and in a delta
// ( open-file ( path directory token ( rev ) ) ), which is not added.
static bool
begin_file(drive_state& drive, svn_items& items, bool added)
{
	std::string relative;
	std::string_view token;
	if (!read_entry_head(drive, items, relative, token))
		return false;
	if (drive.wanted != nullptr && drive.wanted->count(relative) == 0)
		errx(1, "The server sent the file %s, which was not asked for.  Quitting.", printable_text(relative).c_str());
	drive_file& file = drive.files[std::string(token)];
	file = drive_file();
	file.path = relative;
	file.added = added;
	return true;
}

// The file of a token; null when the drive never added it.
static drive_file*
find_file(drive_state& drive, std::string_view token)
{
	auto found = drive.files.find(std::string(token));
	return found == drive.files.end() ? nullptr : &found->second;
}

// A delta's file keeps its property changes, as many bytes of them as one
// command may take.
static void
keep_property_change(drive_file& file, std::string_view name, std::optional<std::string_view> value)
{
	file.change_bytes += name.size() + (value ? value->size() : 0);
	if (file.change_bytes > largest_command)
		errx(1, "The server sent too many properties for %s.  Quitting.", printable_text(file.path).c_str());
	file.changes.push_back({std::string(name), value ? std::optional<std::string>(*value) : std::nullopt});
}

// ( change-file-prop ( token name ( value ) ) ); a removal names no value.
static bool
change_file_property(drive_state& drive, svn_items& items)
{
	drive_file* file = find_file(drive, svn_read_string(items));
	std::string_view name = svn_read_string(items);
	svn_open_list(items);
	if (!items.ok || file == nullptr)
		return false;
	std::optional<std::string_view> value;
	if (!svn_close_list(items))
		value = svn_read_string(items);
	if (!items.ok)
		return false;
	if (drive.delta != nullptr)
		keep_property_change(*file, name, value);
	else if (value)
		take_file_property(name, *value, file->properties);
	return true;
}

// A delta's text that cannot be had here: the file is fetched on its own
// after the drive, as a status drive leaves every text.
static void
drop_text(drive_state& drive, drive_file& file)
{
	drive.text_bytes -= file.text.size();
	file.text = std::string();
	file.text_dropped = true;
}

// The text a delta of an opened file applies to: the local copy's, when it
// is the one the server names by its MD5 (an absent MD5 names an empty
// text).  None drops the file's text.
static std::optional<std::string>
delta_base(const drive_state& drive, const drive_file& file, std::string_view base_md5)
{
	if (file.added)
		return std::string();
	std::string md5 = base_md5.empty() ? md5_hex("", 0) : std::string(base_md5);
	if (!is_md5_text(md5))
		return std::nullopt;
	return local_base_text(md5.c_str(), *drive.conn.path_target + file.path);
}

// ( apply-textdelta ( token ( base-md5 ) ) ): a stream's text comes from
// empty; a delta's added file's too, an opened file's from its local copy.
static bool
apply_text_delta(drive_state& drive, svn_items& items)
{
	drive_file* file = find_file(drive, svn_read_string(items));
	svn_open_list(items);
	std::string_view base_md5;
	if (items.ok && !svn_close_list(items)) {
		base_md5 = svn_read_string(items);
		svn_close_list(items);
	}
	if (!items.ok || file == nullptr || file->delta)
		return false;
	std::optional<std::string> base;
	if (drive.delta == nullptr || (base = delta_base(drive, *file, base_md5)))
		file->delta = std::make_unique<svndiff_decoder>(base ? *base : std::string_view());
	else {
		file->delta = std::make_unique<svndiff_decoder>();
		file->text_dropped = true;
	}
	return true;
}

// A delta's piece of text: what the decoder refuses, or what passes the
// room for texts, is dropped and fetched on its own.
static void
take_delta_text(drive_state& drive, drive_file& file, std::string_view bytes)
{
	size_t before = file.text.size();
	bool fed = file.delta->feed(bytes, file.text);
	drive.text_bytes += file.text.size() - before;
	if (!fed || drive.text_bytes > largest_delta_texts)
		drop_text(drive, file);
}

// ( textdelta-chunk ( token bytes ) ): a stream's text the decoder refuses
// ends the run, nothing of the file written.  A status drive sends only
// the svndiff header.
static bool
take_delta_chunk(drive_state& drive, svn_items& items)
{
	drive_file* file = find_file(drive, svn_read_string(items));
	std::string_view bytes = svn_read_string(items);
	if (!items.ok || file == nullptr || !file->delta || file->text_ended)
		return false;
	if (drive.delta != nullptr) {
		if (!file->text_dropped)
			take_delta_text(drive, *file, bytes);
		return true;
	}
	if (!takes_texts(drive))
		return true;
	if (!file->delta->feed(bytes, file->text))
		errx(1, "The server sent a broken text for %s%s (%s).  Quitting.", drive.conn.path_target->c_str(),
		    file->path.c_str(), file->delta->error().c_str());
	if (file->text.size() > largest_text)
		errx(1, "%s%s is too large to fetch (%zu bytes)", drive.conn.path_target->c_str(), file->path.c_str(), file->text.size());
	return true;
}

// ( textdelta-end ( token ) )
static bool
end_delta(drive_state& drive, svn_items& items)
{
	drive_file* file = find_file(drive, svn_read_string(items));
	if (!items.ok || file == nullptr || !file->delta || file->text_ended)
		return false;
	bool finished = file->delta->finish();
	if (takes_texts(drive) && !finished)
		errx(1, "The server sent a broken text for %s%s (%s).  Quitting.", drive.conn.path_target->c_str(),
		    file->path.c_str(), file->delta->error().c_str());
	if (drive.delta != nullptr && !finished && !file->text_dropped)
		drop_text(drive, *file);
	file->text_ended = true;
	return true;
}

// A file of the whole branch: it joins the catalogue as the drive
// describes it, after whatever stands in its place gives way.
static int32_t
new_node(drive_state& drive, const drive_file& file, std::string_view md5)
{
	if (!drive.added.insert(file.path).second)
		errx(1, "The server sent the file %s twice.  Quitting.", printable_text(file.path).c_str());
	file_node& node = new_file_node(*drive.cat);
	node.path = file.path;
	memcpy(node.md5, md5.data(), 32);
	node.md5[32] = '\0';
	node.executable = file.properties.executable;
	node.special = file.properties.special;
	node.keyword = file.properties.freebsd_keyword;
	node.expansion = svn_expansion_text(file.properties, node.path, *drive.conn.branch);
	node.props_known = 1;
	clear_directory_for_file(drive.conn, *drive.sets, node.path);
	return drive.cat->count() - 1;
}

// A file asked for: its catalogue node, which keeps the properties already
// read; the text must be the one they named.
static int32_t
wanted_node(drive_state& drive, const drive_file& file, std::string_view md5)
{
	auto found = drive.wanted->find(file.path);
	if (found == drive.wanted->end())
		errx(1, "The server sent the file %s twice.  Quitting.", printable_text(file.path).c_str());
	int32_t index = found->second;
	drive.wanted->erase(found);
	const file_node& node = drive.cat->file[index];
	if (md5 != node.md5)
		errx(1, "MD5 checksum mismatch: should be %s, calculated %s\n", node.md5, std::string(md5).c_str());
	return index;
}

// A file of a delta, as the drive described it.
static void
record_changed_file(drive_state& drive, drive_file& file, std::string_view md5)
{
	if (!drive.added.insert(file.path).second)
		errx(1, "The server sent the file %s twice.  Quitting.", printable_text(file.path).c_str());
	changed_file& changed = drive.delta->files.emplace_back();
	changed.path = file.path;
	changed.repository_path = svn_repository_path(file.path, *drive.conn.branch);
	changed.added = file.added;
	changed.md5 = md5;
	changed.properties = std::move(file.changes);
	// A text that is not the one the server names is fetched again, and
	// checked then as every fetched text is.
	if (file.delta && !file.text_dropped && md5_hex(file.text.data(), file.text.size()) == md5)
		changed.text = std::move(file.text);
	else if (file.delta && !file.text_dropped)
		drop_text(drive, file);
}

// A file of a stream: its node, complete, is handed on with its text.
static void
hand_on_file(drive_state& drive, const drive_file& file, std::string_view md5)
{
	int32_t index = drive.wanted != nullptr ? wanted_node(drive, file, md5) : new_node(drive, file, md5);
	drive.cat->file[index].size = static_cast<int64_t>(file.text.size());
	(*drive.take)(index, file.text);
}

// A file of a listing: it joins the catalogue with its MD5 and properties;
// its size is known once its text comes.
static void
list_file(drive_state& drive, const drive_file& file, std::string_view md5)
{
	drive.cat->file[new_node(drive, file, md5)].size = -1;
}

// ( close-file ( token ( md5 ) ) )
static bool
close_file(drive_state& drive, svn_items& items)
{
	std::string_view token = svn_read_string(items);
	drive_file* file = find_file(drive, token);
	svn_open_list(items);
	std::string_view md5 = svn_read_string(items);
	if (!items.ok || file == nullptr || !is_md5_text(md5) || (file->delta && !file->text_ended))
		return false;
	if (drive.delta != nullptr)
		record_changed_file(drive, *file, md5);
	else if (!takes_texts(drive))
		list_file(drive, *file, md5);
	else
		hand_on_file(drive, *file, md5);
	drive.files.erase(std::string(token));
	return true;
}

// One command of the drive: its name, then its arguments.  False when the
// drive cannot go on: the server aborted it, or a command is malformed or
// names what was never opened.
static bool
take_command(drive_state& drive, svn_items& items)
{
	svn_open_list(items);
	std::string_view name = svn_read_word(items);
	svn_open_list(items);
	if (!items.ok)
		return stream_fails("a malformed command");
	bool taken = true;
	if (name == "open-root")
		taken = open_root(drive, items);
	else if (name == "add-dir")
		taken = add_directory(drive, items);
	else if (name == "open-dir")
		taken = open_directory(drive, items);
	else if (name == "close-dir")
		taken = close_directory(drive, items);
	else if (name == "add-file")
		taken = begin_file(drive, items, true);
	else if (name == "open-file" && drive.delta != nullptr)
		taken = begin_file(drive, items, false);
	else if (name == "delete-entry" && drive.delta != nullptr)
		taken = delete_entry(drive, items);
	else if (name == "change-file-prop")
		taken = change_file_property(drive, items);
	else if (name == "apply-textdelta")
		taken = apply_text_delta(drive, items);
	else if (name == "textdelta-chunk")
		taken = take_delta_chunk(drive, items);
	else if (name == "textdelta-end")
		taken = end_delta(drive, items);
	else if (name == "close-file")
		taken = close_file(drive, items);
	else if (name == "close-edit")
		drive.closed = true;
	else if (name == "abort-edit") {
		drive.aborted = true;
		return false;
	}
	else if (name != "target-rev" && name != "change-dir-prop" && name != "absent-dir" && name != "absent-file")
		return stream_fails(("an unexpected command " + printable_text(name)).c_str());
	if (!taken || !end_command(items))
		return stream_fails(("a malformed " + printable_text(name)).c_str());
	return true;
}

// True when the group is a success; a failure is reported.
static bool
group_succeeds(svn_items items)
{
	std::string_view text(items.p, items.end - items.p);
	if (begins_with(items.p, items.end, "( success "))
		return true;
	report_command_failure(std::string(text).c_str());
	return false;
}

// The report's first line: the branch at revision, or, with empty, as if
// it held nothing.
static std::string
set_branch(int32_t revision, bool empty)
{
	return "( set-path ( 0: " + std::to_string(revision) + (empty ? " true" : " false") + " ( ) infinity ) )\n";
}

// The update command and the report's first line: the branch at the
// revision, or, with empty, as if it held nothing.
static std::string
update_command(const connection& conn, bool empty)
{
	return "( update ( ( " + std::to_string(conn.revision) + " ) 0: true infinity false false ) )\n" +
	    set_branch(conn.revision, empty);
}

// The report line for a path (relative to the target, beginning with "/")
// that the tree lacks.
static std::string
delete_path(const std::string& path)
{
	return "( delete-path ( " + std::to_string(path.size() - 1) + ":" + path.substr(1) + " ) )\n";
}

static const char finish_report[] = "( finish-report ( ) )\n";

// Reads the drive to its close-edit; the groups before it (the
// authentication requests of the command and its report) must succeed.
static bool
read_drive(drive_stream& s, drive_state& drive)
{
	svn_items items{nullptr, nullptr};
	bool started = false;

	while (!drive.closed) {
		if (!next_group(s, items))
			return false;
		if (!started && begins_with(items.p, items.end, "( success "))
			continue;
		if (!started && begins_with(items.p, items.end, "( failure "))
			return group_succeeds(items);
		started = true;
		if (!take_command(drive, items))
			return false;
	}
	return true;
}

// Sends the report, reads the whole drive and ends the command.  False
// when any of it fails.
static bool
run_drive(connection& conn, const std::string& report, drive_state& drive)
{
	svn_session& session = svn_state(conn);
	drive_stream s{conn, std::string(session.carried.begin(), session.carried.end())};
	svn_items items{nullptr, nullptr};

	session.carried.clear();
	send_command(conn, report.c_str());
	if (!read_drive(s, drive)) {
		// The server waits for the abort to be answered before it says
		// why it aborted.
		if (drive.aborted) {
			send_command(conn, "( success ( ) )\n");
			if (next_group(s, items))
				group_succeeds(items);
		}
		return drive.aborted ? stream_fails("the server aborted the edit") : false;
	}
	send_command(conn, "( success ( ) )\n");
	if (!next_group(s, items) || !group_succeeds(items))
		return false;
	if (!drive.files.empty())
		return stream_fails("the edit closed with a file still open");
	return true;
}

bool
stream_tree_svn(connection& conn, catalogue& cat, path_sets& sets, const file_taker& take)
{
	drive_state drive{.conn = conn, .cat = &cat, .sets = &sets, .take = &take, .wanted = nullptr, .delta = nullptr};

	return run_drive(conn, update_command(conn, true) + finish_report, drive);
}

bool
stream_texts_svn(connection& conn, catalogue& cat, const std::vector<int32_t>& files, const file_taker& take)
{
	std::map<std::string, int32_t> wanted;
	for (int32_t index : files)
		wanted[cat.file[index].path] = index;
	// The server walks the report with the tree, depth first: what lies
	// below a directory must come together, as it does in sorted order.
	std::string report = update_command(conn, false);
	for (const auto& [path, index] : wanted)
		report += delete_path(path);
	report += finish_report;
	drive_state drive{.conn = conn, .cat = &cat, .sets = nullptr, .take = &take, .wanted = &wanted, .delta = nullptr};
	if (!run_drive(conn, report, drive))
		return false;
	if (!wanted.empty())
		return stream_fails("the edit closed without every file asked for");
	return true;
}

// The update command and its report: the branch at from, less the paths
// missing, in sorted order as the server walks them (see stream_texts_svn).
static std::string
delta_report(const connection& conn, int32_t from, const std::vector<std::string>& missing)
{
	std::vector<std::string> sorted(missing);
	std::sort(sorted.begin(), sorted.end());
	std::string report = "( update ( ( " + std::to_string(conn.revision) + " ) 0: true infinity false false ) )\n" +
	    set_branch(from, false);
	for (const std::string& path : sorted)
		report += delete_path(path);
	return report + finish_report;
}

// The texts come with the drive, as deltas against the local copies; the
// few that cannot be had so are fetched afterwards.
bool
read_delta_svn(connection& conn, int32_t from, const std::vector<std::string>& missing, tree_delta& delta)
{
	delta = tree_delta();
	drive_state drive{.conn = conn, .cat = nullptr, .sets = nullptr, .take = nullptr, .wanted = nullptr, .delta = &delta};
	return run_drive(conn, delta_report(conn, from, missing), drive);
}

bool
list_branch_svn(connection& conn, catalogue& cat, path_sets& sets)
{
	drive_state drive{.conn = conn, .cat = &cat, .sets = &sets, .take = nullptr, .wanted = nullptr, .delta = nullptr};
	std::string report = "( status ( 0: true ( " + std::to_string(conn.revision) + " ) infinity ) )\n" +
	    set_branch(conn.revision, true) + finish_report;

	complete_local_scan(sets);
	return run_drive(conn, report, drive);
}
