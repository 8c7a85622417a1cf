// The known-files list: its exact bytes, reading it back, damaged lines,
// -n, the revision stamp and the install.

#include "local/local.h"

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
	connection conn;
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
	EXPECT_EQ(cat.file[0], nullptr);
	EXPECT_EQ(cat.file[1], nullptr);

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

TEST_F(KnownFiles, UnreadableList)
{
	mkdir(conn.known_files_old.c_str(), 0755);
	known_path_set known;
	EXPECT_EXIT(load_known_files(conn, known), testing::ExitedWithCode(1),
	    err_text("read file error (" + conn.known_files_old + ")"));
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

TEST_F(KnownFiles, InstallWithoutOldListAndFailedRename)
{
	write_text(conn.known_files_new, "3\r\n");
	install_known_files(conn);
	EXPECT_EQ(read_text(conn.known_files_old), "3\r\n");
	EXPECT_EXIT(install_known_files(conn), testing::ExitedWithCode(1),
	    err_text("Cannot rename " + conn.known_files_old));
}

}	// namespace
