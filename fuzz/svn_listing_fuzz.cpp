// Fuzz target: the svn reader and the tree listing.  The input is what the
// server answers: it is fed through a socket pair to list_tree_svn, which
// reads it with process_command_svn, walks the entries, makes directories
// under a scratch target and lists them in turn from the rest of the input.
// The first input byte chooses how many get-dir commands the batch holds.

#include "fuzz_support.h"

#include "local/local.h"
#include "svn/svn.h"

#include <sys/stat.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

static std::string folder;	// holds only the target, always
static std::string target;

extern "C" int
LLVMFuzzerInitialize(int* argc, char*** argv)
{
	folder = fuzz_folder("svn");
	target = folder + "/target";
	fuzz_check(mkdir(target.c_str(), 0755) == 0, "the target can be made");
	return 0;
}

// A batch of count get-dir commands at revision 5: the root, then /d1, ...
static std::string
batch_commands(int count)
{
	std::string commands = "( get-dir ( 0: ( 5 ) false true ( kind size ) false ) )\n";

	for (int i = 1; i < count; i++)
		commands += "( get-dir ( 3:/d" + std::to_string(i) + " ( 5 ) false true ( kind size ) false ) )\n";
	return commands;
}

// Nothing may appear next to the target, and every listed file must have a
// clean path below it.
static void
check_results(const catalogue& cat)
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
		fuzz_check(is_clean_path(cat.file[static_cast<size_t>(i)].path),
		    "every listed file has a clean path");
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	int fds[2];

	if (size < 1 || !load_answer_into_socket_pair(fds, data + 1, size - 1))
		return 0;
	int count = 1 + data[0] % 4;
	connection conn;
	conn.protocol = protocol_svn;
	conn.socket_fd = fds[0];
	conn.verbosity = 0;
	conn.revision = 5;
	conn.path_target = target;
	conn.response = response_buffer(4096);
	catalogue cat;
	path_sets sets;
	try {
		list_tree_svn(conn, batch_commands(count), static_cast<uint32_t>(count), cat, sets);
	} catch (const fatal_stop&) {
	}
	close(fds[0]);
	close(fds[1]);
	fuzz_check(conn.response.length() <= conn.response.capacity(),
	    "the answer fits its buffer");
	check_results(cat);
	empty_folder(target);
	return 0;
}
