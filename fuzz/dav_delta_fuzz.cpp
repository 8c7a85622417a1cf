// Fuzz target: the parser of the WebDAV delta report.  The first input byte
// chooses the branch's path below the repository root; the rest is the
// report body.  Whatever the body, every path the delta names must be clean
// (inside the target) and every MD5 well formed, and a failed parse must
// leave a reason.

#include "fuzz_support.h"

#include "dav/dav.h"
#include "local/local.h"
#include "transport/transport.h"

#include <string>
#include <string_view>

static const char* const trunks[] = {"", "head", "stable/14"};

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 1)
		return 0;
	std::string trunk = trunks[data[0] % (sizeof(trunks) / sizeof(trunks[0]))];
	std::string body(reinterpret_cast<const char*>(data + 1), size - 1);
	tree_delta delta;
	std::string reason;
	try {
		if (!parse_delta_report(body, trunk, delta, reason)) {
			fuzz_check(!reason.empty(), "a failed parse says why");
			return 0;
		}
		for (const std::string& path : delta.deleted)
			fuzz_check(is_clean_path(path), "a deleted path is clean");
		for (const std::string& path : delta.added_directories)
			fuzz_check(is_clean_path(path), "an added directory is clean");
		for (const changed_file& file : delta.files) {
			fuzz_check(is_clean_path(file.path), "a file's path is clean");
			fuzz_check(is_md5_text(file.md5), "a file's MD5 is 32 lower-case hex digits");
		}
	} catch (const fatal_stop&) {
	}
	return 0;
}
