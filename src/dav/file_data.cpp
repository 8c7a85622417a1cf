// The PROPFIND and GET answers of the fetch: one file's properties, where
// each file's answer lies in a batch of GET answers, and the texts that
// come as deltas against the local copy or compressed.

#include "dav/dav.h"
#include "local/local.h"
#include "transport/transport.h"

#include <err.h>
#include <strings.h>
#include <zlib.h>

#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

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

// The most bytes of text one file may have: the readers count in 32 bits.
static constexpr size_t largest_text = (size_t(1) << 31) - 1;

// The svndiff is fed to the decoder in pieces of this size, so that the
// text it makes is checked against largest_text as it grows.
static constexpr size_t delta_piece = 65536;

std::string
base_delta_lines(const connection& conn, const file_node& node)
{
	if (node.base_md5.empty() || node.base_href.empty() ||
	    !local_base_text(node.base_md5.c_str(), *conn.path_target + node.path))
		return {};
	return "X-SVN-VR-Base: " + node.base_href + "\r\nAccept-Encoding: svndiff1;q=0.9,svndiff;q=0.8\r\n";
}

std::string
text_encoding_lines(const connection& conn, const file_node& node)
{
	std::string lines = base_delta_lines(conn, node);
	return lines.empty() ? "Accept-Encoding: gzip\r\n" : lines;
}

// True when the answer's body is an svndiff, as the server labels one.
static bool
is_svndiff_answer(std::string_view header)
{
	static constexpr std::string_view svndiff = "application/vnd.svn-svndiff";

	std::string_view type = header_field(header, "Content-Type").value_or("");
	type = type.substr(0, type.find(';'));
	while (!type.empty() && (type.back() == ' ' || type.back() == '\t'))
		type.remove_suffix(1);
	return type.size() == svndiff.size() && strncasecmp(type.data(), svndiff.data(), svndiff.size()) == 0;
}

bool
take_delta_text(connection& conn, file_node& node, std::string_view header, std::string_view body)
{
	if (node.base_md5.empty() || !is_svndiff_answer(header))
		return false;
	std::string local_path = *conn.path_target + node.path;
	std::optional<std::string> base = local_base_text(node.base_md5.c_str(), local_path);
	if (!base)
		errx(1, "%s changed while its delta was fetched.  Quitting.", local_path.c_str());
	svndiff_decoder decoder(*base);
	std::string text;
	while (!body.empty()) {
		std::string_view piece = body.substr(0, delta_piece);
		body.remove_prefix(piece.size());
		if (!decoder.feed(piece, text))
			break;
		if (text.size() > largest_text)
			errx(1, "%s is too large to fetch (%zu bytes)", local_path.c_str(), text.size());
	}
	if (!decoder.error().empty() || !decoder.finish())
		errx(1, "The server sent a broken text for %s (%s).  Quitting.", local_path.c_str(), decoder.error().c_str());
	conn.http_text = std::move(text);
	node.size = static_cast<int64_t>(conn.http_text.size());
	return true;
}

namespace {

// An inflate stream for gzip data, ended with its scope.
struct gzip_stream {
	gzip_stream()
	{
		if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK)
			errx(1, "Cannot start zlib.");
	}
	~gzip_stream() { inflateEnd(&z); }
	gzip_stream(const gzip_stream&) = delete;
	gzip_stream& operator=(const gzip_stream&) = delete;

	z_stream z = {};
};

} // namespace

// Inflates one gzip member that must fill body exactly into text.  Returns
// why it failed, or empty; the run ends once text passes largest_text.
static std::string
gunzip(std::string_view body, std::string& text, const std::string& local_path)
{
	gzip_stream stream;
	z_stream& z = stream.z;
	char out[delta_piece];
	int result = Z_OK;

	z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
	while (result == Z_OK) {
		// zlib counts its input in 32 bits; a body is below 2 GiB.
		z.avail_in = static_cast<uInt>(body.size() - z.total_in);
		z.next_out = reinterpret_cast<Bytef*>(out);
		z.avail_out = sizeof(out);
		result = inflate(&z, Z_NO_FLUSH);
		text.append(out, sizeof(out) - z.avail_out);
		if (text.size() > largest_text)
			errx(1, "%s is too large to fetch (%zu bytes)", local_path.c_str(), text.size());
		if (result == Z_BUF_ERROR && z.avail_in == 0)
			return "gzip: the data ends early";
	}
	if (result != Z_STREAM_END)
		return std::string("gzip: ") + (z.msg != nullptr ? z.msg : "broken data");
	if (z.total_in != body.size())
		return "gzip: data after the end";
	return {};
}

bool
take_encoded_text(connection& conn, file_node& node, std::string_view header, std::string_view body)
{
	std::string_view coding = header_field(header, "Content-Encoding").value_or("");
	if (coding.empty() || (coding.size() == 8 && strncasecmp(coding.data(), "identity", 8) == 0))
		return false;
	std::string local_path = *conn.path_target + node.path;
	std::string reason = "the unknown coding " + printable_text(coding);
	std::string text;
	if (coding.size() == 4 && strncasecmp(coding.data(), "gzip", 4) == 0)
		reason = gunzip(body, text, local_path);
	if (!reason.empty())
		errx(1, "The server sent a broken text for %s (%s).  Quitting.", local_path.c_str(), reason.c_str());
	conn.http_text = std::move(text);
	node.size = static_cast<int64_t>(conn.http_text.size());
	return true;
}
