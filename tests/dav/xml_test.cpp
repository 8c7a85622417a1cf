// Element texts, XML entities and percent-escapes.

#include "dav/dav.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// The text in a heap block of exactly its size, so that a read past the
// end is caught by the sanitizers.
std::unique_ptr<char[]>
exact_copy(const std::string& text)
{
	auto copy = std::make_unique<char[]>(text.size());
	text.copy(copy.get(), text.size());
	return copy;
}

TEST(ParseXmlValue, FindsTheFirstElementWithinBounds)
{
	struct value_case {
		std::string text;
		size_t end;		// bytes of text that are in bounds
		const char* tag;
		std::optional<std::string> value;
	} cases[] = {
		{"<a><D:href>/x/y</D:href></a>", std::string::npos, "D:href", "/x/y"},
		{"<D:hrefs>no</D:hrefs><D:href>yes</D:href>", std::string::npos, "D:href", "yes"},
		{"<lp1:getetag xmlns:lp1=\"DAV:\">&quot;1//a&quot;</lp1:getetag>", std::string::npos, "lp1:getetag", "\"1//a\""},
		{"<S:executable/><S:special>*</S:special>", std::string::npos, "S:executable", ""},
		{"<D:href>/x</D:href>", 15, "D:href", std::nullopt},
		{"<D:href>/x</D:href>", 6, "D:href", std::nullopt},
		{"<D:href", std::string::npos, "D:href", std::nullopt},
		{"<D:href>/x", std::string::npos, "D:href", std::nullopt},
		{"", std::string::npos, "D:href", std::nullopt},
		{"<V:md5-checksum>abc</V:md5-checksum>", std::string::npos, "D:href", std::nullopt},
	};

	for (const value_case& c : cases) {
		SCOPED_TRACE(c.text);
		std::string in_bounds = c.text.substr(0, c.end);
		auto copy = exact_copy(in_bounds);
		EXPECT_EQ(parse_xml_value(copy.get(), copy.get() + in_bounds.size(), c.tag), c.value);
	}
}

TEST(DecodeXmlEntities, Table)
{
	struct entity_case {
		std::string in;
		std::string out;
	} cases[] = {
		{"c&amp;d&lt;e&gt;.txt", "c&d<e>.txt"},
		{"&quot;a&apos;", "\"a'"},
		{"&#65;&#x42;&#x6a;", "ABj"},
		{"&#233;&#x20AC;&#x1F600;", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
		{"&amp;lt;", "&lt;"},
		{"a & b", "a & b"},
		{"&unknown; &#; &#x; &#0; &#xD800; &#x110000; &#65", "&unknown; &#; &#x; &#0; &#xD800; &#x110000; &#65"},
		{"trailing &", "trailing &"},
		{"plain", "plain"},
	};

	for (const entity_case& c : cases) {
		std::string text = c.in;
		decode_xml_entities(text);
		EXPECT_EQ(text, c.out) << c.in;
	}
}

TEST(PercentDecode, Table)
{
	struct percent_case {
		std::string in;
		std::string out;
	} cases[] = {
		{"/a%20b", "/a b"},
		{"%2f%2F", "//"},
		{"%2525", "%25"},
		{"%41%42c", "ABc"},
		{"%", "%"},
		{"a%", "a%"},
		{"%4", "%4"},
		{"%zz%41", "%zzA"},
		{"%%41", "%A"},
		{"%41%", "A%"},
		{"%00x", std::string("\0x", 2)},
		{"", ""},
	};

	for (const percent_case& c : cases) {
		std::string text = c.in;
		percent_decode(text);
		EXPECT_EQ(text, c.out) << c.in;
	}
}

} // namespace
