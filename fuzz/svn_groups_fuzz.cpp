// Fuzz target: the splitter of svn answers into groups, with no socket.
// The first input byte chooses the number of groups expected, the second
// the size of the pieces the rest is fed in.  Fed in those pieces and
// whole, it must keep the same text, take the same bytes and find the same
// group ends; each end lies on a closing parenthesis that the kept text
// holds, in order.

#include "fuzz_support.h"

#include "svn/svn.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What splitting came to.
struct split {
	std::string kept;
	size_t taken = 0;
	std::vector<size_t> ends;
	bool complete = false;
};

// Splits text fed in pieces of step bytes, each read in right behind the
// bytes kept, as the reader does.
static split
split_text(std::string_view text, uint32_t groups, size_t step)
{
	std::string buffer(text);
	svn_group_splitter splitter(groups);
	split result;
	size_t length = 0;

	while (result.taken < text.size() && !splitter.complete()) {
		size_t count = std::min(step, text.size() - result.taken);
		std::copy_n(text.data() + result.taken, count, buffer.data() + length);
		size_t taken = splitter.take(buffer.data(), length, count);
		fuzz_check(taken <= count && length <= result.taken + taken, "the splitter stays inside its bytes");
		result.taken += taken;
		if (taken < count)
			break;
	}
	result.kept = buffer.substr(0, length);
	result.ends = splitter.group_ends();
	result.complete = splitter.complete();
	return result;
}

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
	if (size < 2)
		return 0;
	uint32_t groups = 1 + data[0] % 8;
	size_t step = 1 + data[1] % 64;
	std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);

	split whole = split_text(text, groups, text.size() + 1);
	split pieces = split_text(text, groups, step);
	// A piece that ends right after the last group's parenthesis leaves
	// its blank to the next answer; otherwise the two agree byte for byte.
	bool blank_left = pieces.taken + 1 == whole.taken && pieces.kept.size() + 1 == whole.kept.size();
	fuzz_check(blank_left || (pieces.taken == whole.taken && pieces.kept == whole.kept), "pieces and whole agree");
	fuzz_check(pieces.ends == whole.ends && pieces.complete == whole.complete, "the same groups");
	size_t previous = 0;
	for (size_t end : whole.ends) {
		fuzz_check(end > previous && end <= whole.kept.size() && whole.kept[end - 1] == ')', "an end follows a parenthesis");
		previous = end;
	}
	fuzz_check(whole.ends.size() <= groups, "no more groups than expected");
	return 0;
}
