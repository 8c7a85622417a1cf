// Element texts of the WebDAV answers, XML entities and percent-escapes.
// Everything here reads within the bounds it is given and never writes
// into the response buffer.

#include "dav/dav.h"

#include <cstdint>
#include <cstring>

// Finds needle in [from, end), or returns null.
static const char*
find_between(const char* from, const char* end, std::string_view needle)
{
	if (from >= end || needle.empty())
		return nullptr;
	std::string_view hay(from, static_cast<size_t>(end - from));
	size_t at = hay.find(needle);
	return at == std::string_view::npos ? nullptr : from + at;
}

// Finds the opening tag of element tag in [from, end): "<tag" followed by
// ">", "/" or a blank, so that D:href never matches D:hrefs.  Returns the
// byte after the element name, or null.
static const char*
find_opening_tag(const char* from, const char* end, std::string_view tag)
{
	std::string open = "<" + std::string(tag);

	for (const char* at = find_between(from, end, open); at != nullptr;
	    at = find_between(at + 1, end, open)) {
		const char* after = at + open.size();
		if (after < end && (*after == '>' || *after == '/' || *after == ' ' ||
		    *after == '\t' || *after == '\r' || *after == '\n'))
			return after;
	}
	return nullptr;
}

std::optional<std::string>
parse_xml_value(const char* start, const char* end, std::string_view tag)
{
	const char* name_end = find_opening_tag(start, end, tag);
	if (name_end == nullptr)
		return std::nullopt;
	const char* close = static_cast<const char*>(memchr(name_end, '>', static_cast<size_t>(end - name_end)));
	if (close == nullptr)
		return std::nullopt;
	// An empty element, <tag/>, has an empty text.
	if (close[-1] == '/')
		return std::string();
	const char* value = close + 1;
	const char* closing = find_between(value, end, "</" + std::string(tag) + ">");
	if (closing == nullptr)
		return std::nullopt;
	std::string text(value, static_cast<size_t>(closing - value));
	decode_xml_entities(text);
	return text;
}

// Appends code point cp to out as UTF-8.
static void
append_utf8(std::string& out, uint32_t cp)
{
	if (cp < 0x80) {
		out += static_cast<char>(cp);
	} else if (cp < 0x800) {
		out += static_cast<char>(0xc0 | (cp >> 6));
		out += static_cast<char>(0x80 | (cp & 0x3f));
	} else if (cp < 0x10000) {
		out += static_cast<char>(0xe0 | (cp >> 12));
		out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
		out += static_cast<char>(0x80 | (cp & 0x3f));
	} else {
		out += static_cast<char>(0xf0 | (cp >> 18));
		out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
		out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
		out += static_cast<char>(0x80 | (cp & 0x3f));
	}
}

// The value of a hexadecimal digit, or -1.
static int
hex_value(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	return -1;
}

// The code point of a character reference body ("#38", "#x26"), or 0
// when it is not one XML allows (no digits, too large, a surrogate, NUL).
static uint32_t
character_reference(std::string_view body)
{
	if (body.size() < 2 || body[0] != '#')
		return 0;
	int base = 10;
	body.remove_prefix(1);
	if (body[0] == 'x') {
		base = 16;
		body.remove_prefix(1);
	}
	if (body.empty() || body.size() > 8)
		return 0;
	uint32_t cp = 0;
	for (char c : body) {
		int digit = base == 16 ? hex_value(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
		if (digit < 0)
			return 0;
		cp = cp * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
		if (cp > 0x10ffff)
			return 0;
	}
	if (cp >= 0xd800 && cp <= 0xdfff)
		return 0;
	return cp;
}

// Appends the text an entity body ("amp", "#60") stands for; false when it
// is not a known entity.
static bool
append_entity(std::string& out, std::string_view body)
{
	static const struct {
		std::string_view name;
		char text;
	} named[] = {
		{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}, {"apos", '\''},
	};

	for (const auto& entity : named)
		if (body == entity.name) {
			out += entity.text;
			return true;
		}
	uint32_t cp = character_reference(body);
	if (cp == 0)
		return false;
	append_utf8(out, cp);
	return true;
}

void
decode_xml_entities(std::string& text)
{
	if (text.find('&') == std::string::npos)
		return;
	std::string out;
	out.reserve(text.size());
	size_t at = 0;
	while (at < text.size()) {
		size_t amp = text.find('&', at);
		if (amp == std::string::npos)
			break;
		out.append(text, at, amp - at);
		size_t semi = text.find(';', amp + 1);
		// Entity names are short; a far ";" belongs to something else.
		if (semi != std::string::npos && semi - amp <= 12 &&
		    append_entity(out, std::string_view(text).substr(amp + 1, semi - amp - 1))) {
			at = semi + 1;
		} else {
			out += '&';
			at = amp + 1;
		}
	}
	out.append(text, at, std::string::npos);
	text = std::move(out);
}

void
percent_decode(std::string& text)
{
	size_t out = 0;

	// Writing never overtakes reading, so the text is decoded in place.
	for (size_t at = 0; at < text.size(); out++) {
		int high = at + 2 < text.size() && text[at] == '%' ? hex_value(text[at + 1]) : -1;
		int low = high >= 0 ? hex_value(text[at + 2]) : -1;
		if (low >= 0) {
			text[out] = static_cast<char>(high * 16 + low);
			at += 3;
		} else
			text[out] = text[at++];
	}
	text.resize(out);
}

// The value of one base64 digit, or -1.
static int
base64_digit(char c)
{
	if (c >= 'A' && c <= 'Z')
		return c - 'A';
	if (c >= 'a' && c <= 'z')
		return c - 'a' + 26;
	if (c >= '0' && c <= '9')
		return c - '0' + 52;
	return c == '+' ? 62 : c == '/' ? 63 : -1;
}

std::string
base64_decoded(std::string_view text)
{
	std::string out;
	uint32_t bits = 0;
	int count = 0;

	for (char c : text) {
		int digit = base64_digit(c);
		if (digit < 0)
			continue;
		bits = (bits << 6) | static_cast<uint32_t>(digit);
		count += 6;
		if (count >= 8) {
			count -= 8;
			out += static_cast<char>((bits >> count) & 0xff);
		}
	}
	return out;
}
