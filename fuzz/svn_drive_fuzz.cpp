// Fuzz target: the svn editor drive.  The input is what the server sends
// after the report: fed through a socket pair to the drive reader, as the
// delta from a recorded revision (whose changed texts are deltas against
// the local copies of a scratch target), as the stream of a first fetch
// (which makes directories under the target), as the stream of chosen
// texts, or as the listing of the whole branch without texts.  The first
// input byte chooses which.

#include "fuzz_support.h"

#include "local/local.h"
#include "svn/svn.h"

#include <sys/stat.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static std::string folder;	// holds only the target, always
static std::string target;

extern "C" int
LLVMFuzzerInitialize(int* argc, char*** argv)
{
	folder = fuzz_folder("svn-drive");
	target = folder + "/target";
	fuzz_check(mkdir(target.c_str(), 0755) == 0, "the target can be made");
	return 0;
}

// The local copies a delta's texts apply to: a plain file, one whose
// keyword is expanded, a link.
static void
make_bases()
{
	static const char plain[] = "hello\n";
	static const char expanded[] = "/* $FreeBSD: head/a/k.c 3 2024-01-01 00:00:00Z alice $ */\nint k;\n";

	fuzz_check(mkdir((target + "/a").c_str(), 0755) == 0, "a base directory can be made");
	write_file_whole(target + "/f", reinterpret_cast<const uint8_t*>(plain), sizeof(plain) - 1);
	write_file_whole(target + "/a/k.c", reinterpret_cast<const uint8_t*>(expanded), sizeof(expanded) - 1);
	fuzz_check(symlink("f", (target + "/a/l").c_str()) == 0, "a base link can be made");
}

// Nothing may appear next to the target, and every path the drive names
// must be clean.
static void
check_results(const catalogue& cat, const tree_delta& delta)
{
	DIR* dir = opendir(folder.c_str());
	int entries = 0;

	fuzz_check(dir != nullptr, "the scratch folder is readable");
	for (dirent* e; (e = readdir(dir)) != nullptr;)
		if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
			entries++;
	closedir(dir);
	fuzz_check(entries == 1, "nothing is made outside the target");
	for (int32_t i = 0; i < cat.count(); i++)
		fuzz_check(is_clean_path(cat.file[static_cast<size_t>(i)].path), "every streamed or listed file has a clean path");
	for (const changed_file& file : delta.files) {
		fuzz_check(is_clean_path(file.path), "every changed file has a clean path");
		fuzz_check(!file.text || md5_hex(file.text->data(), file.text->size()) == file.md5,
		    "a text kept is the one the server named");
	}
	for (const std::string& path : delta.deleted)
		fuzz_check(is_clean_path(path), "every deleted path is clean");
	for (const std::string& path : delta.added_directories)
		fuzz_check(is_clean_path(path), "every added directory has a clean path");
}

// Runs the drive reader chosen by mode over the answer on conn.
static void
read_drive(int mode, connection& conn, catalogue& cat, path_sets& sets, tree_delta& delta)
{
	file_taker take = [](int32_t, std::string_view) {};

	if (mode == 0) {
		read_delta_svn(conn, 3, {"/a/l"}, delta);
		return;
	}
	if (mode == 1) {
		stream_tree_svn(conn, cat, sets, take);
		return;
	}
	if (mode == 3) {
		list_branch_svn(conn, cat, sets);
		return;
	}
	for (const char* path : {"/f", "/a/k.c"}) {
		file_node& node = new_file_node(cat);
		node.path = path;
		snprintf(node.md5, sizeof(node.md5), "%s", "b1946ac92492d2347c6235b4d2611184");
		node.download = 1;
	}
	stream_texts_svn(conn, cat, {0, 1}, take);
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	int fds[2];

	if (size < 1 || !load_answer_into_socket_pair(fds, data + 1, size - 1))
		return 0;
	make_bases();
	connection conn;
	conn.protocol = protocol_svn;
	conn.socket_fd = fds[0];
	conn.verbosity = 0;
	conn.revision = 5;
	conn.path_target = target;
	conn.branch = std::string("base/head");
	catalogue cat;
	path_sets sets;
	tree_delta delta;
	try {
		read_drive(data[0] % 4, conn, cat, sets, delta);
	} catch (const fatal_stop&) {
	}
	close(fds[0]);
	close(fds[1]);
	check_results(cat, delta);
	empty_folder(target);
	return 0;
}
