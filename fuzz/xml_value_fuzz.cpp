// Fuzz target: parse_xml_value on WebDAV answer text, with the entity and
// percent decoders the tree report applies to hrefs.  The first input byte
// chooses the element looked for; the rest is the answer, copied to a
// buffer of exactly its size so that any read past its end is caught.

#include "fuzz_support.h"

#include "dav/dav.h"
#include "local/local.h"

#include <cstring>
#include <memory>
#include <string>

// The elements that trelk looks for in the answers it reads.
static const char* const tags[] = {
	"D:href", "V:md5-checksum", "lp1:getcontentlength", "D:getcontentlength",
	"S:executable", "S:special", "C:FreeBSD", "D:multistatus",
};

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 1)
		return 0;
	const char* tag = tags[data[0] % (sizeof(tags) / sizeof(tags[0]))];
	size_t length = size - 1;
	std::unique_ptr<char[]> text(new char[length]);
	memcpy(text.get(), data + 1, length);
	try {
		std::optional<std::string> value = parse_xml_value(text.get(), text.get() + length, tag);
		fuzz_check(!value || value->size() <= length, "an element text is no longer than the answer");
		if (value) {
			size_t before = value->size();
			percent_decode(*value);
			fuzz_check(value->size() <= before, "percent-decoding never lengthens");
			(void)is_clean_path(*value);
		}
		std::string raw(text.get(), length);
		decode_xml_entities(raw);
		fuzz_check(raw.size() <= length, "entity decoding never lengthens");
		percent_decode(raw);
	} catch (const fatal_stop&) {
	}
	return 0;
}
