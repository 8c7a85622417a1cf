// Fuzz target: the configuration parser.  The input is a configuration
// text; set_configuration applies "defaults" and then a section, as a run
// does, and the text must come back unchanged for the second section.

#include "fuzz_support.h"

#include "run/run.h"

#include <cstdlib>
#include <cstring>
#include <memory>

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	std::unique_ptr<char[]> text(new char[size + 1]);
	connection conn;

	memcpy(text.get(), data, size);
	text[size] = '\0';
	try {
		set_configuration(conn, text.get(), size, "defaults");
		fuzz_check(memcmp(text.get(), data, size) == 0, "the text is whole after a section");
		set_configuration(conn, text.get(), size, "stable");
		fuzz_check(memcmp(text.get(), data, size) == 0, "the text is whole after a section");
	} catch (const fatal_stop&) {
	}
	fuzz_check(!conn.branch || conn.branch->empty() || conn.branch->front() != '/',
	    "a branch never begins with a slash");
	fuzz_check(conn.protocol >= protocol_svn && conn.protocol <= protocol_https, "a known protocol");
	return 0;
}
