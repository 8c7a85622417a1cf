// The check of a local file against a repository MD5 and the writing of a
// fetched file: keyword expansion and collapse, links and modes.

#include "local/local.h"

#include "test_support.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/types.h>
#ifdef __linux__
#include <sys/sysmacros.h>
#endif

#include <cstring>
#include <fstream>
#include <functional>

namespace {

using namespace std::string_literals;

const std::string expansion = ": head/bin/ls/ls.c 12345 2024-05-01 10:00:00Z alice ";

class LocalFiles : public testing::Test {
protected:
	LocalFiles()
	{
		path = folder.path + "/file";
		outside = folder.path + "/outside";
		conn.verbosity = 0;
	}

	// Writes data through write_file as a regular node.
	void
	write_regular(const std::string& data, const std::string& with_expansion, bool executable = false)
	{
		file_node node;
		node.expansion = with_expansion;
		node.executable = executable;
		write_file(conn, node, path, data.data(), static_cast<int64_t>(data.size()));
	}

	// Writes data through write_file as a special node.
	void
	write_special(const std::string& data)
	{
		file_node node;
		node.special = 1;
		write_file(conn, node, path, data.data(), static_cast<int64_t>(data.size()));
	}

	std::string
	link_target()
	{
		char buffer[4096];
		ssize_t length = readlink(path.c_str(), buffer, sizeof(buffer));
		return length < 0 ? "(not a link)" : std::string(buffer, static_cast<size_t>(length));
	}

	temporary_folder folder;
	std::string path, outside;
	settings conn;
};

struct expansion_case {
	const char* name;
	std::string data;
	std::string written;	// E stands for the expansion text
};

// What write_file writes, and that confirm_md5 takes it back as the
// repository's content.
TEST_F(LocalFiles, ExpansionRoundTrip)
{
	const expansion_case cases[] = {
		{"no keyword", "int x;\n", "int x;\n"},
		{"one keyword", "/* $FreeBSD$ */\n", "/* $FreeBSDE$ */\n"},
		{"two keywords", "$FreeBSD$\nx $FreeBSD$ y\n", "$FreeBSDE$\nx $FreeBSDE$ y\n"},
		{"keywords sharing a dollar", "$FreeBSD$FreeBSD$", "$FreeBSDE$FreeBSDE$"},
		{"keyword after a NUL byte", "$FreeBSD$\0$FreeBSD$"s, "$FreeBSDE$\0$FreeBSD$"s},
		{"keyword cut by the end", "a $FreeBSD", "a $FreeBSD"},
		{"no data", "", ""},
		{"expanded text in the data after the keyword", "$FreeBSD$ $FreeBSD: old $\n", "$FreeBSDE$ $FreeBSD: old $\n"},
	};
	for (const expansion_case& test : cases) {
		std::string written = test.written;
		for (size_t at; (at = written.find("FreeBSDE")) != std::string::npos;)
			written.replace(at + 7, 1, expansion);
		write_regular(test.data, expansion);
		EXPECT_EQ(read_text(path), written) << test.name;
		EXPECT_EQ(confirm_md5(md5_hex(test.data.data(), test.data.size()).c_str(), path), 0) << test.name;
	}
}

TEST_F(LocalFiles, WithoutExpansionTheDataIsWrittenAsIs)
{
	std::string data = "$FreeBSD$\0tail"s;
	write_regular(data, "");
	EXPECT_EQ(read_text(path), data);
}

TEST_F(LocalFiles, ExpansionNeverReadsPastTheData)
{
	// The byte after the data would complete a keyword.
	std::string buffer = "ab$FreeBSD$";
	file_node node;
	node.expansion = expansion;
	write_file(conn, node, path, buffer.data(), 10);
	EXPECT_EQ(read_text(path), "ab$FreeBSD");
}

struct check_case {
	const char* name;
	std::string repository;	// the content the MD5 is taken of
	std::string local;
	bool matches;
};

const check_case confirm_cases[] = {
	{"identical", "a\n", "a\n", true},
	{"unexpanded keyword", "$FreeBSD$\n", "$FreeBSD$\n", true},
	{"another expansion", "x $FreeBSD$ y\n", "x $FreeBSD: stable/14/x 1 2020 bob $ y\n", true},
	{"two expansions", "$FreeBSD$ $FreeBSD$", "$FreeBSD: a $ $FreeBSD: b $", true},
	{"a byte differs", "x $FreeBSD$ y\n", "x $FreeBSD: a $ z\n", false},
	{"expansion across lines", "$FreeBSD$\n", "$FreeBSD: a\nb $\n", false},
	{"no closing dollar", "$FreeBSD\n", "$FreeBSD: a\n", false},
	{"expanded text before the keyword", "$FreeBSD: x $ $FreeBSD$", "$FreeBSD: x $ $FreeBSD: E $", false},
	{"expanded text after the keyword", "$FreeBSD$ $FreeBSD: x $", "$FreeBSD: E $ $FreeBSD: x $", true},
	{"keyword after a NUL byte", "\0$FreeBSD$"s, "\0$FreeBSD: a $"s, false},
	{"empty file", "", "", true},
};

TEST_F(LocalFiles, ConfirmCollapsesExpandedKeywords)
{
	for (const check_case& test : confirm_cases) {
		write_text(path, test.local);
		int result = confirm_md5(md5_hex(test.repository.data(), test.repository.size()).c_str(), path);
		EXPECT_EQ(result == 0, test.matches) << test.name;
	}
}

// The base a delta applies to is the repository's text itself, found by
// the same collapsing; a link gives "link " + target, and a file whose no
// form matches, or that is no file, gives none.
TEST_F(LocalFiles, BaseTextIsTheRepositoryText)
{
	for (const check_case& test : confirm_cases) {
		write_text(path, test.local);
		auto base = local_base_text(md5_hex(test.repository.data(), test.repository.size()).c_str(), path);
		EXPECT_EQ(base.has_value(), test.matches) << test.name;
		if (base) {
			EXPECT_EQ(*base, test.repository) << test.name;
		}
	}
	unlink(path.c_str());
	std::string empty_md5 = md5_hex("", 0);
	EXPECT_FALSE(local_base_text(empty_md5.c_str(), path)) << "missing";
	ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
	EXPECT_FALSE(local_base_text(empty_md5.c_str(), path)) << "pipe";
	unlink(path.c_str());
	ASSERT_EQ(symlink("../lib/libfoo.so", path.c_str()), 0);
	std::string text = "link ../lib/libfoo.so";
	EXPECT_EQ(local_base_text(md5_hex(text.data(), text.size()).c_str(), path), text);
	EXPECT_FALSE(local_base_text(empty_md5.c_str(), path)) << "other link";
}

// The read calls this process has made, where the system counts them
// (Linux); -1 elsewhere.
static long
read_calls()
{
	std::ifstream io("/proc/self/io");
	std::string name;
	long count;
	while (io >> name >> count)
		if (name == "syscr:")
			return count;
	return -1;
}

// Files read ahead, while the server works, give the answers of files read
// at the time of the check (the same cases), and a file whose status
// changed since is read again.
TEST_F(LocalFiles, ConfirmByDigestsReadAhead)
{
	known_path_set known = {{"/file", ""}, {"/missing", ""}, {"/dir", ""}};
	digest_cache digests;
	struct stat status;
	ASSERT_EQ(mkdir((folder.path + "/dir").c_str(), 0755), 0);
	for (const check_case& test : confirm_cases) {
		write_text(path, test.local);
		plan_local_digests(digests, folder.path, known);
		EXPECT_TRUE(digest_next_local_file(digests)) << test.name;
		EXPECT_FALSE(digest_next_local_file(digests)) << test.name << ": only the regular file is read";
		// Counting reads reads too: the cost of one count is measured.
		long first = read_calls();
		long counting = read_calls() - first;
		long reads = read_calls();
		int result = confirm_md5(md5_hex(test.repository.data(), test.repository.size()).c_str(), path, status, &digests);
		EXPECT_EQ(result == 0, test.matches) << test.name;
		if (reads >= 0) {
			EXPECT_EQ(read_calls() - reads, counting) << test.name << ": the file was read again";
		}
	}

	// Changed after it was read: another size, or another file in its
	// place with the same size.
	std::string repository = "new content\n";
	std::string md5 = md5_hex(repository.data(), repository.size());
	const std::string before[] = {"old\n", "old content\n"};
	for (const std::string& old : before) {
		write_text(path, old);
		plan_local_digests(digests, folder.path, known);
		ASSERT_TRUE(digest_next_local_file(digests));
		std::string other = folder.path + "/other";
		write_text(other, repository);
		ASSERT_EQ(rename(other.c_str(), path.c_str()), 0);
		EXPECT_EQ(confirm_md5(md5.c_str(), path, status, &digests), 0) << old;
	}
	plan_local_digests(digests, folder.path, {});
	EXPECT_FALSE(digest_next_local_file(digests));
}

TEST_F(LocalFiles, ConfirmOfOtherKinds)
{
	std::string empty_md5 = md5_hex("", 0);
	EXPECT_NE(confirm_md5(empty_md5.c_str(), path), 0) << "missing";
	write_text(path, "");
	EXPECT_NE(confirm_md5("", path), 0) << "MD5 not yet known";
	unlink(path.c_str());

	mkdir(path.c_str(), 0755);
	EXPECT_NE(confirm_md5(empty_md5.c_str(), path), 0) << "directory";
	rmdir(path.c_str());

	// A pipe is never opened: reading it would wait forever.
	ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
	EXPECT_NE(confirm_md5(empty_md5.c_str(), path), 0) << "pipe";
	unlink(path.c_str());

	symlink("../lib/libfoo.so", path.c_str());
	std::string text = "link ../lib/libfoo.so";
	EXPECT_EQ(confirm_md5(md5_hex(text.data(), text.size()).c_str(), path), 0) << "link";
	text = "link ../lib/libbar.so";
	EXPECT_NE(confirm_md5(md5_hex(text.data(), text.size()).c_str(), path), 0) << "other link";
}

TEST_F(LocalFiles, ModesWhateverTheFileHadBefore)
{
	mode_t old_mask = umask(077);
	write_text(path, "old");
	chmod(path.c_str(), 0600);
	write_regular("new", "");
	EXPECT_EQ(permissions_of(path), 0644u);
	write_regular("new", "", true);
	EXPECT_EQ(permissions_of(path), 0755u);
	chmod(path.c_str(), 04777);
	write_regular("x", "");
	EXPECT_EQ(permissions_of(path), 0644u);
	umask(old_mask);
}

TEST_F(LocalFiles, RegularFileReplacesALinkAndNeverWritesThroughIt)
{
	write_text(outside, "outside");
	symlink(outside.c_str(), path.c_str());
	write_regular("content", "");
	EXPECT_EQ(read_text(outside), "outside");
	EXPECT_EQ(link_target(), "(not a link)");
	EXPECT_EQ(read_text(path), "content");
}

static bool
is_regular_file(const std::string& path)
{
	struct stat status;
	return lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Puts a named pipe, a socket or a device node (what /dev/null is) at path.
static bool
make_special(const std::string& path, const std::string& kind)
{
	if (kind == "pipe")
		return mkfifo(path.c_str(), 0644) == 0;
	if (kind == "device")
		return mknod(path.c_str(), S_IFCHR | 0644, makedev(1, 3)) == 0;
	int fd = socket(AF_UNIX, SOCK_STREAM, 0);
	struct sockaddr_un address = {};
	address.sun_family = AF_UNIX;
	if (fd == -1 || path.size() >= sizeof(address.sun_path))
		return false;
	memcpy(address.sun_path, path.c_str(), path.size());
	bool bound = bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) == 0;
	close(fd);
	return bound;
}

// A pipe, socket or device where a file goes is a leftover: the file takes
// its place, and the open never waits for a reader of the pipe (the alarm
// ends a run that would).
TEST_F(LocalFiles, RegularFileReplacesAPipeASocketOrADevice)
{
	for (std::string kind : {"pipe", "socket", "device"}) {
		// Only root makes device nodes.
		if (!make_special(path, kind)) {
			if (kind != "device" || geteuid() == 0)
				ADD_FAILURE() << "cannot make a " << kind;
			continue;
		}
		EXPECT_EXIT(
		    {
			    alarm(5);
			    write_regular("content", "");
			    exit(0);
		    },
		    testing::ExitedWithCode(0), "")
		    << kind;
		// Reading a pipe that is left would wait too.
		if (is_regular_file(path))
			EXPECT_EQ(read_text(path), "content") << kind;
		else
			ADD_FAILURE() << kind << " left in place";
		unlink(path.c_str());
	}
}

// The stamp is written the same way.
TEST_F(LocalFiles, RevisionStampReplacesAPipe)
{
	std::string stamp = folder.path + "/.svnversion";
	conn.path_target = folder.path;
	conn.revision = 7;
	ASSERT_TRUE(make_special(stamp, "pipe"));
	EXPECT_EXIT(
	    {
		    alarm(5);
		    write_revision_stamp(conn);
		    exit(0);
	    },
	    testing::ExitedWithCode(0), "");
	ASSERT_TRUE(is_regular_file(stamp));
	EXPECT_EQ(read_text(stamp), "7\r\n");
}

static struct rlimit descriptor_limit;

// Gives the process its descriptors back once it ends, before the
// sanitizers' and the test framework's handlers, which may need one.
static void
restore_descriptor_limit()
{
	setrlimit(RLIMIT_NOFILE, &descriptor_limit);
}

// Lowers the limit of open descriptors to those open now, until the
// process ends.
static void
no_descriptors_left()
{
	getrlimit(RLIMIT_NOFILE, &descriptor_limit);
	atexit(restore_descriptor_limit);
	int lowest = dup(2);
	close(lowest);
	struct rlimit limit = {static_cast<rlim_t>(lowest), descriptor_limit.rlim_max};
	setrlimit(RLIMIT_NOFILE, &limit);
}

// A file that cannot be opened, and one whose size is not what lstat says
// (a short read sets no errno, so no system text follows).
TEST_F(LocalFiles, ReadFailuresOfConfirm)
{
	std::string md5 = md5_hex("x", 1);
	write_text(path, "x");
	EXPECT_EXIT((no_descriptors_left(), confirm_md5(md5.c_str(), path)), testing::ExitedWithCode(1),
	    err_text("read file (" + path + ")"));
	// The system's files of a process say they are empty and are not.
	const std::string grows = "/proc/self/status";
	struct stat status;
	if (lstat(grows.c_str(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size == 0) {
		EXPECT_EXIT(confirm_md5(md5.c_str(), grows), testing::ExitedWithCode(1),
		    errx_text("read file (" + grows + "): file changed"));
	}
}

TEST_F(LocalFiles, PlusLineAtVerbosity)
{
	conn.verbosity = 1;
	testing::internal::CaptureStdout();
	write_regular("x", "");
	write_special("link x");
	conn.verbosity = 0;
	write_regular("y", "");
	EXPECT_EQ(testing::internal::GetCapturedStdout(), " + " + path + "\n");
}

TEST_F(LocalFiles, LinksReplaceWhatIsThere)
{
	write_text(outside, "outside");
	const std::pair<const char*, std::function<void()>> cases[] = {
		{"nothing", [] {}},
		{"a file", [this] { write_text(path, "x"); }},
		{"a link to a file", [this] { symlink(outside.c_str(), path.c_str()); }},
		{"a dangling link", [this] { symlink("/nonexistent/x", path.c_str()); }},
		{"an empty directory", [this] { mkdir(path.c_str(), 0755); }},
	};
	for (const auto& [name, prepare] : cases) {
		prepare();
		write_special("link ../lib/libfoo.so\0junk"s);
		EXPECT_EQ(link_target(), "../lib/libfoo.so") << name;
		EXPECT_EQ(read_text(outside), "outside") << name;
		unlink(path.c_str());
	}
}

TEST_F(LocalFiles, SpecialDataWithoutLinkWritesNothing)
{
	write_text(path, "keep");
	write_special("lin");
	write_special("file x");
	EXPECT_EQ(read_text(path), "keep");
}

TEST_F(LocalFiles, NonEmptyDirectoryInTheWayOfALink)
{
	mkdir(path.c_str(), 0755);
	write_text(path + "/inside", "x");
	EXPECT_EXIT(write_special("link x"), testing::ExitedWithCode(1),
	    errx_text("Please remove " + path + " manually and restart trelk"));
}

TEST_F(LocalFiles, WriteFailures)
{
	path = folder.path + "/missing/file";
	EXPECT_EXIT(write_regular("x", ""), testing::ExitedWithCode(1), err_text("write file failure " + path));
	EXPECT_EXIT(write_special("link x"), testing::ExitedWithCode(1), err_text("Cannot link x -> " + path));
}

}	// namespace
