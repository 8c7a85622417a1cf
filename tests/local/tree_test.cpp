// The two directories of a run, the scan of the target, and the clean-up on
// real trees with links, empty and non-empty leftover directories.

#include "local/local.h"

#include "test_support.h"

#include <sys/wait.h>

namespace {

class LocalTree : public testing::Test {
protected:
	LocalTree()
	{
		target = folder.path + "/target";
		outside = folder.path + "/outside";
		mkdir(target.c_str(), 0755);
		mkdir(outside.c_str(), 0755);
		conn.path_target = target;
	}

	void
	make_dir(const std::string& relative)
	{
		mkdir((target + relative).c_str(), 0755);
	}
	void
	make_file(const std::string& relative)
	{
		write_text(target + relative, "data");
	}
	void
	make_link(const std::string& to, const std::string& relative)
	{
		symlink(to.c_str(), (target + relative).c_str());
	}
	bool
	present(const std::string& relative)
	{
		return exists_no_follow(target + relative);
	}

	// Runs the clean-up and returns what it wrote to standard output and
	// standard error.
	std::pair<std::string, std::string>
	clean(path_sets& sets)
	{
		testing::internal::CaptureStdout();
		testing::internal::CaptureStderr();
		clean_local_tree(conn, sets);
		std::string err = testing::internal::GetCapturedStderr();
		return {testing::internal::GetCapturedStdout(), err};
	}

	// The text with the target's path in place of each " T/".
	std::string
	with_target(std::string text)
	{
		for (size_t at; (at = text.find(" T/")) != std::string::npos;)
			text.replace(at + 1, 1, target);
		return text;
	}

	temporary_folder folder;
	std::string target, outside;
	settings conn;
};

TEST_F(LocalTree, EnsureDirectory)
{
	std::string made = folder.path + "/made";
	ensure_directory(made);
	EXPECT_EQ(permissions_of(made), 0755u);
	ensure_directory(made);

	std::string link = folder.path + "/link";
	symlink(outside.c_str(), link.c_str());
	ensure_directory(link);
	struct stat status;
	EXPECT_EQ(lstat(link.c_str(), &status), 0);
	EXPECT_TRUE(S_ISLNK(status.st_mode));

	std::string orphan = folder.path + "/no/such";
	EXPECT_EXIT(ensure_directory(orphan), testing::ExitedWithCode(1), err_text("Cannot create " + orphan));
}

// Whatever stands where the directory should be and is none stays as it
// is: a file, a link to a file, a link that points nowhere.
TEST_F(LocalTree, EnsureDirectoryNeverRemovesANonDirectory)
{
	std::string file = folder.path + "/file";
	write_text(file, "precious");
	std::string to_file = folder.path + "/to-file";
	symlink(file.c_str(), to_file.c_str());
	std::string dangling = folder.path + "/dangling";
	symlink((folder.path + "/nothing").c_str(), dangling.c_str());
	for (const std::string& path : {file, to_file, dangling}) {
		EXPECT_EXIT(ensure_directory(path), testing::ExitedWithCode(1),
		    errx_text(path + " exists and is not a directory.  Please remove it manually and restart trelk"))
		    << path;
		EXPECT_TRUE(exists_no_follow(path)) << path;
	}
	EXPECT_EQ(read_text(file), "precious");
	EXPECT_EQ(read_text(to_file), "precious");
	struct stat status;
	EXPECT_EQ(lstat(dangling.c_str(), &status), 0);
	EXPECT_TRUE(S_ISLNK(status.st_mode));
}

// Runs that start together all find the directory missing and all try to
// create it: the ones that lose the race succeed too.
TEST_F(LocalTree, EnsureDirectoryRacingRunsAllSucceed)
{
	const int rounds = 40, runs = 6;
	int failed = 0;
	for (int round = 0; round < rounds; round++) {
		std::string path = folder.path + "/race-" + std::to_string(round);
		int start[2];
		ASSERT_EQ(pipe(start), 0);
		std::vector<pid_t> children;
		for (int i = 0; i < runs; i++) {
			pid_t child = fork();
			if (child == 0) {
				char go;
				close(start[1]);
				// Every run waits here until all are ready.
				(void)!read(start[0], &go, 1);
				freopen("/dev/null", "w", stderr);
				ensure_directory(path);
				_exit(0);
			}
			children.push_back(child);
		}
		close(start[0]);
		close(start[1]);
		for (pid_t child : children) {
			int status = 0;
			waitpid(child, &status, 0);
			if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
				failed++;
		}
	}
	EXPECT_EQ(failed, 0);
}

TEST_F(LocalTree, ScanNeverFollowsLinks)
{
	make_dir("/d");
	make_dir("/d/e");
	make_file("/d/f");
	make_link(outside, "/dirlink");
	make_link("d/f", "/filelink");
	write_text(outside + "/hidden", "x");

	path_sets files;
	find_local_files_and_directories(target, "", true, files);
	EXPECT_EQ(files.local_dir_set, (path_set{target + "/d", target + "/d/e"}));
	EXPECT_EQ(files.local_file_set, (path_set{"/d/f", "/dirlink", "/filelink"}));

	path_sets dirs;
	find_local_files_and_directories(target, "", false, dirs);
	EXPECT_EQ(dirs.local_dir_set, files.local_dir_set);
	EXPECT_TRUE(dirs.local_file_set.empty());
}

TEST_F(LocalTree, ScanOfALinkedTargetRecordsNothing)
{
	std::string linked = folder.path + "/linked";
	symlink(target.c_str(), linked.c_str());
	make_file("/f");
	path_sets sets;
	find_local_files_and_directories(linked, "", true, sets);
	EXPECT_TRUE(sets.local_file_set.empty());
	EXPECT_TRUE(sets.local_dir_set.empty());
}

struct clean_case {
	const char* name;
	int32_t trim_tree, extra_files;
	const char* trimmed_out;	// " - " lines of the trimmed files
	const char* listed_err;		// " * " lines
	bool extras_stay;
};

// One tree for every mix of -t and -f: leftovers of the old list (present,
// missing, links to a file, to a directory, dangling, the only file of a
// directory), untracked files, and empty and non-empty leftover directories.
TEST_F(LocalTree, CleanUp)
{
	const clean_case cases[] = {
		{"neither", 0, 0, "", "", true},
		{"extra files", 0, 1, "",
		    " * T/.svnversion\n * T/extra.txt\n * T/full/untracked.txt\n", true},
		{"trim", 1, 0, " - T/extra.txt\n - T/full/untracked.txt\n", "", false},
		{"trim and extra files", 1, 1, " - T/extra.txt\n - T/full/untracked.txt\n", "", false},
	};
	for (const clean_case& test : cases) {
		SCOPED_TRACE(test.name);
		std::filesystem::remove_all(target);
		mkdir(target.c_str(), 0755);
		write_text(outside + "/file", "outside");
		make_file("/.svnversion");
		make_file("/keep.c");
		make_file("/gone.c");
		make_file("/extra.txt");
		make_dir("/full");
		make_file("/full/untracked.txt");
		make_dir("/onlydir");
		make_file("/onlydir/only.c");
		make_dir("/x");
		make_dir("/x/y");
		make_link(outside + "/file", "/lnkfile");
		make_link(outside, "/lnkdir");
		make_link(outside + "/none", "/dangling");

		conn.trim_tree = test.trim_tree;
		conn.extra_files = test.extra_files;
		path_sets sets;
		find_local_files_and_directories(target, "", test.trim_tree || test.extra_files, sets);
		// What the listing and the new list take out: the repository
		// holds /keep.c, /full and /onlydir.
		sets.local_dir_set.erase(target + "/full");
		sets.local_dir_set.erase(target + "/onlydir");
		sets.local_file_set.erase("/keep.c");
		for (const char* path : {"/gone.c", "/missing.c", "/lnkfile", "/lnkdir", "/dangling", "/onlydir/only.c"})
			sets.known_set.emplace(path, "");

		auto [out, err] = clean(sets);
		EXPECT_EQ(out, with_target(std::string(" - T/dangling\n - T/gone.c\n - T/lnkdir\n - T/lnkfile\n - T/onlydir/only.c\n") + test.trimmed_out));
		EXPECT_EQ(err, with_target(std::string(test.listed_err) + " = T/x/y\n = T/x\n"));
		EXPECT_TRUE(sets.known_set.empty() && sets.local_file_set.empty() && sets.local_dir_set.empty());

		for (const char* path : {"/.svnversion", "/keep.c"})
			EXPECT_TRUE(present(path)) << path;
		// Leftover links go whatever they point to; their targets stay.
		for (const char* path : {"/gone.c", "/lnkfile", "/lnkdir", "/dangling", "/onlydir", "/x"})
			EXPECT_FALSE(present(path)) << path;
		EXPECT_TRUE(std::filesystem::is_directory(outside));
		EXPECT_EQ(present("/extra.txt"), test.extras_stay);
		EXPECT_EQ(present("/full"), test.extras_stay);
		EXPECT_EQ(read_text(outside + "/file"), "outside");
	}
}

TEST_F(LocalTree, OutputByVerbosity)
{
	const std::tuple<int32_t, std::string, std::string> cases[] = {
		{0, "", " = T/x\n"},
		{2, " - T/gone\n\r\x1b[0K\r", "\r\x1b[0K\r\x1b[0K\r = T/x\n"},
	};
	for (const auto& [verbosity, out, err] : cases) {
		make_file("/gone");
		make_dir("/x");
		conn.verbosity = verbosity;
		path_sets sets;
		sets.known_set.emplace("/gone", "");
		sets.local_dir_set.insert(target + "/x");
		auto [actual_out, actual_err] = clean(sets);
		EXPECT_EQ(actual_out, with_target(out)) << verbosity;
		EXPECT_EQ(actual_err, with_target(err)) << verbosity;
		EXPECT_FALSE(present("/gone"));
	}
}

TEST_F(LocalTree, StampIsNeverTrimmedNorPruned)
{
	make_file("/.svnversion");
	make_file("/.svnversion.old");
	conn.trim_tree = 1;
	path_sets sets;
	sets.known_set.emplace("/.svnversion", "");
	sets.local_file_set = {"/.svnversion.old"};
	auto [out, err] = clean(sets);
	EXPECT_EQ(out, "");
	EXPECT_TRUE(present("/.svnversion"));
	EXPECT_TRUE(present("/.svnversion.old"));
}

TEST_F(LocalTree, PruneNeverActsThroughALinkedParent)
{
	write_text(outside + "/passwd", "root");
	mkdir((outside + "/sub").c_str(), 0755);
	mkdir((outside + "/deep").c_str(), 0755);
	write_text(outside + "/deep/file", "x");
	make_link(outside, "/lnk");
	make_dir("/a");
	make_link(outside, "/a/b");

	conn.trim_tree = 1;
	path_sets sets;
	sets.known_set.emplace("/lnk/passwd", "");
	sets.known_set.emplace("/a/b/deep/file", "");
	sets.local_file_set = {"/lnk/deep/file"};
	sets.local_dir_set = {target + "/lnk/sub", target + "/a/b/sub"};
	auto [out, err] = clean(sets);
	EXPECT_EQ(out, "");
	EXPECT_EQ(err, "");
	EXPECT_EQ(read_text(outside + "/passwd"), "root");
	EXPECT_EQ(read_text(outside + "/deep/file"), "x");
	EXPECT_TRUE(exists_no_follow(outside + "/sub"));
}

TEST_F(LocalTree, PruneNeverRemovesTheTarget)
{
	make_file("/only");
	conn.verbosity = 0;
	prune(conn, "/only");
	EXPECT_FALSE(present("/only"));
	EXPECT_TRUE(exists_no_follow(target));
	prune(conn, "");
	prune(conn, "/");
	EXPECT_TRUE(exists_no_follow(target));
}

TEST_F(LocalTree, PruneRemovesAnEmptiedParentOneLevel)
{
	make_dir("/a");
	make_dir("/a/b");
	make_file("/a/b/f");
	testing::internal::CaptureStdout();
	prune(conn, "/a/b/f");
	EXPECT_EQ(testing::internal::GetCapturedStdout(), " - " + target + "/a/b/f\n");
	EXPECT_FALSE(present("/a/b"));
	EXPECT_TRUE(present("/a"));
}

}	// namespace
