// The known-files list: its exact bytes, reading it back, damaged lines,
// -n, the revision stamp and the install.

#include "local/local.h"
#include "run/run.h"

#include "test_support.h"

namespace {

const std::string md5_a = "0123456789abcdef0123456789abcdef";
const std::string md5_b = "fedcba9876543210fedcba9876543210";

class KnownFiles : public testing::Test {
protected:
	KnownFiles()
	{
		conn.path_work = folder.path;
		conn.path_target = folder.path + "/target";
		mkdir(conn.path_target->c_str(), 0755);
		make_list_paths(conn, "stable");
	}

	// Reads a list with the given text into a fresh set.
	known_path_set
	read_list(const std::string& text)
	{
		write_text(conn.known_files_old, text);
		known_path_set known;
		load_known_files(conn, known);
		return known;
	}

	temporary_folder folder;
	settings conn;
};

TEST_F(KnownFiles, SavedListIsExactAndReadsBack)
{
	catalogue cat;
	const std::pair<std::string, std::string> files[] = {{md5_a, "/Makefile"}, {md5_b, "/bin/ls/ls.c"}};
	for (const auto& [md5, path] : files) {
		file_node& node = new_file_node(cat);
		md5.copy(node.md5, 32);
		node.path = path;
	}
	path_sets sets;
	sets.known_set = {{"/Makefile", md5_b}, {"/gone", md5_a}};
	sets.local_file_set = {"/bin/ls/ls.c", "/extra"};
	conn.revision = 12345;

	save_known_files(conn, cat, sets);
	std::string expected = "12345\r\n" + md5_a + "\t/Makefile\n" + md5_b + "\t/bin/ls/ls.c\n";
	EXPECT_EQ(read_text(conn.known_files_new), expected);
	EXPECT_EQ(permissions_of(conn.known_files_new), 0644u);
	EXPECT_EQ(sets.known_set.size(), 1u);
	EXPECT_TRUE(sets.known_set.contains("/gone"));
	EXPECT_EQ(sets.local_file_set, path_set{"/extra"});
	EXPECT_EQ(cat.count(), 0);

	install_known_files(conn);
	EXPECT_FALSE(exists_no_follow(conn.known_files_new));
	known_path_set known;
	load_known_files(conn, known);
	EXPECT_EQ(known, (known_path_set{{"/Makefile", md5_a}, {"/bin/ls/ls.c", md5_b}}));
}

TEST_F(KnownFiles, EmptyCatalogueWritesTheRevisionOnly)
{
	catalogue cat;
	path_sets sets;
	conn.revision = 7;
	save_known_files(conn, cat, sets);
	write_revision_stamp(conn);
	EXPECT_EQ(read_text(conn.known_files_new), "7\r\n");
	EXPECT_EQ(read_text(*conn.path_target + "/.svnversion"), "7\r\n");
}

struct list_case {
	const char* name;
	std::string text;
	known_path_set expected;
};

TEST_F(KnownFiles, DamagedAndUnsafeLinesAreSkipped)
{
	const list_case cases[] = {
		{"no list content", "", {}},
		{"revision line only", "12345\r\n", {}},
		{"no CR LF: all file lines", md5_a + "\t/a\n", {{"/a", md5_a}}},
		{"first of two equal paths wins", "1\r\n" + md5_a + "\t/a\n" + md5_b + "\t/a\n", {{"/a", md5_a}}},
		{"last line without LF", "1\r\n" + md5_a + "\t/a\n" + md5_b + "\t/b", {{"/a", md5_a}}},
		{"short tail without LF", "1\r\n" + md5_a + "\t/a\nab", {{"/a", md5_a}}},
		{"line without TAB", "1\r\n" + md5_a + " /x\n" + md5_b + "\t/b\n", {{"/b", md5_b}}},
		{"MD5 of 31", "1\r\n" + md5_a.substr(1) + "\t/x\n", {}},
		{"MD5 of 33", "1\r\n" + md5_a + "0\t/x\n", {}},
		{"empty line", "1\r\n\n" + md5_b + "\t/b\n", {{"/b", md5_b}}},
		{"path with ..", "1\r\n" + md5_a + "\t/a/../../etc/passwd\n", {}},
		{"path with .", "1\r\n" + md5_a + "\t/./a\n", {}},
		{"relative path", "1\r\n" + md5_a + "\tetc/passwd\n", {}},
		{"empty component", "1\r\n" + md5_a + "\t/a//b\n", {}},
		{"trailing slash", "1\r\n" + md5_a + "\t/a/\n", {}},
		{"empty path", "1\r\n" + md5_a + "\t\n", {}},
		{"control character", "1\r\n" + md5_a + "\t/a\rb\n", {}},
		{"path with a TAB kept whole", "1\r\n" + md5_a + "\t/a\tb\n", {}},
		{"clean path with dots inside", "1\r\n" + md5_a + "\t/a/..b/.c\n", {{"/a/..b/.c", md5_a}}},
	};
	for (const list_case& test : cases)
		EXPECT_EQ(read_list(test.text), test.expected) << test.name;
}

TEST_F(KnownFiles, MissingListReadsNothing)
{
	conn.show_revision = true;
	known_path_set known;
	load_known_files(conn, known);
	EXPECT_TRUE(known.empty());
}

TEST_F(KnownFiles, ShowRevisionPrintsAndEndsTheRun)
{
	conn.show_revision = true;
	write_text(conn.known_files_old, "12345\r\n" + md5_a + "\t/a\n");
	std::string output = folder.path + "/stdout";
	known_path_set known;
	EXPECT_EXIT({
		freopen(output.c_str(), "w", stdout);
		load_known_files(conn, known);
	}, testing::ExitedWithCode(0), "^$");
	EXPECT_EQ(read_text(output), "12345\n");
}

TEST_F(KnownFiles, ShowRevisionWithoutRevisionLineGoesOn)
{
	conn.show_revision = true;
	EXPECT_EQ(read_list(md5_a + "\t/a\n"), (known_path_set{{"/a", md5_a}}));
	EXPECT_TRUE(read_list("").empty());
}

// A directory or a FIFO where the list goes is refused at once; reading a
// FIFO would wait for ever (the alarm ends the test if it does).
TEST_F(KnownFiles, ListNotARegularFile)
{
	std::string fifo_work = folder.path + "/fifo-work";
	mkdir(fifo_work.c_str(), 0755);
	settings fifo_conn;
	fifo_conn.path_work = fifo_work;
	make_list_paths(fifo_conn, "stable");
	ASSERT_EQ(mkfifo(fifo_conn.known_files_old.c_str(), 0644), 0);
	mkdir(conn.known_files_old.c_str(), 0755);
	for (settings* tried : {&conn, &fifo_conn}) {
		known_path_set known;
		EXPECT_EXIT({
			alarm(10);
			load_known_files(*tried, known);
		}, testing::ExitedWithCode(1), errx_text("The known-files list " + tried->known_files_old +
		    " is not a regular file.  Please remove it manually and restart trelk")) << tried->known_files_old;
	}
}

// A list that ends before the size its status gives (as files of the
// kernel's sysfs do) is reported as short, without a stale system error.
TEST_F(KnownFiles, ListShorterThanItsSize)
{
	const std::string directory = "/sys/kernel/mm/transparent_hugepage";
	struct stat status;
	if (stat((directory + "/enabled").c_str(), &status) == -1 ||
	    static_cast<size_t>(status.st_size) <= read_text(directory + "/enabled").size())
		GTEST_SKIP() << "no file here reads shorter than its size";
	conn.path_work = directory;
	make_list_paths(conn, "enabled");
	known_path_set known;
	EXPECT_EXIT(load_known_files(conn, known), testing::ExitedWithCode(1),
	    errx_text("read file error (" + directory + "/enabled): it is shorter than expected"));
}

TEST_F(KnownFiles, StampNeverWritesThroughALink)
{
	std::string outside = folder.path + "/outside";
	write_text(outside, "keep");
	std::string stamp = *conn.path_target + "/.svnversion";
	symlink(outside.c_str(), stamp.c_str());
	conn.revision = 42;
	write_revision_stamp(conn);
	EXPECT_EQ(read_text(outside), "keep");
	EXPECT_EQ(read_text(stamp), "42\r\n");
	EXPECT_EQ(permissions_of(stamp), 0644u);
}

// The stamp replaces ".svnversion" by a rename: a second name of the old
// stamp outside the target keeps its content, and what an interrupted run
// left beside it (a link included) is replaced, never written through.
TEST_F(KnownFiles, StampIsRenamedIntoPlace)
{
	std::string stamp = *conn.path_target + "/.svnversion";
	std::string other_name = folder.path + "/other-name";
	write_text(stamp, "1\r\n");
	ASSERT_EQ(link(stamp.c_str(), other_name.c_str()), 0);
	std::string outside = folder.path + "/outside";
	write_text(outside, "keep");
	symlink(outside.c_str(), (stamp + ".new").c_str());
	conn.revision = 42;
	write_revision_stamp(conn);
	EXPECT_EQ(read_text(stamp), "42\r\n");
	EXPECT_EQ(permissions_of(stamp), 0644u);
	EXPECT_EQ(read_text(other_name), "1\r\n");
	EXPECT_EQ(read_text(outside), "keep");
	EXPECT_FALSE(exists_no_follow(stamp + ".new"));
}

// What an earlier run left where the new list is written goes first: a
// second name of a file elsewhere is never written through, a link never
// followed.
TEST_F(KnownFiles, NewListReplacesWhatStandsInItsPlace)
{
	std::string outside = folder.path + "/outside";
	for (bool hard : {true, false}) {
		write_text(outside, "keep");
		unlink(conn.known_files_new.c_str());
		if (hard)
			ASSERT_EQ(link(outside.c_str(), conn.known_files_new.c_str()), 0);
		else
			ASSERT_EQ(symlink(outside.c_str(), conn.known_files_new.c_str()), 0);
		catalogue cat;
		path_sets sets;
		conn.revision = 7;
		save_known_files(conn, cat, sets);
		EXPECT_EQ(read_text(conn.known_files_new), "7\r\n") << hard;
		EXPECT_EQ(read_text(outside), "keep") << hard;
	}
}

TEST_F(KnownFiles, InstallWithoutOldListAndFailedRename)
{
	write_text(conn.known_files_new, "3\r\n");
	install_known_files(conn);
	EXPECT_EQ(read_text(conn.known_files_old), "3\r\n");
	EXPECT_EXIT(install_known_files(conn), testing::ExitedWithCode(1),
	    err_text("Cannot rename " + conn.known_files_old));
}

// The install is one rename: when it fails (here a directory stands where
// the new list should be), the old list is still there as it was.
TEST_F(KnownFiles, FailedInstallKeepsTheOldList)
{
	write_text(conn.known_files_old, "3\r\n");
	mkdir(conn.known_files_new.c_str(), 0755);
	write_text(conn.known_files_new + "/x", "");
	EXPECT_EXIT(install_known_files(conn), testing::ExitedWithCode(1),
	    err_text("Cannot rename " + conn.known_files_old));
	EXPECT_EQ(read_text(conn.known_files_old), "3\r\n");
}

// One holder of a section's lock at a time; the lock goes with its holder.
TEST_F(KnownFiles, SectionLockHasOneHolder)
{
	{
		section_lock first(conn);
		first.require("stable");
		section_lock second(conn);
		EXPECT_EXIT(second.require("stable"), testing::ExitedWithCode(1),
		    errx_text("Another run of section stable holds " + conn.known_files_old + ".lock.  Quitting."));
	}
	section_lock after(conn);
	after.require("stable");
	EXPECT_FALSE(exists_no_follow(conn.known_files_old));
}

TEST_F(KnownFiles, SectionLockThatCannotBeOpened)
{
	conn.path_work = folder.path + "/missing";
	make_list_paths(conn, "stable");
	section_lock lock(conn);
	EXPECT_EXIT(lock.require("stable"), testing::ExitedWithCode(1),
	    err_text("Cannot lock " + conn.known_files_old + ".lock"));
}

}	// namespace
