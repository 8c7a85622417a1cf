#include "svn/svn.h"

#include "canned_server.h"
#include "local/local.h"

#include <sys/stat.h>

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

// A get-dir answer at revision 5; each entry is a name and "file SIZE" or
// "dir".
static std::string
dir_answer(const std::vector<std::pair<std::string, std::string>>& entries)
{
	std::string answer = std::string(svn_auth) + "( success ( 5 ( ) ( ";
	for (auto& [name, kind] : entries)
		answer += "( " + svn_string(name) + " " + (kind == "dir" ? "dir 0" : kind) +
		    " false 3 ( 27:1970-01-01T00:00:00.000000Z ) ( 3:dev ) ) ";
	return answer + ") ) ) ";
}

static std::string
get_dir(const std::string& path)
{
	return "( get-dir ( " + svn_string(path) + " ( 5 ) false true ( kind size ) false ) )\n";
}

struct listing : testing::Test {
	canned_server server;
	temporary_directory target;
	catalogue cat;
	path_sets sets;

	listing()
	{
		server.conn.revision = 5;
		server.conn.path_target = target.path;
	}

	void list_root()
	{
		server.hang_up();
		list_tree_svn(server.conn, root_get_dir_command(server.conn), 1, cat, sets);
	}

	std::vector<std::string> paths() const
	{
		std::vector<std::string> listed;
		for (int32_t i = 0; i < cat.count(); i++)
			listed.push_back(cat.file[i].path);
		return listed;
	}
};

TEST_F(listing, NamesWithParenthesesAndBlanks)
{
	mkdir((target.path + "/c)d").c_str(), 0755);
	sets.local_dir_set.insert(target.path + "/c)d");
	sets.local_dir_set.insert(target.path + "/old");
	server.send(dir_answer({{"a(b", "file 3"}, {"c)d", "dir"}, {"x y", "dir"}}));
	server.send(dir_answer({{"in(", "file 7"}}) + dir_answer({{"deep", "dir"}}));
	server.send(dir_answer({{"f", "file 0"}}));
	server.conn.verbosity = 1;
	testing::internal::CaptureStdout();
	list_root();
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
	    " + " + target.path + "/x y\n + " + target.path + "/x y/deep\n");
	EXPECT_EQ(paths(), (std::vector<std::string>{"/a(b", "/c)d/in(", "/x y/deep/f"}));
	EXPECT_EQ(cat.file[0].size, 3);
	EXPECT_EQ(cat.file[1].size, 7);
	EXPECT_TRUE(std::filesystem::is_directory(target.path + "/x y/deep"));
	EXPECT_EQ(sets.local_dir_set, (path_set{target.path + "/old"}));
	EXPECT_EQ(server.received(), (std::vector<std::string>{
	    root_get_dir_command(server.conn), get_dir("/c)d") + get_dir("/x y"), get_dir("/x y/deep")}));
}

TEST_F(listing, PendingScanRunsBeforeTheListingMakesADirectory)
{
	// The answers are there at once, so no pause ran the scan: the listing
	// runs it before it makes "new", which is then no leftover.
	mkdir((target.path + "/old").c_str(), 0755);
	sets.scan = {target.path, false, false};
	server.send(dir_answer({{"new", "dir"}}));
	server.send(dir_answer({{"f", "file 1"}}));
	list_root();
	EXPECT_TRUE(sets.scan.done);
	EXPECT_TRUE(std::filesystem::is_directory(target.path + "/new"));
	EXPECT_EQ(sets.local_dir_set, (path_set{target.path + "/old"}));
}

TEST_F(listing, EmptyRoot)
{
	server.send(dir_answer({}));
	list_root();
	EXPECT_EQ(cat.count(), 0);
	EXPECT_EQ(server.received().size(), 1u);
}

TEST_F(listing, ResentBatchAddsNothingTwice)
{
	server.send(dir_answer({{"d1", "dir"}, {"d2", "dir"}}));
	// The answer for d2 fails the first time.
	server.send(dir_answer({{"f1", "file 1"}, {"e", "dir"}}) + std::string(svn_auth) +
	    "( failure ( ( 160013 19:File not found: d2 0: 0 ) ) ) ");
	server.send(dir_answer({{"f1", "file 1"}, {"e", "dir"}}) + dir_answer({{"f2", "file 2"}}));
	server.send(dir_answer({{"g", "file 4"}}));
	list_root();
	EXPECT_EQ(paths(), (std::vector<std::string>{"/d1/f1", "/d2/f2", "/d1/e/g"}));
	auto commands = server.received();
	ASSERT_EQ(commands.size(), 4u);
	EXPECT_EQ(commands[1], commands[2]);
	EXPECT_EQ(commands[3], get_dir("/d1/e"));
}

TEST_F(listing, BatchesCloseAfterPassing32000Bytes)
{
	std::vector<std::pair<std::string, std::string>> root;
	std::string subdirectories;
	for (int i = 0; i < 600; i++)
		root.emplace_back(std::string(60, 'd') + std::to_string(1000 + i), "dir");
	server.send(dir_answer(root));
	// Each batch is answered as a whole: one empty listing per command.
	size_t commands_per_batch = 0;
	for (size_t length = 0; length <= 32000; commands_per_batch++)
		length += get_dir("/" + root[0].first).size();
	for (size_t first = 0; first < root.size(); first += commands_per_batch) {
		std::string answers;
		for (size_t i = first; i < root.size() && i < first + commands_per_batch; i++)
			answers += dir_answer({{"f", "file 1"}});
		server.send(answers);
	}
	list_root();
	EXPECT_EQ(cat.count(), 600);
	EXPECT_EQ(cat.file[599].path, "/" + root[599].first + "/f");
	auto commands = server.received();
	ASSERT_EQ(commands.size(), 4u);
	for (size_t i = 1; i + 1 < commands.size(); i++) {
		EXPECT_GT(commands[i].size(), 32000u);
		EXPECT_LE(commands[i].size() - get_dir("/" + root[0].first).size(), 32000u);
	}
}

TEST_F(listing, LongestNameIsAccepted)
{
	std::string name(255, 'n');
	server.send(dir_answer({{name, "file 1"}}));
	list_root();
	EXPECT_EQ(paths(), (std::vector<std::string>{"/" + name}));
}

TEST_F(listing, RefusedEntriesEndTheRunBeforeAnythingIsWritten)
{
	struct {
		std::string name;
		std::string kind;
		std::string message;
	} cases[] = {
		{"..", "dir", "unusable file name \"\\.\\.\""},
		{"a/b", "file 1", "unusable file name \"a/b\""},
		{"", "file 1", "unusable file name \"\""},
		{std::string(256, 'n'), "file 1", "The server sent a file name that is too long \\(256 bytes\\) in /\\.  Quitting\\."},
	};
	for (auto& c : cases) {
		canned_server bad;
		bad.conn.path_target = target.path;
		bad.send(dir_answer({{"fine", "dir"}, {c.name, c.kind}}));
		bad.hang_up();
		EXPECT_EXIT(list_tree_svn(bad.conn, root_get_dir_command(bad.conn), 1, cat, sets),
		    testing::ExitedWithCode(1), c.message);
		EXPECT_TRUE(std::filesystem::is_empty(target.path)) << c.name;
	}
}

TEST_F(listing, NonDirectoryWhereADirectoryBelongs)
{
	// A symbolic link to a real directory is refused like a plain file:
	// nothing is ever made through a link.
	temporary_directory elsewhere;
	ASSERT_EQ(symlink(elsewhere.path.c_str(), (target.path + "/link").c_str()), 0);
	ASSERT_EQ(close(creat((target.path + "/file").c_str(), 0644)), 0);
	for (std::string name : {"link", "file"}) {
		canned_server bad;
		bad.conn.path_target = target.path;
		bad.send(dir_answer({{name, "dir"}}));
		bad.send(dir_answer({{"planted", "dir"}}));
		bad.hang_up();
		EXPECT_EXIT(list_tree_svn(bad.conn, root_get_dir_command(bad.conn), 1, cat, sets),
		    testing::ExitedWithCode(1),
		    target.path + "/" + name + " exists locally and is not a directory.  Please remove it manually and restart trelk");
	}
	EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path));
}

// A status drive from empty at revision 5, after the authentication
// requests of the command and of its report.
static std::string
status_drive(const std::string& commands)
{
	return std::string(svn_auth) + std::string(svn_auth) + "( target-rev ( 5 ) ) ( open-root ( ( ) 2:d0 ) ) " +
	    commands;
}

// One file of a status drive in the directory d1: added, its properties
// (each "name value"), the svndiff header of its text, closed with md5.
static std::string
drive_file(const std::string& path, const std::string& token, const std::vector<std::pair<std::string, std::string>>& properties, const std::string& md5)
{
	std::string t = svn_string(token);
	std::string commands = "( add-file ( " + svn_string(path) + " 2:d1 " + t + " ( ) ) ) ";
	for (auto& [name, value] : properties)
		commands += "( change-file-prop ( " + t + " " + svn_string(name) + " ( " + svn_string(value) + " ) ) ) ";
	return commands + "( apply-textdelta ( " + t + " ( ) ) ) ( textdelta-chunk ( " + t + " 4:SVN\x01 ) ) ( textdelta-end ( " + t +
	    " ) ) ( close-file ( " + t + " ( 32:" + md5 + " ) ) ) ";
}

static const std::vector<std::pair<std::string, std::string>> entry_properties = {
	{"svn:entry:committed-rev", "345"}, {"svn:entry:committed-date", "2018-10-19T12:34:56.123456Z"},
	{"svn:entry:last-author", "dev"}};

TEST_F(listing, StatusDriveGivesEveryFileWithItsMD5AndProperties)
{
	std::vector<std::pair<std::string, std::string>> keyword = entry_properties;
	keyword.emplace_back("svn:keywords", "FreeBSD=%H");
	server.send(status_drive("( add-dir ( 3:bin 2:d0 2:d1 ( ) ) ) " +
	    drive_file("bin/ls", "f1", {{"svn:executable", "*"}}, "0123456789abcdef0123456789abcdef") +
	    drive_file("bin/link", "f2", {{"svn:special", "*"}}, "11111111111111111111111111111111") +
	    drive_file("bin/ls.c", "f3", keyword, "22222222222222222222222222222222") +
	    "( close-dir ( 2:d1 ) ) ( close-dir ( 2:d0 ) ) ( close-edit ( ) ) ( success ( ) ) "));
	server.hang_up();
	server.conn.verbosity = 1;
	testing::internal::CaptureStdout();
	EXPECT_TRUE(list_branch_svn(server.conn, cat, sets));
	EXPECT_EQ(testing::internal::GetCapturedStdout(), " + " + target.path + "/bin\n");
	EXPECT_TRUE(std::filesystem::is_directory(target.path + "/bin"));
	std::string report;
	for (const std::string& piece : server.received())
		report += piece;
	EXPECT_EQ(report.substr(0, report.find("( success ( ) )")),
	    "( status ( 0: true ( 5 ) infinity ) )\n( set-path ( 0: 5 true ( ) infinity ) )\n( finish-report ( ) )\n");
	ASSERT_EQ(paths(), (std::vector<std::string>{"/bin/ls", "/bin/link", "/bin/ls.c"}));
	struct {
		std::string md5;
		bool executable, special, keyword;
		std::string expansion;
	} expected[] = {
		{"0123456789abcdef0123456789abcdef", true, false, false, ""},
		{"11111111111111111111111111111111", false, true, false, ""},
		{"22222222222222222222222222222222", false, false, true, ": head/bin/ls.c 345 2018-10-19 12:34:56Z dev "},
	};
	for (int32_t i = 0; i < cat.count(); i++) {
		const file_node& node = cat.file[i];
		EXPECT_EQ((std::make_tuple(std::string(node.md5), node.executable != 0, node.special != 0, node.keyword != 0, node.expansion)),
		    (std::make_tuple(expected[i].md5, expected[i].executable, expected[i].special, expected[i].keyword, expected[i].expansion)))
		    << node.path;
		EXPECT_EQ(node.props_known, 1) << node.path;
		EXPECT_EQ(node.size, -1) << node.path;
	}
}

TEST_F(listing, BrokenStatusDrivesFail)
{
	const std::string drives[] = {
		// The server gives up.
		"( abort-edit ( ) ) ( failure ( ( 160006 0: 0: 0 ) ) ) ",
		// The stream ends inside the drive.
		"( add-dir ( 3:bin 2:d0 2:d1 ( ) ) ) ",
		// A file closed without its MD5.
		"( add-dir ( 3:bin 2:d0 2:d1 ( ) ) ) ( add-file ( 5:bin/f 2:d1 2:f1 ( ) ) ) ( close-file ( 2:f1 ( ) ) ) ",
	};
	for (const std::string& drive : drives) {
		canned_server other;
		other.conn.revision = 5;
		other.conn.path_target = target.path;
		other.send(status_drive(drive));
		other.hang_up();
		testing::internal::CaptureStderr();
		EXPECT_FALSE(list_branch_svn(other.conn, cat, sets)) << drive;
		testing::internal::GetCapturedStderr();
	}
}
