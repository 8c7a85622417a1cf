#include "transport/transport.h"

#include <lz4.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// A small svndiff writer: numbers, instructions, sections and windows put
// together by hand, so that each case states its stream plainly.

// A big-endian base-128 number.
static std::string
number(uint64_t value)
{
	std::string bytes(1, static_cast<char>(value & 0x7f));
	while (value >>= 7)
		bytes.insert(bytes.begin(), static_cast<char>(0x80 | (value & 0x7f)));
	return bytes;
}

// An instruction: opcode 0 (source), 1 (target), 2 (new data) or 3; the
// length in the byte when it fits, else as a number after it.
static std::string
instruction(int code, uint64_t length, uint64_t offset = 0)
{
	bool short_length = length > 0 && length < 64;
	std::string bytes(1, static_cast<char>(code << 6 | (short_length ? length : 0)));
	if (!short_length)
		bytes += number(length);
	if (code != 2)
		bytes += number(offset);
	return bytes;
}

static std::string
from_source(uint64_t length, uint64_t offset)
{
	return instruction(0, length, offset);
}

static std::string
from_target(uint64_t length, uint64_t offset)
{
	return instruction(1, length, offset);
}

static std::string
from_new(uint64_t length)
{
	return instruction(2, length);
}

// A window with its sections as they go on the wire.
static std::string
window(uint64_t source_offset, uint64_t source_length, uint64_t target_length, const std::string& instructions,
    const std::string& data)
{
	return number(source_offset) + number(source_length) + number(target_length) +
	    number(instructions.size()) + number(data.size()) + instructions + data;
}

// Versions 1 and 2: a section stored as it is.
static std::string
stored(const std::string& bytes)
{
	return number(bytes.size()) + bytes;
}

// Version 1: a section compressed with zlib.
static std::string
zlib_section(const std::string& bytes)
{
	std::string packed(compressBound(bytes.size()), '\0');
	uLongf length = packed.size();
	compress(reinterpret_cast<Bytef*>(packed.data()), &length, reinterpret_cast<const Bytef*>(bytes.data()),
	    bytes.size());
	packed.resize(length);
	return number(bytes.size()) + packed;
}

// Version 2: a section compressed as an lz4 block.
static std::string
lz4_section(const std::string& bytes)
{
	std::string packed(LZ4_compressBound(bytes.size()), '\0');
	int length = LZ4_compress_default(bytes.data(), packed.data(), bytes.size(), packed.size());
	packed.resize(length);
	return number(bytes.size()) + packed;
}

static std::string
zeros(size_t count)
{
	return std::string(count, '\0');
}

static std::string
header(int version)
{
	return std::string("SVN") + static_cast<char>(version);
}

static const std::string source = "The quick brown fox jumps over the lazy dog.\n";
static const std::string long_text = std::string(300, 'a') + "the middle" + std::string(300, 'z');

struct text_case {
	const char* name;
	std::string stream;
	std::string text;
};

static std::vector<text_case>
text_cases()
{
	std::string three = from_new(3) + from_target(7, 1);
	return {
	    {"header only", header(0), ""},
	    {"window of nothing", header(0) + window(0, 0, 0, "", ""), ""},
	    {"copy from the source", header(0) + window(4, 15, 9, from_source(5, 0) + from_source(4, 11), ""),
		"quick fox"},
	    {"new data", header(0) + window(0, 0, 5, from_new(5), "hello"), "hello"},
	    {"copy from the target overlapping what it writes",
		header(0) + window(0, 0, 8, from_new(2) + from_target(6, 0), "ab"), "abababab"},
	    {"copy from the target past its start", header(0) + window(0, 0, 10, three, "xyz"), "xyzyzyzyzy"},
	    {"lengths and offsets as numbers",
		header(0) + window(0, 45, 100, from_source(40, 4) + from_new(60), std::string(60, 'n')),
		source.substr(4, 40) + std::string(60, 'n')},
	    {"several windows",
		header(0) + window(0, 3, 3, from_source(3, 0), "") + window(10, 5, 7, from_new(2) + from_source(5, 0), "<<") +
		    window(0, 0, 1, from_new(1), "\n"),
		"The<<brown\n"},
	    {"version 1 stored", header(1) + window(4, 5, 8, stored(from_source(5, 0) + from_new(3)), stored("!!!")),
		"quick!!!"},
	    {"version 1 compressed",
		header(1) + window(0, 0, long_text.size(), zlib_section(from_new(long_text.size())), zlib_section(long_text)),
		long_text},
	    {"version 2 stored", header(2) + window(4, 5, 8, stored(from_source(5, 0) + from_new(3)), stored("!!!")),
		"quick!!!"},
	    {"version 2 compressed",
		header(2) + window(0, 0, long_text.size(), lz4_section(from_new(long_text.size())), lz4_section(long_text)),
		long_text},
	};
}

// Feeds stream, against base, in pieces of the given sizes (the rest in one piece last)
// and returns the text, checking that every feed and the finish succeed.
static std::string
decode_in_pieces(const std::string& base, const std::string& stream, const std::vector<size_t>& sizes)
{
	svndiff_decoder decoder(base);
	std::string text;
	size_t pos = 0;
	for (size_t size : sizes) {
		EXPECT_TRUE(decoder.feed(std::string_view(stream).substr(pos, size), text)) << decoder.error();
		pos += size;
	}
	EXPECT_TRUE(decoder.feed(std::string_view(stream).substr(pos), text)) << decoder.error();
	EXPECT_TRUE(decoder.finish()) << decoder.error();
	return text;
}

TEST(Svndiff, DecodesWholeStreams)
{
	for (const text_case& c : text_cases())
		EXPECT_EQ(decode_in_pieces(source, c.stream, {}), c.text) << c.name;
}

TEST(Svndiff, DecodesStreamsFedOneByteAtATime)
{
	for (const text_case& c : text_cases())
		EXPECT_EQ(decode_in_pieces(source, c.stream, std::vector<size_t>(c.stream.size(), 1)), c.text) << c.name;
}

TEST(Svndiff, DecodesStreamsSplitAtEveryByte)
{
	for (const text_case& c : text_cases())
		for (size_t split = 0; split <= c.stream.size(); split++)
			EXPECT_EQ(decode_in_pieces(source, c.stream, {split}), c.text) << c.name << ", split at " << split;
}

TEST(Svndiff, GivesEachWindowAsSoonAsItIsWhole)
{
	std::string first = header(0) + window(0, 0, 3, from_new(3), "one");
	std::string second = window(0, 0, 3, from_new(3), "two");
	svndiff_decoder decoder;
	std::string text;
	ASSERT_TRUE(decoder.feed(first + second.substr(0, 4), text));
	EXPECT_EQ(text, "one");
	ASSERT_TRUE(decoder.feed(second.substr(4), text));
	EXPECT_EQ(text, "onetwo");
}

// A stream of one window giving long_text from its compressed new data,
// whose stated original length is off by the given amount.
static std::string
wrongly_stated(int version, const std::string& section, int off)
{
	std::string packed = section.substr(number(long_text.size()).size());
	return header(version) + window(0, 0, long_text.size(), stored(from_new(long_text.size())),
	    number(long_text.size() + off) + packed);
}

struct error_case {
	const char* name;
	std::string stream;
	std::string error;
};

static std::vector<error_case>
error_cases()
{
	std::string hello = header(0) + window(0, 0, 5, from_new(5), "hello");
	std::string huge = '\x82' + std::string(8, '\x80') + zeros(1);	// 2 to the 64th
	std::string too_long_number = std::string(10, '\x80') + zeros(1);
	return {
	    {"empty stream", "", "svndiff: stream ends inside the header"},
	    {"header cut short", "SVN", "svndiff: stream ends inside the header"},
	    {"bad magic", "SVX" + zeros(1), "svndiff: not a delta stream"},
	    {"bad first byte", "<?xml", "svndiff: not a delta stream"},
	    {"bad first byte alone", "<", "svndiff: not a delta stream"},
	    {"unknown version", "SVN\3", "svndiff: unknown version 3"},
	    {"window cut short in its numbers", header(0) + zeros(2), "svndiff: stream ends inside a window"},
	    {"window cut short in its data", hello.substr(0, hello.size() - 1), "svndiff: stream ends inside a window"},
	    {"target view too large", header(0) + number(0) + number(0) + number((64 << 20) + 1) + zeros(2),
		"svndiff: window too large"},
	    {"instructions too large", header(0) + number(0) + number(0) + number(1) + number((64 << 20) + 1) + zeros(1),
		"svndiff: window too large"},
	    {"new data too large", header(0) + number(0) + number(0) + number(1) + number(0) + number((64 << 20) + 1),
		"svndiff: window too large"},
	    {"number past 64 bits", header(0) + huge + zeros(4), "svndiff: number too large"},
	    {"number of too many bytes", header(0) + too_long_number + zeros(4), "svndiff: number too large"},
	    {"source view past the source", header(0) + window(40, 6, 0, "", ""),
		"svndiff: source view past the end of the source"},
	    {"source view offset past 64 bits", header(0) + number(UINT64_MAX) + number(2) + zeros(3),
		"svndiff: source view past the end of the source"},
	    {"instruction past the new data", header(0) + window(0, 0, 6, from_new(6), "hello"),
		"svndiff: instruction past the new data"},
	    {"source copy outside the view", header(0) + window(0, 4, 5, from_source(5, 0), ""),
		"svndiff: copy outside the source view"},
	    {"source copy at an offset outside the view", header(0) + window(0, 4, 1, from_source(1, 4), ""),
		"svndiff: copy outside the source view"},
	    {"target copy from beyond the built text", header(0) + window(0, 0, 4, from_new(2) + from_target(2, 2), "ab"),
		"svndiff: copy from beyond the target built"},
	    {"target copy in an empty target", header(0) + window(0, 0, 2, from_target(2, 0), ""),
		"svndiff: copy from beyond the target built"},
	    {"window gives too little", header(0) + window(0, 0, 6, from_new(5), "hello"),
		"svndiff: window gives 5 bytes, expected 6"},
	    {"window gives too much", header(0) + window(0, 0, 4, from_new(5), "hello"),
		"svndiff: window gives more than 4 bytes"},
	    {"new data left unused", header(0) + window(0, 0, 4, from_new(4), "hello"),
		"svndiff: window leaves new data unused"},
	    {"opcode 11", header(0) + window(0, 0, 1, std::string(1, '\xc1'), ""), "svndiff: invalid instruction"},
	    {"instruction of length zero", header(0) + window(0, 0, 0, from_new(0), ""),
		"svndiff: instruction of length zero"},
	    {"instruction cut short", header(0) + window(0, 0, 5, std::string(1, '\x80'), "hello"),
		"svndiff: instruction cut short"},
	    {"instruction length past 64 bits", header(0) + window(0, 0, 5, '\x80' + huge, "hello"),
		"svndiff: number too large"},
	    {"copy without its offset", header(0) + window(0, 4, 1, std::string(1, '\x01'), ""),
		"svndiff: instruction cut short"},
	    {"version 1 stating one byte more", wrongly_stated(1, zlib_section(long_text), 1),
		"svndiff: compressed section does not expand to its stated length"},
	    {"version 1 stating one byte less", wrongly_stated(1, zlib_section(long_text), -1),
		"svndiff: compressed section does not expand to its stated length"},
	    {"version 2 stating one byte more", wrongly_stated(2, lz4_section(long_text), 1),
		"svndiff: compressed section does not expand to its stated length"},
	    {"version 2 stating one byte less", wrongly_stated(2, lz4_section(long_text), -1),
		"svndiff: compressed section does not expand to its stated length"},
	    {"version 1 garbage compressed", header(1) + window(0, 0, 5, stored(from_new(5)), number(5) + "xy"),
		"svndiff: compressed section does not expand to its stated length"},
	    {"version 2 original length too large",
		header(2) + window(0, 0, 5, stored(from_new(5)), number((64 << 20) + 1) + "x"), "svndiff: window too large"},
	    {"version 1 section without its length", header(1) + window(0, 0, 0, "", ""), "svndiff: section cut short"},
	    {"version 1 section length cut short", header(1) + window(0, 0, 5, std::string(1, '\x85'), stored("hello")),
		"svndiff: section cut short"},
	};
}

// Feeds stream in pieces of step bytes and returns the error of the first
// feed that fails, else the one of finish.
static std::string
first_error(const std::string& stream, size_t step, std::string& text)
{
	svndiff_decoder decoder(source);
	for (size_t pos = 0; pos < stream.size(); pos += step)
		if (!decoder.feed(std::string_view(stream).substr(pos, step), text))
			return decoder.error();
	if (decoder.finish())
		return "";
	return decoder.error();
}

TEST(Svndiff, RefusesMalformedStreams)
{
	for (const error_case& c : error_cases()) {
		std::string text;
		EXPECT_EQ(first_error(c.stream, c.stream.size() + 1, text), c.error) << c.name;
		EXPECT_EQ(text, "") << c.name;
	}
}

TEST(Svndiff, RefusesMalformedStreamsFedOneByteAtATime)
{
	for (const error_case& c : error_cases()) {
		std::string text;
		EXPECT_EQ(first_error(c.stream, 1, text), c.error) << c.name;
	}
}

TEST(Svndiff, AFailingWindowAddsNothingAndTheDecoderStaysFailed)
{
	std::string good = header(0) + window(0, 0, 3, from_new(3), "one");
	std::string bad = window(0, 0, 4, from_new(2) + from_target(2, 0) + from_target(1, 9), "ab");
	svndiff_decoder decoder;
	std::string text;
	EXPECT_FALSE(decoder.feed(good + bad, text));
	EXPECT_EQ(text, "one");
	EXPECT_EQ(decoder.error(), "svndiff: window gives more than 4 bytes");
	EXPECT_FALSE(decoder.feed(window(0, 0, 1, from_new(1), "x"), text));
	EXPECT_FALSE(decoder.finish());
	EXPECT_EQ(text, "one");
	EXPECT_EQ(decoder.error(), "svndiff: window gives more than 4 bytes");
}

// Sixty numbered lines; the second text has line 30 changed and a line
// added at the end.
static std::string
dumped_text(bool changed)
{
	std::string text;
	for (int i = 0; i < 60; i++)
		text += changed && i == 30 ? "a changed line in the middle\n"
		    : "line " + std::to_string(i) + " of the base text, with some words to pad it out\n";
	return changed ? text + "and one more at the end\n" : text;
}

// Forty short lines alike but for their numbers, which zlib and lz4 shrink.
static std::string
compressible_text()
{
	std::string text;
	for (int i = 0; i < 40; i++)
		text += std::to_string(i) + ": another line that compresses\n";
	return text;
}

struct real_case {
	const char* name;
	std::string stream;
	std::string source;
	std::string text;
};

// Deltas Subversion 1.14 wrote between those texts: `svnadmin dump --deltas`
// (version 0, one window with lengths and offsets past 63), and GET answers
// of mod_dav_svn with X-SVN-VR-Base for Accept-Encoding svndiff1 and
// svndiff2, whose new data is compressed.
static std::vector<real_case>
real_cases()
{
	using namespace std::string_literals;
	return {
	    {"svnadmin dump, version 0",
		"\x53\x56\x4e\x00\x00\x9a\x16\x9a\x13\x0b\x34\x00\x8d\x06\x00\x9c\x00\x8c\x59\x8d\x3d\x98"
		"a changed line in the middleand one more at the end\n"s,
		dumped_text(false), dumped_text(true)},
	    {"mod_dav_svn, version 1",
		"\x53\x56\x4e\x01\x00\x9a\x16\x8a\x1e\x04\x81\x08\x03\x80\x8a\x1e\x8a\x1e\x78\x5e"
		"\x85\xd0\xc1\x0d\x83\x30\x00\x04\xc1\x7f\xaa\x70\x09\xdc\x5d\x42\x08\xdd\x20\x64"
		"\x89\x48\x04\x10\x76\xff\x4a\x09\xfb\xde\x7d\xcd\x30\x97\xe5\x38\xfb\x56\xef\xb2"
		"\x7f\x8f\x5a\xfa\xb6\xf4\xb2\x9e\xbf\xeb\xae\xad\xd5\xf6\x10\x74\x43\x0f\xf4\x27"
		"\xf4\x17\xf4\x11\xfa\x1b\xfa\x04\xfd\x43\x3e\x03\x0d\x24\x28\x22\x14\x19\x8a\x10"
		"\x45\x8a\x22\x46\x91\xa3\x08\x52\x24\x69\x92\x34\x49\x9a\x24\x4d\x92\x26\x49\x93"
		"\xa4\x49\xd2\x24\x69\x92\x34\x49\x86\x24\x43\x92\x21\xc9\x90\x64\x48\x32\x24\x19"
		"\x92\x0c\x49\x86\x24\x43\x92\x7f\x62\x2d\xd2\xf0"s,
		dumped_text(false), compressible_text()},
	    {"mod_dav_svn, version 2",
		"\x53\x56\x4e\x02\x00\x9a\x16\x8a\x1e\x04\x81\x6b\x03\x80\x8a\x1e\x8a\x1e\xff\x12"
		"\x30\x3a\x20\x61\x6e\x6f\x74\x68\x65\x72\x20\x6c\x69\x6e\x65\x20\x74\x68\x61\x74"
		"\x20\x63\x6f\x6d\x70\x72\x65\x73\x73\x65\x73\x0a\x31\x20\x00\x0c\x1f\x32\x20\x00"
		"\x0c\x1f\x33\x20\x00\x0c\x1f\x34\x20\x00\x0c\x1f\x35\x20\x00\x0c\x1f\x36\x20\x00"
		"\x0c\x1f\x37\x20\x00\x0c\x1f\x38\x20\x00\x0c\x1f\x39\x20\x00\x0c\x1f\x31\x41\x01"
		"\x0e\x0f\x42\x01\x0d\x1f\x31\x43\x01\x0d\x1f\x31\x44\x01\x0d\x1f\x31\x45\x01\x0d"
		"\x1f\x31\x46\x01\x0d\x1f\x31\x47\x01\x0d\x1f\x31\x48\x01\x0d\x1f\x31\x49\x01\x0d"
		"\x1f\x31\x4a\x01\x0d\x1f\x32\x4a\x01\x0d\x1f\x32\x4a\x01\x0d\x1f\x32\x4a\x01\x0d"
		"\x1f\x32\x4a\x01\x0d\x1f\x32\x4a\x01\x0d\x1f\x32\x4a\x01\x0d\x1f\x32\x4a\x01\x0d"
		"\x1f\x32\x4a\x01\x0d\x1f\x32\x4a\x01\x0d\x1f\x32\x4a\x01\x0d\x1f\x33\x4a\x01\x0d"
		"\x1f\x33\x4a\x01\x0d\x1f\x33\x4a\x01\x0d\x1f\x33\x4a\x01\x0d\x1f\x33\x4a\x01\x0d"
		"\x1f\x33\x4a\x01\x0d\x1f\x33\x4a\x01\x0d\x1f\x33\x4a\x01\x0d\x1f\x33\x4a\x01\x0d"
		"\x1f\x33\x4a\x01\x08\x50\x73\x73\x65\x73\x0a"s,
		dumped_text(false), compressible_text()},
	};
}

TEST(Svndiff, DecodesDeltasSubversionWrote)
{
	for (const real_case& c : real_cases()) {
		EXPECT_EQ(decode_in_pieces(c.source, c.stream, {}), c.text) << c.name;
		EXPECT_EQ(decode_in_pieces(c.source, c.stream, std::vector<size_t>(c.stream.size(), 1)), c.text) << c.name;
	}
}
