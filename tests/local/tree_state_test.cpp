// The state of the tree on disk: its exact text, reading it back with
// awkward names, damaged states refused whole, the careful install, and
// the marking of files whose times are too recent to prove their content.

#include "local/local.h"

#include "test_support.h"

#include <chrono>
#include <climits>
#include <thread>

namespace {

using namespace std::string_literals;

const std::string md5_a = "0123456789abcdef0123456789abcdef";
const std::string md5_b = "fedcba9876543210fedcba9876543210";

// A status long past, so that saving it marks nothing.
local_status
old_status(ino_t inode, off_t size, mode_t mode)
{
	return {inode, size, {1700000000, 123456789}, {1700000001, 5}, mode};
}

// Every field of a state, one line per file, for comparisons that show
// what differs.
std::string
describe(const tree_state& state)
{
	std::string text = state.uuid + "|" + state.branch + "|" + std::to_string(state.revision) + "\n";
	for (const std::string& directory : state.directories)
		text += directory + "\n";
	for (const auto& [path, entry] : state.files) {
		const local_status& s = entry.status;
		text += path + "|" + entry.md5 + "|" + std::to_string(entry.executable) + std::to_string(entry.special) +
		    std::to_string(entry.keyword) + std::to_string(entry.hash_next) + "|" + entry.expansion + "|" + std::to_string(s.inode) + "|" +
		    std::to_string(s.size) + "|" + std::to_string(s.modified.tv_sec) + "." +
		    std::to_string(s.modified.tv_nsec) + "|" + std::to_string(s.changed.tv_sec) + "." +
		    std::to_string(s.changed.tv_nsec) + "|" + std::to_string(s.mode) + "\n";
	}
	return text;
}

// Waits until files made before are older than the tick that save and
// record_local_status allow for.
void
wait_out_the_tick()
{
	std::this_thread::sleep_for(std::chrono::milliseconds(1200));
}

class TreeState : public testing::Test {
protected:
	TreeState() : path(folder.path + "/stable.state") {}

	// A small state of two files, one with an expansion.
	static tree_state
	small_state()
	{
		tree_state state{"13f79535-47bb-0310-9956-ffa450edef68", "base/stable/14", 345678, {"/bin", "/bin/ls", "/empty"}, {}};
		state.files["/bin/ls/ls.c"] = {md5_a, false, false, true, ": stable/14/bin/ls/ls.c 345 2024-05-01 10:00:00Z al ",
		    old_status(1234567, 20480, 0100644), false};
		state.files["/etc/rc"] = {md5_b, true, false, false, "", old_status(42, 7, 0100755), false};
		return state;
	}

	void
	save_and_install(const tree_state& state)
	{
		save_tree_state(path, state);
		install_tree_state(path);
	}

	temporary_folder folder;
	std::string path;
};

// The exact text: labelled lines, TAB-separated fields, an end line with
// the count of files and the MD5 of all that comes before it.
TEST_F(TreeState, SavedTextIsExact)
{
	save_and_install(small_state());
	const std::string body =
	    "trelk-state\t"s + trelk_version + "\n"
	    "uuid\t13f79535-47bb-0310-9956-ffa450edef68\n"
	    "branch\tbase/stable/14\n"
	    "revision\t345678\n"
	    "dir\t/bin\n"
	    "dir\t/bin/ls\n"
	    "dir\t/empty\n"
	    "file\t/bin/ls/ls.c\t" + md5_a + "\tk\t: stable/14/bin/ls/ls.c 345 2024-05-01 10:00:00Z al \t1234567\t20480\t"
	    "1700000000.123456789\t1700000001.000000005\t100644\n"
	    "file\t/etc/rc\t" + md5_b + "\tx\t\t42\t7\t1700000000.123456789\t1700000001.000000005\t100755\n";
	EXPECT_EQ(read_text(path), body + "end\t2\t" + md5_hex(body.data(), body.size()) + "\n");
	EXPECT_EQ(permissions_of(path), 0644u);
	EXPECT_FALSE(exists_no_follow(path + ".new"));
}

TEST_F(TreeState, RoundTripWithAwkwardNames)
{
	tree_state state{"uuid with\tTAB and 100%", "base/stable 14/été\t%41", INT32_MAX, {"/dir with space", "/100%", "/ünïcödé"}, {}};
	state.files["/dir with space/file name"] = {md5_a, true, false, true,
	    ": head/dir with space/file name 12 2024-05-01 10:00:00Z al ice ", old_status(1, 0, 0100755), false};
	state.files["/ünïcödé/ファイル"] = {
	    md5_b, false, true, false, "", {UINT64_MAX, INT64_MAX, {-1, 999999999}, {0, 0}, 0120777}, true};
	state.files["/100%/50%25"] = {md5_a, true, true, true, ": a\tb%c\nd\re\x7f" "f ", old_status(7, 9, 0100644), false};
	state.files["/a"] = {md5_b, false, false, false, "", {}, false};
	save_and_install(state);
	std::optional<tree_state> loaded = load_tree_state(path);
	ASSERT_TRUE(loaded.has_value());
	EXPECT_EQ(describe(*loaded), describe(state));

	tree_state empty{"u", "", 0, {}, {}};
	save_and_install(empty);
	loaded = load_tree_state(path);
	ASSERT_TRUE(loaded.has_value());
	EXPECT_EQ(describe(*loaded), describe(empty));
}

struct damage_case {
	const char* name;
	std::string from;	// the first occurrence in the good text
	std::string to;
};

// text with the MD5 of its end line made right again for what precedes it,
// so that a damaged field is refused for itself, not for the MD5.
std::string
resealed(std::string text)
{
	size_t end = text.rfind("\nend\t");
	if (end == std::string::npos)
		return text;
	size_t tab = text.find('\t', end + 5);
	if (tab == std::string::npos || text.size() - tab < 33)
		return text;
	return text.replace(tab + 1, 32, md5_hex(text.data(), end + 1));
}

// Any damage makes the whole state unusable: nothing of it is trusted.
TEST_F(TreeState, DamagedStatesAreRefused)
{
	save_and_install(small_state());
	const std::string good = read_text(path);
	ASSERT_TRUE(load_tree_state(path).has_value());

	const std::string end = good.substr(good.rfind("\nend\t") + 1);
	const std::string ls = "file\t/bin/ls/ls.c\t" + md5_a + "\tk\t";
	const std::string rc = "file\t/etc/rc\t" + md5_b + "\tx\t\t42\t7\t";
	const damage_case cases[] = {
		{"other version", "trelk-state\t"s + trelk_version, "trelk-state\t0.99"},
		{"other format", "trelk-state\t", "trelk-list\t"},
		{"version with a field more", "trelk-state\t"s + trelk_version + "\n", "trelk-state\t"s + trelk_version + "\tx\n"},
		{"no uuid line", "uuid\t13f79535-47bb-0310-9956-ffa450edef68\n", ""},
		{"lines out of order", "uuid\t13f79535-47bb-0310-9956-ffa450edef68\nbranch\tbase/stable/14\n",
		    "branch\tbase/stable/14\nuuid\t13f79535-47bb-0310-9956-ffa450edef68\n"},
		{"bad revision", "revision\t345678", "revision\t345678x"},
		{"negative revision", "revision\t345678", "revision\t-1"},
		{"revision too large", "revision\t345678", "revision\t2147483648"},
		{"revision with a leading zero", "revision\t345678", "revision\t0345678"},
		{"no end line", "\nend\t2\t", "\n"},
		{"end line garbled", "\nend\t2\t", "\nfin\t2\t"},
		{"end count too small", "end\t2\t", "end\t1\t"},
		{"end count too large", "end\t2\t", "end\t3\t"},
		{"end count not a number", "end\t2\t", "end\ttwo\t"},
		{"end count with a leading zero", "end\t2\t", "end\t02\t"},
		{"end line without its MD5", "end\t2\t", "end\t2\n"},
		{"end line with a field more", "end\t2\t", "end\t2\t\t"},
		{"text after the end line", end, end + "file\n"},
		{"empty line after the end line", end, end + "\n"},
		{"end line twice", end, end + end},
		{"CR LF line", "\n", "\r\n"},
		{"duplicate path", "file\t/etc/rc\t", "file\t/bin/ls/ls.c\t"},
		{"unclean path ..", "file\t/etc/rc\t", "file\t/../x\t"},
		{"unclean path, empty component", "file\t/etc/rc\t", "file\t/etc//rc\t"},
		{"relative path", "file\t/etc/rc\t", "file\tetc/rc\t"},
		{"escaped slash hides a component", "file\t/etc/rc\t", "file\t/etc%2Frc\t"},
		{"escaped control character in a path", "file\t/etc/rc\t", "file\t/etc/r%0Ac\t"},
		{"raw control character in a path", "file\t/etc/rc\t", "file\t/etc/r\rc\t"},
		{"raw control character in a text", ": stable", ":\r stable"},
		{"bad escape", "file\t/etc/rc\t", "file\t/etc/rc%2\t"},
		{"lower-case escape", ": stable", ":%0a stable"},
		{"needless escape", "file\t/etc/rc\t", "file\t/etc/r%63\t"},
		{"MD5 of 31", md5_b + "\t", md5_b.substr(1) + "\t"},
		{"upper-case MD5", md5_b, "FEDCBA9876543210FEDCBA9876543210"},
		{"unknown flag", rc.substr(0, rc.find("\tx\t")) + "\tx\t", rc.substr(0, rc.find("\tx\t")) + "\tq\t"},
		{"flags out of order", rc.substr(0, rc.find("\tx\t")) + "\tx\t", rc.substr(0, rc.find("\tx\t")) + "\tsx\t"},
		{"repeated flag", rc.substr(0, rc.find("\tx\t")) + "\tx\t", rc.substr(0, rc.find("\tx\t")) + "\txx\t"},
		{"empty flags", ls, "file\t/bin/ls/ls.c\t" + md5_a + "\t\t"},
		{"keyword flag before special", rc.substr(0, rc.find("\tx\t")) + "\tx\t", rc.substr(0, rc.find("\tx\t")) + "\tks\t"},
		{"directory line among the files", "file\t/etc/rc\t", "dir\t/x\nfile\t/etc/rc\t"},
		{"directory twice", "dir\t/bin/ls\n", "dir\t/bin\n"},
		{"unclean directory", "dir\t/empty\n", "dir\t/em/../pty\n"},
		{"relative directory", "dir\t/empty\n", "dir\tempty\n"},
		{"directory with a field more", "dir\t/empty\n", "dir\t/empty\tx\n"},
		{"bad inode", rc, "file\t/etc/rc\t" + md5_b + "\tx\t\t4a\t7\t"},
		{"negative size", rc, "file\t/etc/rc\t" + md5_b + "\tx\t\t42\t-7\t"},
		{"inode too large", rc, "file\t/etc/rc\t" + md5_b + "\tx\t\t18446744073709551616\t7\t"},
		{"time without nanoseconds", "1700000000.123456789", "1700000000"},
		{"nanoseconds of 8 digits", "1700000000.123456789", "1700000000.12345678"},
		{"nanoseconds with a sign", "1700000000.123456789", "1700000000.-12345678"},
		{"seconds with a plus", "1700000000.123456789", "+1700000000.123456789"},
		{"negative zero seconds", "1700000000.123456789", "-0.123456789"},
		{"bad mode digit", "100644", "100648"},
		{"mode with a leading zero", "100644", "0100644"},
		{"mode beyond the type bits", "100644", "1100644"},
		{"field missing", "\t100755\n", "\n"},
		{"field more", "\t100755\n", "\t100755\t\n"},
	};
	for (const damage_case& test : cases) {
		size_t at = good.find(test.from);
		ASSERT_NE(at, std::string::npos) << test.name;
		std::string damaged = good;
		damaged.replace(at, test.from.size(), test.to);
		write_text(path, resealed(damaged));
		EXPECT_FALSE(load_tree_state(path).has_value()) << test.name;
	}
	write_text(path, resealed(good));
	ASSERT_TRUE(load_tree_state(path).has_value());
	for (size_t length = 0; length < good.size(); length++) {
		write_text(path, good.substr(0, length));
		EXPECT_FALSE(load_tree_state(path).has_value()) << "truncated to " << length << " bytes";
	}
	// A digit off in a revision, an inode or an MD5 still parses: only the
	// end line's MD5 tells.
	for (size_t at = 0; at < good.size(); at++) {
		std::string damaged = good;
		damaged[at] = damaged[at] == '1' ? '2' : '1';
		write_text(path, damaged);
		EXPECT_FALSE(load_tree_state(path).has_value()) << "byte " << at << " changed";
	}
}

// Only a regular file is read: a link is not followed, a FIFO not waited
// on (the alarm ends the test if it is), a directory not taken.
TEST_F(TreeState, OnlyARegularFileIsRead)
{
	EXPECT_FALSE(load_tree_state(path).has_value());
	std::string real = folder.path + "/real.state";
	save_tree_state(real, small_state());
	install_tree_state(real);
	ASSERT_TRUE(load_tree_state(real).has_value());
	ASSERT_EQ(symlink(real.c_str(), path.c_str()), 0);
	EXPECT_FALSE(load_tree_state(path).has_value());
	unlink(path.c_str());
	ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
	alarm(10);
	EXPECT_FALSE(load_tree_state(path).has_value());
	alarm(0);
	unlink(path.c_str());
	ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
	EXPECT_FALSE(load_tree_state(path).has_value());
}

// What an interrupted run left at the new state's place is replaced: a
// link is not followed, a second name of another file not written through.
TEST_F(TreeState, NewStateReplacesWhatStandsInItsPlace)
{
	std::string outside = folder.path + "/outside";
	std::string new_path = path + ".new";
	for (const char* kind : {"leftover", "hard link", "symbolic link"}) {
		write_text(outside, "keep");
		unlink(new_path.c_str());
		if (kind == "leftover"s)
			write_text(new_path, "trelk-state\tjunk\n");
		else if (kind == "hard link"s)
			ASSERT_EQ(link(outside.c_str(), new_path.c_str()), 0);
		else
			ASSERT_EQ(symlink(outside.c_str(), new_path.c_str()), 0);
		save_and_install(small_state());
		EXPECT_EQ(read_text(outside), "keep") << kind;
		std::optional<tree_state> loaded = load_tree_state(path);
		ASSERT_TRUE(loaded.has_value()) << kind;
		EXPECT_EQ(describe(*loaded), describe(small_state())) << kind;
	}
}

// A save or an install that fails ends the run and leaves the old state
// in place and usable.
TEST_F(TreeState, FailureKeepsTheOldState)
{
	save_and_install(small_state());
	const std::string old_text = read_text(path);
	tree_state other = small_state();
	other.revision = 345679;
	std::string new_path = path + ".new";

	// No new state to install.
	EXPECT_EXIT(install_tree_state(path), testing::ExitedWithCode(1), err_text("Cannot rename " + path));
	// A directory stands where the new state goes: neither written nor installed.
	mkdir(new_path.c_str(), 0755);
	write_text(new_path + "/x", "");
	EXPECT_EXIT(save_tree_state(path, other), testing::ExitedWithCode(1), err_text("write file failure " + new_path));
	EXPECT_EXIT(install_tree_state(path), testing::ExitedWithCode(1), err_text("Cannot rename " + path));
	EXPECT_EQ(read_text(path), old_text);
	std::optional<tree_state> loaded = load_tree_state(path);
	ASSERT_TRUE(loaded.has_value());
	EXPECT_EQ(loaded->revision, 345678);
}

// A state that could not be read back is never written.
TEST_F(TreeState, UnrecordableEntriesEndTheRun)
{
	const std::string new_path = path + ".new";
	struct bad_case {
		std::string file;
		std::string md5;
		std::string message;
	};
	const bad_case cases[] = {
		{"/../x", md5_a, "Cannot record \"/../x\" in " + new_path + ": not a clean path"},
		{"/a\tb", md5_a, "Cannot record \"/a\\x09b\" in " + new_path + ": not a clean path"},
		{"a", md5_a, "Cannot record \"a\" in " + new_path + ": not a clean path"},
		{"/a", "", "Cannot record \"/a\" in " + new_path + ": its MD5 is not known"},
		{"/a", "0123456789ABCDEF0123456789ABCDEF", "Cannot record \"/a\" in " + new_path + ": its MD5 is not known"},
	};
	for (const bad_case& test : cases) {
		tree_state state = small_state();
		state.files[test.file].md5 = test.md5;
		EXPECT_EXIT(save_tree_state(path, state), testing::ExitedWithCode(1), errx_text(test.message)) << test.file;
		EXPECT_FALSE(exists_no_follow(new_path)) << test.file;
	}
}

// A file whose times are within a second of the moment its status is taken,
// or the state is written, is marked to be read next time: an edit in the
// same tick would keep its times.
TEST_F(TreeState, RecentFilesAreMarked)
{
	std::string file = folder.path + "/file";
	write_text(file, "x");
	state_entry fresh{md5_a, false, false, false, "", {}, false};
	ASSERT_TRUE(record_local_status(fresh, file));
	EXPECT_TRUE(fresh.hash_next);

	// Written now, taken as unmarked: the save marks it.
	tree_state state = small_state();
	state.files["/fresh"] = fresh;
	state.files["/fresh"].hash_next = false;
	state.files["/future"] = {md5_a, false, false, false, "", old_status(3, 1, 0100644), false};
	state.files["/future"].status.changed.tv_sec = time(nullptr) + 3600;
	save_and_install(state);
	std::optional<tree_state> loaded = load_tree_state(path);
	ASSERT_TRUE(loaded.has_value());
	EXPECT_TRUE(loaded->files["/fresh"].hash_next);
	EXPECT_TRUE(loaded->files["/future"].hash_next);
	EXPECT_FALSE(loaded->files["/bin/ls/ls.c"].hash_next);

	wait_out_the_tick();
	ASSERT_TRUE(record_local_status(fresh, file));
	EXPECT_FALSE(fresh.hash_next);
	struct stat status;
	ASSERT_EQ(lstat(file.c_str(), &status), 0);
	EXPECT_EQ(fresh.status.inode, status.st_ino);
	EXPECT_EQ(fresh.status.size, 1);
	EXPECT_EQ(fresh.status.mode, status.st_mode);

	unlink(file.c_str());
	EXPECT_FALSE(record_local_status(fresh, file));
	EXPECT_TRUE(fresh.hash_next);
	EXPECT_EQ(fresh.status.inode, 0u);
}

}	// namespace
