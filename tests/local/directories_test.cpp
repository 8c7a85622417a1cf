// The directories of the branch under the target, and the way made when a
// file and a directory of the same name change places between revisions.

#include "local/local.h"

#include "test_support.h"

#include <functional>
#include <string>
#include <utility>

namespace {

const std::string data_md5 = md5_hex("data", 4);
const std::string edited_md5 = md5_hex("edited", 6);

class BranchDirectories : public testing::Test {
protected:
	BranchDirectories()
	{
		target = folder.path + "/target";
		mkdir(target.c_str(), 0755);
		conn.path_target = target;
		conn.verbosity = 1;
	}

	// A file the last run wrote: on disk and in the known-files list.
	void
	written_file(const std::string& relative)
	{
		write_text(target + relative, "data");
		sets.known_set.emplace(relative, data_md5);
	}

	bool
	is_directory(const std::string& relative)
	{
		struct stat status;
		return lstat((target + relative).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
	}

	// Runs step and returns what it wrote to standard output and standard
	// error, with " T" in place of each mention of the target.
	std::pair<std::string, std::string>
	captured(const std::function<void()>& step)
	{
		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		step();
		std::string err = testing::internal::GetCapturedStderr();
		return {with_t(testing::internal::GetCapturedStdout()), with_t(err)};
	}

	std::string
	with_t(std::string text)
	{
		for (size_t at; (at = text.find(target)) != std::string::npos;)
			text.replace(at, target.size(), "T");
		return text;
	}

	temporary_folder folder;
	std::string target;
	settings conn;
	path_sets sets;
};

// Over svn a new directory is reported with " + ", over WebDAV not; an
// existing one is left as it is.
TEST_F(BranchDirectories, NewDirectoriesAreAnnouncedOnlyWhenAsked)
{
	sets.local_dir_set = {target + "/old", target + "/kept"};
	mkdir((target + "/old").c_str(), 0755);
	auto [out, err] = captured([this] {
		make_branch_directory(conn, sets, "/svn", true);
		make_branch_directory(conn, sets, "/dav", false);
		make_branch_directory(conn, sets, "/old", true);
	});
	EXPECT_EQ(out, " + T/svn\n");
	EXPECT_EQ(err, "");
	EXPECT_TRUE(is_directory("/svn") && is_directory("/dav"));
	EXPECT_EQ(sets.local_dir_set, path_set{target + "/kept"});
}

// A file or link that the last run wrote gives way to the directory and is
// forgotten, so that the clean-up never takes the new directory for it.
TEST_F(BranchDirectories, WrittenFileOrLinkGivesWayToADirectory)
{
	written_file("/x");
	symlink("x", (target + "/l").c_str());
	sets.known_set.emplace("/l", md5_hex("link x", 6));
	sets.local_file_set = {"/x", "/l"};
	auto [out, err] = captured([this] {
		make_branch_directory(conn, sets, "/x", true);
		make_branch_directory(conn, sets, "/l", false);
	});
	EXPECT_EQ(out, " - T/x\n + T/x\n - T/l\n");
	EXPECT_TRUE(is_directory("/x") && is_directory("/l"));
	EXPECT_TRUE(sets.known_set.empty());
	EXPECT_TRUE(sets.local_file_set.empty());
}

TEST_F(BranchDirectories, WhatTheAdministratorMadeOrChangedStays)
{
	const std::pair<const char*, std::function<void()>> cases[] = {
		{"an edited file", [this] { written_file("/x"); write_text(target + "/x", "edited"); }},
		{"a file never written", [this] { write_text(target + "/x", "data"); }},
		{"a pipe", [this] { mkfifo((target + "/x").c_str(), 0644); sets.known_set.emplace("/x", data_md5); }},
	};
	for (const auto& [name, prepare] : cases) {
		prepare();
		EXPECT_EXIT(make_branch_directory(conn, sets, "/x", true), testing::ExitedWithCode(1),
		    errx_text(target + "/x exists locally and is not a directory.  Please remove it manually and restart trelk"))
		    << name;
		EXPECT_FALSE(is_directory("/x")) << name;
		unlink((target + "/x").c_str());
		sets.known_set.clear();
	}
}

// A directory that holds only what the last run wrote, and directories,
// gives way to a file: files reported with " - ", directories with " = ".
TEST_F(BranchDirectories, DirectoryOfWrittenFilesGivesWayToAFile)
{
	mkdir((target + "/z").c_str(), 0755);
	mkdir((target + "/z/sub").c_str(), 0755);
	mkdir((target + "/z/sub/empty").c_str(), 0755);
	written_file("/z/a");
	written_file("/z/sub/b");
	sets.local_dir_set = {target + "/z", target + "/z/sub", target + "/z/sub/empty", target + "/other"};
	sets.local_file_set = {"/z/a", "/z/sub/b"};
	auto [out, err] = captured([this] { clear_directory_for_file(conn, sets, "/z"); });
	EXPECT_FALSE(exists_no_follow(target + "/z"));
	EXPECT_EQ(out, " - T/z/a\n - T/z/sub/b\n");
	EXPECT_EQ(err, " = T/z/sub/empty\n = T/z/sub\n = T/z\n");
	EXPECT_EQ(sets.local_dir_set, path_set{target + "/other"});
	EXPECT_TRUE(sets.known_set.empty());
	EXPECT_TRUE(sets.local_file_set.empty());
}

// Anything else in it stops the run, naming it, with nothing removed.
TEST_F(BranchDirectories, DirectoryHoldingForeignEntriesStays)
{
	mkdir((target + "/z").c_str(), 0755);
	written_file("/z/a");
	sets.local_dir_set = {target + "/z"};
	const std::pair<const char*, std::function<void()>> cases[] = {
		{"a file of its own", [this] { write_text(target + "/z/mine", "mine"); }},
		{"an edited file", [this] { write_text(target + "/z/mine", "edited"); sets.known_set.emplace("/z/mine", data_md5); }},
		{"a pipe", [this] { mkfifo((target + "/z/mine").c_str(), 0644); }},
	};
	for (const auto& [name, prepare] : cases) {
		prepare();
		EXPECT_EXIT(clear_directory_for_file(conn, sets, "/z"), testing::ExitedWithCode(1),
		    errx_text(target + "/z exists locally and is a directory holding " + target +
			"/z/mine, which trelk did not write.  Please remove it manually and restart trelk"))
		    << name;
		EXPECT_EQ(read_text(target + "/z/a"), "data") << name;
		unlink((target + "/z/mine").c_str());
		sets.known_set.erase("/z/mine");
	}
}

// Only a directory that the scan found is looked at.
TEST_F(BranchDirectories, OnlyScannedDirectoriesAreCleared)
{
	mkdir((target + "/z").c_str(), 0755);
	written_file("/z/a");
	clear_directory_for_file(conn, sets, "/z");
	EXPECT_TRUE(exists_no_follow(target + "/z/a"));
}

}	// namespace
