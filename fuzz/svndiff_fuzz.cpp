// Fuzz target: the svndiff decoder.  The first input byte chooses the size
// of the pieces the stream is fed in, the second how many of the bytes
// after them are the source text; the rest is the stream.  It is decoded
// in those pieces and one byte at a time, and both must agree on the text,
// on success and on the message.

#include "fuzz_support.h"

#include "transport/transport.h"

#include <cstdint>
#include <string>
#include <string_view>

// A few bytes of stream may rightly state a window of many megabytes; the
// decoding stops once the text passes this, to keep each input quick.
static constexpr size_t text_cap = 32 << 20;

// What decoding a stream came to.
struct decoding {
	bool ok = true;
	bool capped = false;
	std::string text;
	std::string error;
};

// Decodes stream fed in pieces of step bytes.
static decoding
decode(std::string_view source, std::string_view stream, size_t step)
{
	svndiff_decoder decoder(source);
	decoding result;

	for (size_t pos = 0; pos < stream.size() && result.ok; pos += step) {
		result.ok = decoder.feed(stream.substr(pos, step), result.text);
		if (!result.ok) {
			fuzz_check(decoder.error().rfind("svndiff: ", 0) == 0, "the message names svndiff");
			size_t before = result.text.size();
			fuzz_check(!decoder.feed("SVN", result.text) && result.text.size() == before,
			    "a failed decoder stays failed");
		}
		if (result.text.size() > text_cap) {
			result.capped = true;
			return result;
		}
	}
	if (result.ok)
		result.ok = decoder.finish();
	result.error = decoder.error();
	fuzz_check(result.ok == result.error.empty(), "a message exactly when it failed");
	return result;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 2)
		return 0;
	size_t step = 1 + data[0] % 32;
	size_t source_size = data[1];
	std::string_view rest(reinterpret_cast<const char*>(data + 2), size - 2);
	if (source_size > rest.size())
		source_size = rest.size();
	std::string_view source = rest.substr(0, source_size);
	std::string_view stream = rest.substr(source_size);

	decoding pieces = decode(source, stream, step);
	decoding bytes = decode(source, stream, 1);
	if (pieces.capped || bytes.capped)
		return 0;
	fuzz_check(pieces.ok == bytes.ok, "the same success in any pieces");
	fuzz_check(pieces.error == bytes.error, "the same message in any pieces");
	fuzz_check(pieces.text == bytes.text, "the same text in any pieces");
	return 0;
}
