// The check of local copies against the state of the tree: what is left as
// it was is trusted without being opened, what changed is read, and what
// no longer holds the repository's content or form must come whole.

#include "local/local.h"

#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

const std::string expansion = ": head/bin/ls/ls.c 12345 2024-05-01 10:00:00Z alice ";

enum class kind { regular, executable, link, keyword };

std::string
content_of(kind what)
{
	switch (what) {
	case kind::link:
		return "link libfoo.so.1";
	case kind::keyword:
		return "/* $FreeBSD$ */\nint x;\n";
	default:
		return "int main() { return 0; }\n";
	}
}

void
wait_out_the_tick()
{
	std::this_thread::sleep_for(std::chrono::milliseconds(1200));
}

void
set_modified(const std::string& path, const struct timespec& modified)
{
	struct timespec times[2] = {{0, UTIME_OMIT}, modified};
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Changes the first byte in place and puts the times back, as touch -r
// does: only the change time tells.
void
edit_keeping_times(const std::string& path)
{
	struct stat status;
	ASSERT_EQ(lstat(path.c_str(), &status), 0);
	int fd = open(path.c_str(), O_WRONLY);
	ASSERT_NE(fd, -1);
	ASSERT_EQ(pwrite(fd, "X", 1, 0), 1);
	close(fd);
	struct timespec times[2] = {status.st_atim, status.st_mtim};
	ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class LocalCheck : public testing::Test {
protected:
	LocalCheck() : target(folder.path + "/target")
	{
		mkdir(target.c_str(), 0755);
		conn.verbosity = 0;
	}

	// Writes a file as a run does and enters it into the state; its status
	// is taken by record_all.
	void
	add(const std::string& path, kind what)
	{
		std::filesystem::create_directories(target + path.substr(0, path.rfind('/')));
		file_node node;
		node.executable = what == kind::executable;
		node.special = what == kind::link;
		node.expansion = what == kind::keyword ? expansion : "";
		std::string content = content_of(what);
		write_file(conn, node, target + path, content.data(), static_cast<int64_t>(content.size()));
		state.files[path] = {md5_hex(content.data(), content.size()), node.executable != 0, node.special != 0,
		    what == kind::keyword, node.expansion, {}, false};
	}

	void
	record_all()
	{
		for (auto& [path, entry] : state.files)
			ASSERT_TRUE(record_local_status(entry, target + path)) << path;
	}

	// The state as the next run finds it on disk.
	tree_state
	reloaded()
	{
		std::string path = folder.path + "/stable.state";
		save_tree_state(path, state);
		install_tree_state(path);
		std::optional<tree_state> loaded = load_tree_state(path);
		EXPECT_TRUE(loaded.has_value());
		return loaded.value_or(tree_state{});
	}

	temporary_folder folder;
	std::string target;
	settings conn;
	tree_state state;
};

// With nothing changed since the state was written, every file is trusted
// and none is opened or its link read.
TEST_F(LocalCheck, NothingChangedIsTrustedUnopened)
{
	add("/Makefile", kind::regular);
	add("/bin/sh", kind::executable);
	add("/lib/libfoo.so", kind::link);
	add("/bin/ls/ls.c", kind::keyword);
	add("/deep/a/b/c/file", kind::regular);
	wait_out_the_tick();
	record_all();
	tree_state loaded = reloaded();

	uint64_t read_before = local_files_read();
	local_check found = check_local_copies(target, loaded);
	EXPECT_EQ(found.trusted, 5u);
	EXPECT_EQ(found.refreshed, std::vector<std::string>{});
	EXPECT_EQ(found.drifted, std::vector<std::string>{});
	EXPECT_EQ(local_files_read(), read_before);
}

struct change_case {
	const char* path;
	kind what;
	std::function<void(const std::string& local)> change;	// null: left alone
	// "trusted", "refreshed", "drifted after reading" or "drifted unread":
	// only a copy whose status changed and whose form is right is read.
	const char* expected;
};

// Each kind of change sorted into trusted, refreshed (read, content and
// form right, status taken anew) or drifted (forgotten, to come whole),
// with no copy read that its status and form already judge.
TEST_F(LocalCheck, ChangesAreSorted)
{
	const std::string outside = folder.path;
	const change_case cases[] = {
		{"/unchanged", kind::regular, nullptr, "trusted"},
		{"/touched", kind::regular, [](const std::string& local) { set_modified(local, {1000000000, 0}); }, "refreshed"},
		{"/touched-keyword", kind::keyword, [](const std::string& local) { set_modified(local, {1000000000, 0}); },
		    "refreshed"},
		{"/same-mode-again", kind::regular, [](const std::string& local) { chmod(local.c_str(), 0644); }, "refreshed"},
		{"/rewritten-same", kind::regular, [&](const std::string& local) {
			write_text(outside + "/same", content_of(kind::regular));
			chmod((outside + "/same").c_str(), 0644);
			rename((outside + "/same").c_str(), local.c_str());
		}, "refreshed"},
		{"/link-remade", kind::link, [](const std::string& local) {
			unlink(local.c_str());
			symlink("libfoo.so.1", local.c_str());
		}, "refreshed"},
		{"/edited-times-back", kind::regular, edit_keeping_times, "drifted after reading"},
		{"/edited-keyword-times-back", kind::keyword, edit_keeping_times, "drifted after reading"},
		{"/edited", kind::regular, [](const std::string& local) { write_text(local, "int main() { return 1; }\n"); },
		    "drifted after reading"},
		{"/mode-changed", kind::regular, [](const std::string& local) { chmod(local.c_str(), 0600); }, "drifted unread"},
		{"/lost-executable", kind::executable, [](const std::string& local) { chmod(local.c_str(), 0644); },
		    "drifted unread"},
		{"/removed", kind::regular, [](const std::string& local) { unlink(local.c_str()); }, "drifted unread"},
		{"/replaced-by-link", kind::regular, [&](const std::string& local) {
			write_text(outside + "/copy", content_of(kind::regular));
			chmod((outside + "/copy").c_str(), 0644);
			unlink(local.c_str());
			symlink((outside + "/copy").c_str(), local.c_str());
		}, "drifted unread"},
		{"/link-made-file", kind::link, [](const std::string& local) {
			unlink(local.c_str());
			write_text(local, content_of(kind::link));
			chmod(local.c_str(), 0644);
		}, "drifted unread"},
		{"/link-elsewhere", kind::link, [](const std::string& local) {
			unlink(local.c_str());
			symlink("libbar.so.1", local.c_str());
		}, "drifted after reading"},
		{"/gone/a", kind::regular, [](const std::string& local) {
			std::filesystem::remove_all(local.substr(0, local.rfind('/')));
		}, "drifted unread"},
		{"/gone/b/c", kind::regular, nullptr, "drifted unread"},
		// The files keep their status, but are no longer below the target.
		{"/moved/a", kind::regular, [&](const std::string& local) {
			std::string directory = local.substr(0, local.rfind('/'));
			rename(directory.c_str(), (outside + "/moved").c_str());
			symlink((outside + "/moved").c_str(), directory.c_str());
		}, "drifted unread"},
		{"/moved/b/c", kind::link, nullptr, "drifted unread"},
		{"/flat/a", kind::regular, [](const std::string& local) {
			std::string directory = local.substr(0, local.rfind('/'));
			std::filesystem::remove_all(directory);
			write_text(directory, "");
		}, "drifted unread"},
	};
	for (const change_case& test : cases)
		add(test.path, test.what);
	wait_out_the_tick();
	record_all();
	tree_state loaded = reloaded();
	for (const change_case& test : cases)
		if (test.change)
			test.change(target + test.path);

	uint64_t read_before = local_files_read();
	local_check found = check_local_copies(target, loaded);
	std::vector<std::string> refreshed, drifted;
	uint64_t read = 0;
	for (const change_case& test : cases) {
		std::string expected = test.expected;
		if (expected == "refreshed")
			refreshed.push_back(test.path);
		else if (expected.starts_with("drifted"))
			drifted.push_back(test.path);
		read += expected == "refreshed" || expected == "drifted after reading";
	}
	std::sort(refreshed.begin(), refreshed.end());
	std::sort(drifted.begin(), drifted.end());
	EXPECT_EQ(found.refreshed, refreshed);
	EXPECT_EQ(found.drifted, drifted);
	EXPECT_EQ(found.trusted, std::size(cases) - refreshed.size() - drifted.size());
	EXPECT_EQ(local_files_read() - read_before, read);

	for (const std::string& path : refreshed) {
		struct stat status;
		ASSERT_EQ(lstat((target + path).c_str(), &status), 0);
		const state_entry& entry = loaded.files[path];
		EXPECT_EQ(entry.status.inode, status.st_ino) << path;
		EXPECT_EQ(entry.status.changed.tv_sec, status.st_ctim.tv_sec) << path;
		EXPECT_EQ(entry.status.changed.tv_nsec, status.st_ctim.tv_nsec) << path;
		EXPECT_EQ(entry.status.modified.tv_sec, status.st_mtim.tv_sec) << path;
	}
	for (const std::string& path : drifted)
		EXPECT_TRUE(loaded.files[path].hash_next && loaded.files[path].status.inode == 0) << path;
}

// A file written within the tick of the state is read next time; the mark,
// not its status, decides: with the mark an unchanged status is no proof.
TEST_F(LocalCheck, RecentFilesAreReadNextTime)
{
	add("/fresh", kind::regular);
	record_all();
	tree_state loaded = reloaded();
	ASSERT_TRUE(loaded.files["/fresh"].hash_next);
	uint64_t read_before = local_files_read();
	local_check found = check_local_copies(target, loaded);
	EXPECT_EQ(found.refreshed, std::vector<std::string>{"/fresh"});
	EXPECT_EQ(local_files_read(), read_before + 1);

	// As if the content had changed within the tick, its times kept.
	wait_out_the_tick();
	record_all();
	state.files["/fresh"].md5 = md5_hex("other", 5);
	loaded = reloaded();
	ASSERT_FALSE(loaded.files["/fresh"].hash_next);
	found = check_local_copies(target, loaded);
	EXPECT_EQ(found.trusted, 1u);
	loaded.files["/fresh"].hash_next = true;
	found = check_local_copies(target, loaded);
	EXPECT_EQ(found.drifted, std::vector<std::string>{"/fresh"});
}

}	// namespace
