// Fuzz target: the framing of HTTP answers, with no socket.  The first
// input byte chooses how many answers are expected, the second the size of
// the pieces the rest arrives in.  Framed in those pieces and whole, the
// answers must agree: the same stop, the same answers with the same bounds,
// the same text once the chunk framing is out; every body lies inside the
// text, right after its header.

#include "fuzz_support.h"

#include "dav/dav.h"
#include "transport/transport.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What framing a stream came to.
struct framed {
	bool stopped = false;		// the framing ended the run
	std::vector<http_answer> answers;
	std::string text;
	http_read read;
};

// Frames stream arriving in pieces of step bytes, each appended behind the
// bytes the framing has left, as the reader does.
static framed
frame(std::string_view stream, uint32_t answers, size_t step)
{
	response_buffer response(4096);
	framed result;
	result.read.units_expected = 2 * answers;

	try {
		for (size_t at = 0; at < stream.size(); at += step) {
			std::string_view piece = stream.substr(at, step);
			size_t length = response.length();
			response.reserve(length, piece.size(), "fuzz");
			std::copy(piece.begin(), piece.end(), response.data() + length);
			response.set_length(length + piece.size());
			take_http_answers(response, result.answers, result.read);
		}
	} catch (const fatal_stop&) {
		result.stopped = true;
	}
	result.text = std::string(response.view());
	return result;
}

static bool
same_answers(const std::vector<http_answer>& a, const std::vector<http_answer>& b)
{
	return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const http_answer& x, const http_answer& y) {
		return x.status == y.status && x.status_text == y.status_text && x.start == y.start &&
		    x.body == y.body && x.length == y.length;
	});
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 2)
		return 0;
	uint32_t answers = 1 + data[0] % 8;
	size_t step = 1 + data[1] % 97;
	std::string_view stream(reinterpret_cast<const char*>(data + 2), size - 2);

	framed whole = frame(stream, answers, stream.size() + 1);
	framed pieces = frame(stream, answers, step);
	fuzz_check(whole.stopped == pieces.stopped, "the same stop in any pieces");
	if (whole.stopped)
		return 0;
	// Bytes past the last answer the framing took stay as they came, so
	// the texts agree wherever both stopped taking.
	fuzz_check(same_answers(whole.answers, pieces.answers), "the same answers in any pieces");
	fuzz_check(whole.text == pieces.text, "the same text in any pieces");
	fuzz_check(whole.read.units <= whole.read.units_expected, "no more than the answers expected");
	for (const http_answer& answer : whole.answers) {
		fuzz_check(answer.start < answer.body && answer.body <= whole.text.size(), "a header inside the text");
		fuzz_check(answer.length <= whole.text.size() - answer.body, "a body inside the text");
	}
	return 0;
}
