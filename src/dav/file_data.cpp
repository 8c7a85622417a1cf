// The PROPFIND and GET answers of the fetch: one file's properties, and
// where each file's answer lies in a batch of GET answers.

#include "dav/dav.h"
#include "local/local.h"

#include <err.h>

#include <climits>
#include <cstring>

// The text of element tag in [part, part_end); the run ends, naming the
// file, when a property the fetch cannot do without is missing.
static std::string
required_value(const char* part, const char* part_end, std::string_view tag, const file_node& node)
{
	std::optional<std::string> value = parse_xml_value(part, part_end, tag);
	if (!value)
		errx(1, "The server gives no %.*s for %s.  Quitting.", static_cast<int>(tag.size()), tag.data(),
		    node.path.c_str());
	return *value;
}

// The file's length from its getcontentlength: decimal, below 2 GiB.
static int64_t
content_length(const char* part, const char* part_end, const file_node& node)
{
	std::string text = required_value(part, part_end, "lp1:getcontentlength", node);
	int64_t length = 0;

	for (char c : text) {
		if (c < '0' || c > '9' || length > (INT32_MAX - (c - '0')) / 10)
			errx(1, "The server gives the unusable length \"%s\" for %s.  Quitting.", text.c_str(),
			    node.path.c_str());
		length = length * 10 + (c - '0');
	}
	if (text.empty())
		errx(1, "The server gives the unusable length \"\" for %s.  Quitting.", node.path.c_str());
	return length;
}

// The repository path in the file's entity tag, "345//head/bin/ls/ls.c"
// in quotation marks: the text after "//" without the closing mark.
static std::string
etag_path(const char* part, const char* part_end, const file_node& node)
{
	std::string etag = required_value(part, part_end, "lp1:getetag", node);
	size_t slashes = etag.find("//");

	if (slashes == std::string::npos)
		errx(1, "The server gives the unusable entity tag %s for %s.  Quitting.", etag.c_str(),
		    node.path.c_str());
	std::string path = etag.substr(slashes + 2);
	if (!path.empty() && path.back() == '"')
		path.pop_back();
	return path;
}

// True when the file's svn:keywords is exactly FreeBSD=%H, the one value
// whose keyword trelk expands (as over svn).
static bool
wants_expansion(const char* part, const char* part_end)
{
	std::optional<std::string> keywords = parse_xml_value(part, part_end, "S:keywords");
	return keywords && *keywords == "FreeBSD=%H";
}

void
read_webdav_properties(const char* part, const char* part_end, file_node& node, std::string& expansion)
{
	node.size = content_length(part, part_end, node);
	node.executable = parse_xml_value(part, part_end, "S:executable") ? 1 : 0;
	node.special = parse_xml_value(part, part_end, "S:special") ? 1 : 0;
	std::string path = etag_path(part, part_end, node);
	node.keyword = wants_expansion(part, part_end) ? 1 : 0;
	if (!node.keyword)
		return;

	// Without all of author, date and revision the file is written as it is.
	std::optional<std::string> author = parse_xml_value(part, part_end, "lp1:creator-displayname");
	std::optional<std::string> date = parse_xml_value(part, part_end, "lp1:creationdate");
	std::optional<std::string> revision = parse_xml_value(part, part_end, "lp1:version-name");
	if (!author || !date || !revision)
		return;
	expansion = keyword_expansion(path, *revision, *date, *author);
}

int64_t
size_webdav_answers(const char* response, const char* response_end, catalogue& cat, int32_t first, int32_t last)
{
	std::string_view answers(response, static_cast<size_t>(response_end - response));
	size_t position = 0;
	int64_t total = 0;
	bool complete = true;

	for (int32_t i = first; i <= last; i++) {
		file_node& node = cat.file[static_cast<size_t>(i)];
		if (node.download == 0)
			continue;
		size_t blank = complete ? answers.find("\r\n\r\n", position) : std::string_view::npos;
		size_t body = blank + 4;
		if (blank == std::string_view::npos || answers.size() - body < static_cast<uint64_t>(node.size)) {
			// The answers end before this file's body: nothing of it is used.
			complete = false;
			node.raw_size = 0;
			continue;
		}
		node.raw_size = static_cast<int64_t>(body - position) + node.size;
		position = body + static_cast<size_t>(node.size);
		total += node.raw_size;
	}
	return complete ? total : -1;
}
