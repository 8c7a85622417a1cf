// The delta of a branch between two revisions, read from a real svnserve
// over a repository made at test time, and from canned drives for what a
// real server never sends.

#include "svn/svn.h"

#include "canned_server.h"
#include "local/local.h"
#include "transport/transport.h"

#include <sys/socket.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

// Runs a program to its end, its output dropped; true when it exits with
// status 0.
static bool
run_program(std::vector<std::string> arguments)
{
	std::vector<char*> argv;
	for (std::string& argument : arguments)
		argv.push_back(argument.data());
	argv.push_back(nullptr);
	pid_t child = fork();
	if (child == 0) {
		int null = open("/dev/null", O_WRONLY);
		dup2(null, 1);
		execvp(argv[0], argv.data());
		_exit(127);
	}
	int status = 0;
	return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

static std::string
read_text(const std::string& path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream text;
	text << in.rdbuf();
	return text.str();
}

// A repository "repo" under a temporary root, changed by svnmucc one
// revision at a time, and svnserve serving the root in inetd mode over a
// socket pair, so that no port is needed.  conn is logged in to the
// branch repo/head at the latest revision.
struct served_repository {
	temporary_directory root;
	pid_t server = -1;
	int texts = 0;
	connection conn;

	served_repository() { EXPECT_TRUE(run_program({"svnadmin", "create", root.path + "/repo"})); }

	~served_repository()
	{
		if (server > 0) {
			close(conn.socket_fd);
			kill(server, SIGTERM);
			waitpid(server, nullptr, 0);
		}
	}

	// A file holding text, for svnmucc's put.
	std::string text_file(const std::string& text)
	{
		std::string path = root.path + "/text-" + std::to_string(++texts);
		std::ofstream(path, std::ios::binary) << text;
		return path;
	}

	// One revision: svnmucc actions, paths relative to the repository.
	void commit(std::vector<std::string> actions)
	{
		std::vector<std::string> command = {"svnmucc", "-m", "change", "-U", "file://" + root.path + "/repo"};
		command.insert(command.end(), actions.begin(), actions.end());
		ASSERT_TRUE(run_program(command));
	}

	void serve()
	{
		int fds[2];
		ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
		server = fork();
		if (server == 0) {
			dup2(fds[1], 0);
			dup2(fds[1], 1);
			close(fds[0]);
			close(fds[1]);
			execlp("svnserve", "svnserve", "-i", "-r", root.path.c_str(), static_cast<char*>(nullptr));
			_exit(127);
		}
		close(fds[1]);
		conn.socket_fd = fds[0];
		conn.protocol = protocol_svn;
		conn.ops = &svn_protocol;
		conn.verbosity = 0;
		conn.host = "127.0.0.1";
		conn.branch = "repo/head";
		conn.path_target = root.path + "/target";
		conn.response = response_buffer(16 * 4096);
		handshake_svn(conn);
	}

	std::string uuid() { return read_text(root.path + "/repo/db/uuid").substr(0, 36); }
};

static const std::string edited_r3 = "three\n";
static const std::string plain = "#!/bin/sh\necho plain\n";
static const std::string lost = "/* $FreeBSD$ */\n";
static const std::string added_script = "#!/bin/sh\necho added\n";
static const std::string new_text = "new\n";

// r1 makes the branch; r2 edits, adds, deletes, and changes only the
// properties of plain.sh; r3 edits edited.c again.
struct delta_update : testing::Test {
	served_repository repository;

	delta_update()
	{
		repository.commit({"mkdir", "head", "mkdir", "head/olddir", "mkdir", "head/keep",
		    "put", repository.text_file("one\n"), "head/edited.c",
		    "put", repository.text_file("gone\n"), "head/gone.c",
		    "put", repository.text_file("x\n"), "head/olddir/x.c",
		    "put", repository.text_file(plain), "head/plain.sh",
		    "propset", "svn:keywords", "FreeBSD=%H", "head/plain.sh",
		    "put", repository.text_file(lost), "head/keep/lost.c",
		    "propset", "svn:keywords", "FreeBSD=%H", "head/keep/lost.c"});
		repository.commit({"put", repository.text_file("two\n"), "head/edited.c",
		    "rm", "head/gone.c", "rm", "head/olddir",
		    "mkdir", "head/newdir", "put", repository.text_file(new_text), "head/newdir/n.c",
		    "put", repository.text_file(added_script), "head/added.sh",
		    "propset", "svn:executable", "*", "head/added.sh",
		    "propset", "svn:keywords", "FreeBSD=%H", "head/added.sh",
		    "propset", "svn:executable", "*", "head/plain.sh",
		    "propdel", "svn:keywords", "head/plain.sh"});
		repository.commit({"put", repository.text_file(edited_r3), "head/edited.c"});
		repository.serve();
	}
};

// The change of property name in file; nothing when it lists none.
static std::optional<std::optional<std::string>>
change_of(const changed_file& file, const std::string& name)
{
	for (const property_change& change : file.properties)
		if (change.name == name)
			return change.value;
	return std::nullopt;
}

TEST_F(delta_update, LoginNamesTheRepository)
{
	EXPECT_EQ(repository.conn.uuid, repository.uuid());
	EXPECT_EQ(repository.conn.revision, 3);
}

TEST_F(delta_update, EveryKindOfChange)
{
	tree_delta delta;
	ASSERT_TRUE(read_delta_svn(repository.conn, 1, {"/keep/lost.c"}, delta));

	std::sort(delta.deleted.begin(), delta.deleted.end());
	EXPECT_EQ(delta.deleted, (std::vector<std::string>{"/gone.c", "/olddir"}));
	EXPECT_EQ(delta.added_directories, (std::vector<std::string>{"/newdir"}));

	using change = std::pair<std::string, std::optional<std::string>>;
	struct expected_file {
		bool added;
		std::string text;
		std::vector<change> changes;
	};
	std::map<std::string, expected_file> expected = {
		{"/edited.c", {false, edited_r3, {{"svn:entry:committed-rev", "3"}}}},
		{"/added.sh", {true, added_script, {{"svn:executable", "*"}, {"svn:keywords", "FreeBSD=%H"},
		    {"svn:entry:committed-rev", "2"}, {"svn:entry:uuid", repository.uuid()}}}},
		{"/newdir/n.c", {true, new_text, {{"svn:entry:committed-rev", "2"}}}},
		// Only the properties changed: the MD5 is the old text's.
		{"/plain.sh", {false, plain, {{"svn:executable", "*"}, {"svn:keywords", std::nullopt},
		    {"svn:entry:committed-rev", "2"}}}},
		// Reported missing: it comes whole, with all its properties.
		{"/keep/lost.c", {true, lost, {{"svn:keywords", "FreeBSD=%H"}, {"svn:entry:committed-rev", "1"}}}},
	};
	ASSERT_EQ(delta.files.size(), expected.size());
	for (const changed_file& file : delta.files) {
		auto found = expected.find(file.path);
		ASSERT_NE(found, expected.end()) << file.path;
		const expected_file& want = found->second;
		EXPECT_EQ(file.added, want.added) << file.path;
		EXPECT_EQ(file.md5, md5_hex(want.text.data(), want.text.size())) << file.path;
		EXPECT_EQ(file.repository_path, "head" + file.path);
		for (const auto& [name, value] : want.changes)
			EXPECT_EQ(change_of(file, name), std::optional<std::optional<std::string>>(value)) << file.path << " " << name;
	}
}

TEST_F(delta_update, NoChange)
{
	tree_delta delta;
	delta.deleted.push_back("/stale");
	ASSERT_TRUE(read_delta_svn(repository.conn, 3, {}, delta));
	EXPECT_TRUE(delta.deleted.empty());
	EXPECT_TRUE(delta.added_directories.empty());
	EXPECT_TRUE(delta.files.empty());
}

TEST_F(delta_update, FromNewerThanLatestFails)
{
	tree_delta delta;
	testing::internal::CaptureStderr();
	bool read = read_delta_svn(repository.conn, 9, {}, delta);
	std::string errors = testing::internal::GetCapturedStderr();
	EXPECT_FALSE(read);
	EXPECT_NE(errors.find("aborted the edit"), std::string::npos) << errors;
}

TEST(CannedLogin, UuidWhenTheAnswerHasOne)
{
	struct {
		std::string repository;
		std::string uuid;
	} cases[] = {
		{"( success ( 36:8c56d1cf-06f7-488b-a12a-0bd424fdce22 10:svn://h/r ( mergeinfo ) ) ) ",
		    "8c56d1cf-06f7-488b-a12a-0bd424fdce22"},
		{"( success ( ) ) ", ""},
		{"( success ( 7 ) ) ", ""},
	};
	for (const auto& c : cases) {
		canned_server server;
		server.conn.revision = 3;
		server.send("( success ( 2 2 ( ) ( edit-pipeline svndiff1 ) ) ) ");
		server.send("( success ( ( ANONYMOUS ) 0: ) ) ");
		server.send("( success ( ) ) " + c.repository);
		server.send(std::string(svn_auth) + "( success ( dir ) ) ");
		handshake_svn(server.conn);
		EXPECT_EQ(server.conn.uuid, c.uuid) << c.repository;
	}
}

// What a canned server sends before the drive: the authentication requests
// of the command and of its report.
static const std::string drive_start = std::string(svn_auth) + std::string(svn_auth) +
    "( target-rev ( 3 ) ) ( open-root ( ( 1 ) 2:d0 ) ) ";

// Reads a delta from a canned drive, for a tree at target.
static bool
canned_delta(const std::string& drive, tree_delta& delta, const std::string& target = "/nonexistent/target")
{
	canned_server server;
	server.conn.revision = 3;
	server.conn.path_target = target;
	server.send(drive_start + drive);
	server.hang_up();
	bool read = read_delta_svn(server.conn, 1, {"/b", "/a/x"}, delta);
	std::vector<std::string> sent = server.received();
	std::string report;
	for (const std::string& piece : sent)
		report += piece;
	// The report in sorted order, whatever the order of missing.
	std::string expected = "( update ( ( 3 ) 0: true infinity false false ) )\n( set-path ( 0: 1 false ( ) infinity ) )\n"
	    "( delete-path ( 3:a/x ) )\n( delete-path ( 1:b ) )\n( finish-report ( ) )\n";
	EXPECT_EQ(report.substr(0, expected.size()), expected);
	return read;
}

TEST(CannedDelta, ReportAndDrive)
{
	tree_delta delta;
	EXPECT_TRUE(canned_delta("( open-dir ( 1:a 2:d0 2:d1 ( 1 ) ) ) ( add-file ( 3:a/x 2:d1 2:f1 ( ) ) ) "
	    "( change-file-prop ( 2:f1 3:odd ( ) ) ) ( apply-textdelta ( 2:f1 ( ) ) ) "
	    "( textdelta-chunk ( 2:f1 4:SVN\x01 ) ) ( textdelta-end ( 2:f1 ) ) "
	    "( close-file ( 2:f1 ( 32:0123456789abcdef0123456789abcdef ) ) ) ( close-dir ( 2:d1 ) ) "
	    "( close-dir ( 2:d0 ) ) ( close-edit ( ) ) ( success ( ) ) ", delta));
	ASSERT_EQ(delta.files.size(), 1u);
	EXPECT_EQ(delta.files[0].path, "/a/x");
	EXPECT_EQ(delta.files[0].repository_path, "head/a/x");
	EXPECT_TRUE(delta.files[0].added);
	ASSERT_EQ(delta.files[0].properties.size(), 1u);
	EXPECT_EQ(delta.files[0].properties[0].value, std::nullopt);
}

// The drive of one file named f: opened (against the local copy as its
// base) or added, with the svndiff given and the new text's MD5.
static std::string
one_file_drive(bool added, const std::string& svndiff, const std::string& md5)
{
	std::string base = md5_hex("$FreeBSD$\n", 10);
	return std::string(added ? "( add-file ( 1:f 2:d0 2:f1 ( ) ) ) " : "( open-file ( 1:f 2:d0 2:f1 ( 1 ) ) ) ") +
	    "( apply-textdelta ( 2:f1 ( " + (added ? std::string() : "32:" + base + " ") + ") ) ) " +
	    "( textdelta-chunk ( 2:f1 " + std::to_string(svndiff.size()) + ":" + svndiff + " ) ) ( textdelta-end ( 2:f1 ) ) " +
	    "( close-file ( 2:f1 ( 32:" + md5 + " ) ) ) ( close-dir ( 2:d0 ) ) ( close-edit ( ) ) ( success ( ) ) ";
}

// The texts come with the drive: an added file's whole, a changed file's
// as a delta against its local copy, "$FreeBSD$" collapsed.  A text that
// cannot be had so (no such base, a broken delta, another MD5) is left to
// fetch, and the drive goes on.
TEST(CannedDelta, TextsComeWithTheDrive)
{
	using namespace std::string_literals;
	const std::string text = "$FreeBSD$\nworld\n";
	const std::string whole = "SVN\0\0\0\x10\x01\x10\x90"s + text;
	// Copy the base's 10 bytes, then 6 new ones.
	const std::string against_base = "SVN\0\0\x0a\x10\x03\x06\x0a\x00\x86"s + "world\n";
	const std::string result = md5_hex(text.data(), text.size());
	struct {
		const char* name;
		bool added;
		std::string local;
		std::string svndiff;
		std::string md5;
		bool text;
	} cases[] = {
		{"added", true, "", whole, result, true},
		{"changed, against the local copy", false, "$FreeBSD$\n", against_base, result, true},
		{"changed, the local copy expanded", false, "$FreeBSD: head/f 1 2024-01-01 00:00:00Z alice $\n", against_base, result, true},
		{"changed, the local copy edited", false, "$FreeBSD$ edited\n", against_base, result, false},
		{"changed, no local copy", false, "", against_base, result, false},
		{"a broken delta", true, "", whole.substr(0, 9), result, false},
		{"another MD5", true, "", whole, md5_hex("", 0), false},
	};
	for (const auto& c : cases) {
		temporary_directory target;
		if (!c.local.empty())
			std::ofstream(target.path + "/f") << c.local;
		tree_delta delta;
		testing::internal::CaptureStderr();
		EXPECT_TRUE(canned_delta(one_file_drive(c.added, c.svndiff, c.md5), delta, target.path)) << c.name;
		testing::internal::GetCapturedStderr();
		ASSERT_EQ(delta.files.size(), 1u) << c.name;
		EXPECT_EQ(delta.files[0].text.has_value(), c.text) << c.name;
		if (c.text && delta.files[0].text) {
			EXPECT_EQ(*delta.files[0].text, text) << c.name;
		}
	}
}

TEST(CannedDelta, BrokenDrivesFail)
{
	const char* drives[] = {
		// An MD5 in upper case.
		"( open-file ( 1:f 2:d0 2:f1 ( 1 ) ) ) ( close-file ( 2:f1 ( 32:0123456789ABCDEF0123456789ABCDEF ) ) ) "
		"( close-dir ( 2:d0 ) ) ( close-edit ( ) ) ( success ( ) ) ",
		// A deletion in a directory never opened.
		"( delete-entry ( 1:f ( 1 ) 2:d9 ) ) ( close-edit ( ) ) ( success ( ) ) ",
		// The stream ends inside the drive.
		"( open-dir ( 1:a 2:d0 2:d1 ( 1 ) ) ) ",
		// The server gives up.
		"( abort-edit ( ) ) ( failure ( ( 160006 0: 0: 0 ) ) ) ",
	};
	for (const char* drive : drives) {
		tree_delta delta;
		testing::internal::CaptureStderr();
		bool read = canned_delta(drive, delta);
		testing::internal::GetCapturedStderr();
		EXPECT_FALSE(read) << drive;
	}
}

TEST(CannedDelta, PathOutsideItsDirectoryEndsTheRun)
{
	const char* drives[] = {
		"( delete-entry ( 5:../up ( 1 ) 2:d0 ) ) ",
		"( add-dir ( 3:a/b 2:d0 2:d1 ( ) ) ) ",
		"( open-file ( 2:.. 2:d0 2:f1 ( 1 ) ) ) ",
	};
	for (const char* drive : drives) {
		tree_delta delta;
		EXPECT_EXIT(canned_delta(drive, delta), testing::ExitedWithCode(1), "outside its directory|Quitting") << drive;
	}
}
