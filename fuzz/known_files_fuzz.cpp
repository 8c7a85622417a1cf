// Fuzz target: the known-files list parser.  The input is written as a
// section's list and read back with load_known_files; every path taken
// into the set must be a clean path below the target with a 32-byte MD5.

#include "fuzz_support.h"

#include "local/local.h"

#include <string>

static std::string list_path;

extern "C" int
LLVMFuzzerInitialize(int* argc, char*** argv)
{
	list_path = fuzz_folder("known") + "/stable";
	return 0;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	settings conn;
	known_path_set known_set;

	write_file_whole(list_path, data, size);
	conn.known_files_old = list_path;
	conn.known_files_new = list_path + ".new";
	try {
		load_known_files(conn, known_set);
	} catch (const fatal_stop&) {
	}
	for (const auto& [path, md5] : known_set) {
		fuzz_check(is_clean_path(path), "every known path is clean");
		fuzz_check(md5.size() == 32, "every known MD5 has 32 characters");
	}
	return 0;
}
