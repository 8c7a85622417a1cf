// svndiff: the delta format in which svnserve and mod_dav_svn send texts.
// A stream is "SVN", a version byte, then windows; each window rebuilds a
// piece of the text from a view of the source, the text it has built so
// far and new data of its own.  Every length and offset from the stream is
// checked before it is used.

#include "transport/transport.h"

#include <lz4.h>
#include <zlib.h>

#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// Subversion's windows are about 100 KiB; a stated length past this is
// taken for a damaged stream rather than allocated.
constexpr uint64_t window_limit = 64 << 20;

// A base-128 number takes at most this many bytes for 64 bits.
constexpr size_t number_bytes_max = 10;

constexpr std::string_view magic = "SVN";

enum class number_read { done, more, bad };

// The five numbers that open a window.
struct window_header {
	uint64_t source_offset = 0;
	uint64_t source_length = 0;
	uint64_t target_length = 0;
	uint64_t instructions_length = 0;
	uint64_t data_length = 0;
};

enum opcode { copy_source = 0, copy_target = 1, copy_new = 2 };

struct instruction {
	int code = 0;
	uint64_t length = 0;
	uint64_t offset = 0;	// copy_source and copy_target only
};

// Reads the big-endian base-128 number at pos in text and moves pos past
// it.  more: text ends inside it; bad: it does not fit 64 bits.
number_read
read_number(std::string_view text, size_t& pos, uint64_t& value)
{
	value = 0;
	for (size_t i = pos; i < text.size(); i++) {
		if (i - pos == number_bytes_max || value > (UINT64_MAX >> 7))
			return number_read::bad;
		auto byte = static_cast<unsigned char>(text[i]);
		value = (value << 7) | (byte & 0x7f);
		if ((byte & 0x80) == 0) {
			pos = i + 1;
			return number_read::done;
		}
	}
	return number_read::more;
}

// Reads a window's five numbers at pos in text.
number_read
read_window_header(std::string_view text, size_t& pos, window_header& header)
{
	uint64_t* fields[] = {&header.source_offset, &header.source_length, &header.target_length,
	    &header.instructions_length, &header.data_length};
	for (uint64_t* field : fields) {
		number_read r = read_number(text, pos, *field);
		if (r != number_read::done)
			return r;
	}
	return number_read::done;
}

// The message for a window whose stated lengths cannot be taken, or empty.
std::string
window_header_error(const window_header& header, size_t source_size)
{
	if (header.target_length > window_limit || header.instructions_length > window_limit ||
	    header.data_length > window_limit)
		return "svndiff: window too large";
	if (header.source_offset > source_size || header.source_length > source_size - header.source_offset)
		return "svndiff: source view past the end of the source";
	return {};
}

// Reads a length or offset of the instruction at pos in its section;
// empty on success, else the message.
std::string
read_operand(std::string_view section, size_t& pos, uint64_t& value)
{
	number_read r = read_number(section, pos, value);
	if (r == number_read::more)
		return "svndiff: instruction cut short";
	if (r == number_read::bad)
		return "svndiff: number too large";
	return {};
}

// Reads the instruction at pos in the instruction section; empty on
// success, else the message.
std::string
read_instruction(std::string_view section, size_t& pos, instruction& op)
{
	auto byte = static_cast<unsigned char>(section[pos++]);
	op.code = byte >> 6;
	op.length = byte & 0x3f;
	op.offset = 0;
	if (op.code == 3)
		return "svndiff: invalid instruction";
	std::string problem;
	if (op.length == 0)
		problem = read_operand(section, pos, op.length);
	if (problem.empty() && op.code != copy_new)
		problem = read_operand(section, pos, op.offset);
	if (problem.empty() && op.length == 0)
		problem = "svndiff: instruction of length zero";
	return problem;
}

// The text the window has built so far: out past base.
struct window_target {
	std::string& out;
	size_t base;
	uint64_t length;	// what the window must give

	size_t built() const { return out.size() - base; }
};

// Appends length bytes copied from offset in the target built so far.  The
// copy may run into the bytes it writes, repeating them: byte by byte.
void
copy_from_target(window_target& target, uint64_t offset, uint64_t length)
{
	size_t from = target.base + offset;
	size_t to = target.out.size();
	target.out.resize(to + length);
	char* p = target.out.data();
	for (uint64_t i = 0; i < length; i++)
		p[to + i] = p[from + i];
}

// Carries out one instruction; used counts the new data taken so far.
// Empty on success, else the message.
std::string
apply_instruction(const instruction& op, std::string_view view, std::string_view data, size_t& used,
    window_target& target)
{
	if (op.length > target.length - target.built())
		return "svndiff: window gives more than " + std::to_string(target.length) + " bytes";
	switch (op.code) {
	case copy_source:
		if (op.offset > view.size() || op.length > view.size() - op.offset)
			return "svndiff: copy outside the source view";
		target.out.append(view.substr(op.offset, op.length));
		break;
	case copy_target:
		if (op.offset >= target.built())
			return "svndiff: copy from beyond the target built";
		copy_from_target(target, op.offset, op.length);
		break;
	default:
		if (op.length > data.size() - used)
			return "svndiff: instruction past the new data";
		target.out.append(data.substr(used, op.length));
		used += op.length;
		break;
	}
	return {};
}

// Runs the window's instructions, appending its text to target.out.  Empty
// on success, else the message.
std::string
run_instructions(std::string_view instructions, std::string_view data, std::string_view view,
    window_target& target)
{
	size_t used = 0;

	for (size_t pos = 0; pos < instructions.size();) {
		instruction op;
		std::string problem = read_instruction(instructions, pos, op);
		if (problem.empty())
			problem = apply_instruction(op, view, data, used, target);
		if (!problem.empty())
			return problem;
	}
	if (target.built() != target.length)
		return "svndiff: window gives " + std::to_string(target.built()) + " bytes, expected " +
		    std::to_string(target.length);
	if (used != data.size())
		return "svndiff: window leaves new data unused";
	return {};
}

// Expands compressed into buffer, which holds exactly the stated length:
// zlib for version 1, an lz4 block for version 2.
bool
decompress(int version, std::string_view compressed, std::string& buffer)
{
	if (version == 1) {
		uLongf length = buffer.size();
		int r = uncompress(reinterpret_cast<Bytef*>(buffer.data()), &length,
		    reinterpret_cast<const Bytef*>(compressed.data()), compressed.size());
		return r == Z_OK && length == buffer.size();
	}
	if (compressed.size() > INT_MAX)
		return false;
	int length = LZ4_decompress_safe(compressed.data(), buffer.data(), static_cast<int>(compressed.size()),
	    static_cast<int>(buffer.size()));
	return length >= 0 && static_cast<size_t>(length) == buffer.size();
}

// A section of a version 1 or 2 window: its original length, then the
// bytes stored as they are when they are that long, else compressed.
// Points section at the original bytes (in buffer when they had to be
// expanded).  Empty on success, else the message.
std::string
expand_section(int version, std::string_view& section, std::string& buffer)
{
	size_t pos = 0;
	uint64_t length = 0;

	number_read r = read_number(section, pos, length);
	if (r != number_read::done)
		return "svndiff: section cut short";
	if (length > window_limit)
		return "svndiff: window too large";
	std::string_view rest = section.substr(pos);
	if (length == rest.size()) {
		section = rest;
		return {};
	}
	buffer.resize(length);
	if (!decompress(version, rest, buffer))
		return "svndiff: compressed section does not expand to its stated length";
	section = buffer;
	return {};
}

}	// namespace

svndiff_decoder::svndiff_decoder(std::string_view source) : source_(source)
{
}

const std::string&
svndiff_decoder::error() const
{
	return error_;
}

bool
svndiff_decoder::fail(std::string message)
{
	error_ = std::move(message);
	pending_.clear();
	return false;
}

bool
svndiff_decoder::feed(std::string_view bytes, std::string& out)
{
	if (!error_.empty())
		return false;
	bool kept = !pending_.empty();
	if (kept)
		pending_.append(bytes);
	std::string_view text = kept ? std::string_view(pending_) : bytes;
	size_t used = 0;
	if (!take_header(text, used) || !take_windows(text, used, out))
		return false;
	if (kept)
		pending_.erase(0, used);
	else
		pending_.assign(bytes.substr(used));
	return true;
}

bool
svndiff_decoder::finish()
{
	if (!error_.empty())
		return false;
	if (version_ < 0)
		return fail("svndiff: stream ends inside the header");
	if (!pending_.empty())
		return fail("svndiff: stream ends inside a window");
	return true;
}

// Reads "SVN" and the version at the front of text once they are all
// there, moving used past them; refuses them as soon as a byte is wrong.
bool
svndiff_decoder::take_header(std::string_view text, size_t& used)
{
	if (version_ >= 0)
		return true;
	std::string_view front = text.substr(0, magic.size());
	if (front != magic.substr(0, front.size()))
		return fail("svndiff: not a delta stream");
	if (text.size() <= magic.size())
		return true;
	int version = static_cast<unsigned char>(text[magic.size()]);
	if (version > 2)
		return fail("svndiff: unknown version " + std::to_string(version));
	version_ = version;
	used = magic.size() + 1;
	return true;
}

// Decodes every whole window of text past used into out, moving used past
// them.
bool
svndiff_decoder::take_windows(std::string_view text, size_t& used, std::string& out)
{
	if (version_ < 0)
		return true;
	for (;;) {
		size_t length = 0;
		step s = take_window(text.substr(used), length, out);
		if (s == step::bad)
			return false;
		if (s == step::more)
			return true;
		used += length;
	}
}

// Decodes the window at the front of text into out when it is whole,
// setting length to its size.
svndiff_decoder::step
svndiff_decoder::take_window(std::string_view text, size_t& length, std::string& out)
{
	window_header header;
	size_t pos = 0;

	number_read r = read_window_header(text, pos, header);
	std::string problem = r == number_read::bad ? "svndiff: number too large" : "";
	if (r == number_read::done)
		problem = window_header_error(header, source_.size());
	if (!problem.empty()) {
		fail(problem);
		return step::bad;
	}
	if (r == number_read::more)
		return step::more;
	if (text.size() - pos < header.instructions_length + header.data_length)
		return step::more;
	std::string_view instructions = text.substr(pos, header.instructions_length);
	std::string_view data = text.substr(pos + header.instructions_length, header.data_length);
	if (!expand_sections(instructions, data))
		return step::bad;
	std::string_view view = std::string_view(source_).substr(header.source_offset, header.source_length);
	window_target target{out, out.size(), header.target_length};
	problem = run_instructions(instructions, data, view, target);
	if (!problem.empty()) {
		out.resize(target.base);
		fail(problem);
		return step::bad;
	}
	length = pos + header.instructions_length + header.data_length;
	return step::whole;
}

// Versions 1 and 2: replaces both sections by their original bytes.
bool
svndiff_decoder::expand_sections(std::string_view& instructions, std::string_view& data)
{
	if (version_ == 0)
		return true;
	std::string problem = expand_section(version_, instructions, instructions_);
	if (problem.empty())
		problem = expand_section(version_, data, new_data_);
	return problem.empty() || fail(problem);
}
