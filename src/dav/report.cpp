// The WebDAV opening and listing: OPTIONS on the branch learns the revision
// and the repository root, and the update report lists every directory and
// file of the branch at that revision.

#include "dav/dav.h"
#include "local/local.h"
#include "transport/transport.h"

#include <err.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// The capabilities the client announces, as Subversion publishes them.
static constexpr const char* capability_lines =
    "DAV: http://subversion.tigris.org/xmlns/dav/svn/depth\r\n"
    "DAV: http://subversion.tigris.org/xmlns/dav/svn/mergeinfo\r\n"
    "DAV: http://subversion.tigris.org/xmlns/dav/svn/log-revprops\r\n";

static constexpr std::string_view options_document =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?><D:options xmlns:D=\"DAV:\">"
    "<D:activity-collection-set></D:activity-collection-set></D:options>";

// One file of the tree report, checked and decoded.
struct reported_file {
	std::string href;
	std::string path;
	std::string md5;
	std::string expansion;
	uint8_t executable = 0;
	uint8_t special = 0;
	uint8_t keyword = 0;
};

// True when the add-file element sets the property name inline.
static bool
sets_property(std::string_view element, std::string_view name)
{
	std::string tag = "<S:set-prop name=\"" + std::string(name) + "\"";
	return element.find(tag) != std::string_view::npos;
}

// The value that the add-file element sets inline for property name,
// entities decoded, and base64 decoded when the server marked it so (as it
// does for values that XML cannot carry); nullopt when it sets none.
static std::optional<std::string>
property_value(std::string_view element, std::string_view name)
{
	std::string tag = "<S:set-prop name=\"" + std::string(name) + "\"";
	size_t at = element.find(tag);
	if (at == std::string_view::npos)
		return std::nullopt;
	size_t open_end = element.find('>', at);
	size_t close = element.find("</S:set-prop>", at);
	if (open_end == std::string_view::npos || close == std::string_view::npos || close < open_end)
		return std::string();
	std::string_view open = element.substr(at, open_end - at);
	std::string value(element.substr(open_end + 1, close - open_end - 1));
	decode_xml_entities(value);
	if (open.find("encoding=\"base64\"") != std::string_view::npos)
		value = base64_decoded(value);
	return value;
}

// The "$FreeBSD$" expansion of a reported file whose svn:keywords asks
// for it, from the entry properties the report sets inline: the path as
// the repository names it below its root, the last changed revision, its
// date and author.  Empty when the file gets none.
static std::string
reported_expansion(std::string_view element, const std::string& trunk, const std::string& path)
{
	if (property_value(element, "svn:keywords") != "FreeBSD=%H")
		return {};
	std::optional<std::string> revision = property_value(element, "svn:entry:committed-rev");
	std::optional<std::string> date = property_value(element, "svn:entry:committed-date");
	std::optional<std::string> author = property_value(element, "svn:entry:last-author");
	if (!revision || !date || !author)
		return {};
	std::string full = trunk.empty() ? path.substr(1) : trunk + path;
	return keyword_expansion(full, *revision, *date, *author);
}

std::string
request_head(const connection& conn, const std::string& request_line)
{
	std::string head = request_line;

	head += "Host: " + server_authority(conn) + "\r\n";
	head += std::string("User-Agent: trelk-") + trelk_version + "\r\n";
	head += "Content-Type: text/xml\r\n";
	head += capability_lines;
	head += "Transfer-Encoding: chunked\r\n\r\n";
	return head;
}

std::string
one_chunk(std::string_view data)
{
	char size[20];

	snprintf(size, sizeof(size), "%zx\r\n", data.size());
	return size + std::string(data) + "\r\n0\r\n\r\n";
}

// The OPTIONS request on the branch.
static std::string
options_request(const connection& conn)
{
	return request_head(conn, "OPTIONS /" + conn.branch.value_or("") + " HTTP/1.1\r\n") +
	    one_chunk(options_document);
}

std::string
report_target(const connection& conn)
{
	return conn.repository_root.empty() ? "/!svn/me" : "/" + conn.repository_root + "/!svn/me";
}

// The update report request for the whole branch at conn.revision.
static std::string
report_request(const connection& conn)
{
	std::string me = report_target(conn);
	std::string revision = std::to_string(conn.revision);
	// include-props asks for each file's properties inline, so that a file
	// whose content is current still learns its executable bit.
	std::string document = "<S:update-report xmlns:S=\"svn:\"><S:include-props>yes</S:include-props>"
	    "<S:src-path>/" + conn.branch.value_or("") +
	    "</S:src-path><S:target-revision>" + revision +
	    "</S:target-revision><S:depth>unknown</S:depth><S:entry rev=\"" + revision +
	    "\" depth=\"infinity\" start-empty=\"true\"></S:entry></S:update-report>\r\n";
	return request_head(conn, "REPORT " + me + " HTTP/1.1\r\n") + one_chunk(document);
}

// The header block of the first answer in the response (all of it when
// it has no blank line).
static std::string_view
first_header(const connection& conn)
{
	std::string_view data(conn.response.data(), conn.response.length());
	size_t blank = data.find("\r\n\r\n");
	return blank == std::string_view::npos ? data : data.substr(0, blank + 2);
}

// Ends the run with status 1 when the first answer reports a failure
// (check_response has printed it).  Returns its body.
static std::string_view
judged_body(connection& conn)
{
	char* start = conn.response.data();
	char* end = start + conn.response.length();

	if (check_http_response(start, end) != 0)
		exit(1);
	return std::string_view(start, static_cast<size_t>(conn.response.data() + conn.response.length() - start));
}

// The value of header field name ("SVN-Youngest-Rev: ") in header, up to
// its line end; nullopt when the field or its line end is missing.
static std::optional<std::string_view>
header_value(std::string_view header, std::string_view name)
{
	size_t at = header.find(name);
	if (at == std::string_view::npos)
		return std::nullopt;
	at += name.size();
	size_t eol = header.find("\r\n", at);
	if (eol == std::string_view::npos)
		return std::nullopt;
	return header.substr(at, eol - at);
}

// Reads the youngest revision the server announces.
static int32_t
youngest_revision(std::string_view header)
{
	std::optional<std::string_view> value = header_value(header, "SVN-Youngest-Rev: ");
	if (!value || value->empty())
		errx(1, "Cannot find revision number.");
	int64_t revision = 0;
	for (char c : *value) {
		if (c < '0' || c > '9')
			errx(1, "Cannot find revision number.");
		revision = revision * 10 + (c - '0');
		if (revision > INT32_MAX)
			errx(1, "Cannot find revision number.");
	}
	return static_cast<int32_t>(revision);
}

// The repository root the server announces, without its leading "/".
static std::string
announced_root(std::string_view header)
{
	std::optional<std::string_view> value = header_value(header, "SVN-Repository-Root: ");
	if (!value)
		errx(1, "Cannot find SVN Repository Root.");
	std::string_view root = *value;
	if (!root.empty() && root.front() == '/')
		root.remove_prefix(1);
	return std::string(root);
}

// The branch's path below the repository root: "head" for the branch
// base/head in the repository base; empty when the branch is the root.
static std::string
branch_below_root(const std::string& branch, const std::string& root)
{
	std::string trunk;

	if (root.empty())
		trunk = branch;
	else if (branch == root)
		trunk = "";
	else if (branch.size() > root.size() && branch.compare(0, root.size(), root) == 0 &&
	    branch[root.size()] == '/')
		trunk = branch.substr(root.size() + 1);
	else
		errx(1, "Cannot find SVN Repository Trunk.");
	while (!trunk.empty() && trunk.back() == '/')
		trunk.pop_back();
	return trunk;
}

void
discover_http(connection& conn)
{
	process_command_http(conn, options_request(conn).c_str(), 1);
	judged_body(conn);
	std::string_view header = first_header(conn);
	if (conn.revision == 0)
		conn.revision = youngest_revision(header);
	conn.repository_root = announced_root(header);
	conn.trunk = branch_below_root(conn.branch.value_or(""), conn.repository_root);
	conn.uuid = std::string(header_value(header, "SVN-Repository-UUID: ").value_or(""));
}

// The text of the value of attribute name in the tag that begins at
// element, entities decoded; empty when it has none.
static std::string
attribute_value(std::string_view element, std::string_view name)
{
	std::string_view tag = element.substr(0, element.find('>'));
	std::string key = " " + std::string(name) + "=\"";
	size_t at = tag.find(key);
	if (at == std::string_view::npos)
		return "";
	at += key.size();
	std::string value(tag.substr(at, tag.find('"', at) - at));
	decode_xml_entities(value);
	return value;
}

// The path below the branch that a report href names ("/bin/ls"), still
// percent-encoded; empty for the branch itself, nullopt when the href lies
// outside the branch.  Hrefs read /<root>/!svn/<kind>/<revision>/<trunk>/...
static std::optional<std::string_view>
path_below_branch(std::string_view href, std::string_view trunk)
{
	size_t special = href.find("/!svn/");
	if (special == std::string_view::npos)
		return std::nullopt;
	std::string_view rest = href.substr(special + 6);
	size_t kind_end = rest.find('/');
	if (kind_end == std::string_view::npos)
		return std::nullopt;
	size_t revision_end = rest.find('/', kind_end + 1);
	rest = revision_end == std::string_view::npos ? std::string_view() : rest.substr(revision_end);
	if (trunk.empty())
		return rest;
	if (rest.size() < trunk.size() + 1 || rest[0] != '/' || rest.compare(1, trunk.size(), trunk) != 0)
		return std::nullopt;
	rest.remove_prefix(trunk.size() + 1);
	if (!rest.empty() && rest[0] != '/')
		return std::nullopt;
	return rest;
}

void
check_href(const std::string& href)
{
	for (unsigned char c : href)
		if (c <= ' ' || c == 0x7f)
			errx(1, "The tree report gives the unusable href \"%s\".  Quitting.",
			    printable_text(href).c_str());
}

// The href of the element that begins at element (its text up to the next
// add element), checked for use in a request; the run ends without one.
static std::string
element_href(std::string_view element)
{
	std::optional<std::string> href = parse_xml_value(element.data(), element.data() + element.size(), "D:href");
	if (!href)
		errx(1, "The tree report gives no href for %s.  Quitting.", attribute_value(element, "name").c_str());
	check_href(*href);
	return *href;
}

std::string
relative_path(const std::string& href, const std::string& trunk)
{
	std::optional<std::string_view> below = path_below_branch(href, trunk);
	if (!below || below->empty())
		errx(1, "The tree report names %s, which lies outside the branch.  Quitting.", href.c_str());
	// Each name is decoded on its own: an escaped "/" is part of a name
	// (and makes it unusable), never a separator.
	std::string path;
	std::string_view rest = below->substr(1);
	for (;;) {
		size_t slash = rest.find('/');
		std::string name(rest.substr(0, slash));
		percent_decode(name);
		check_repository_name(name);
		path += "/" + name;
		if (slash == std::string_view::npos)
			break;
		rest.remove_prefix(slash + 1);
	}
	return path;
}

// The MD5 checksum of an add-file element: 32 hexadecimal digits, made
// lower-case.  The run ends without one.
static std::string
element_md5(std::string_view element, const std::string& href)
{
	std::optional<std::string> md5 = parse_xml_value(element.data(), element.data() + element.size(), "V:md5-checksum");
	if (!md5)
		errx(1, "The tree report gives no MD5 checksum for %s.  Quitting.", href.c_str());
	if (md5->size() != 32)
		errx(1, "The tree report gives an unusable MD5 checksum \"%s\" for %s.  Quitting.", md5->c_str(), href.c_str());
	for (char& c : *md5) {
		if (!isxdigit(static_cast<unsigned char>(c)))
			errx(1, "The tree report gives an unusable MD5 checksum \"%s\" for %s.  Quitting.", md5->c_str(), href.c_str());
		c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
	}
	return *md5;
}

// The elements that begin with open_tag in body, each cut off where the
// next add element (or the end of an enclosing one) begins.
static std::vector<std::string_view>
add_elements(std::string_view body, std::string_view open_tag)
{
	std::vector<std::string_view> elements;

	for (size_t at = body.find(open_tag); at != std::string_view::npos; at = body.find(open_tag, at + 1)) {
		size_t next_open = body.find("<S:add-", at + 1);
		size_t next_close = body.find("</S:add-", at + 1);
		size_t end = std::min(std::min(next_open, next_close), body.size());
		elements.push_back(body.substr(at, end - at));
	}
	return elements;
}

void
list_tree_http(connection& conn, catalogue& cat, path_sets& sets)
{
	process_command_http(conn, report_request(conn).c_str(), 1);
	std::string_view body = judged_body(conn);
	if (body.find("</S:update-report>") == std::string_view::npos)
		errx(1, "The tree report from %s is incomplete.  Quitting.", conn.host.value_or("").c_str());

	size_t report_start = body.find("<S:update-report");
	bool inline_props = report_start != std::string_view::npos &&
	    body.substr(report_start, body.find('>', report_start) - report_start).find("inline-props=\"true\"") != std::string_view::npos;

	// Every entry is checked before anything is made.
	std::vector<std::string> directories;
	for (std::string_view element : add_elements(body, "<S:add-directory"))
		directories.push_back(relative_path(element_href(element), conn.trunk));
	std::vector<reported_file> files;
	for (std::string_view element : add_elements(body, "<S:add-file")) {
		reported_file file;
		file.href = element_href(element);
		file.path = relative_path(file.href, conn.trunk);
		file.md5 = element_md5(element, file.href);
		file.executable = sets_property(element, "svn:executable");
		file.special = sets_property(element, "svn:special");
		file.keyword = property_value(element, "svn:keywords") == "FreeBSD=%H";
		file.expansion = reported_expansion(element, conn.trunk, file.path);
		files.push_back(std::move(file));
	}

	complete_local_scan(sets);
	// New directories are made without a " + " line over WebDAV.
	for (const std::string& directory : directories)
		make_branch_directory(conn, sets, directory, false);
	for (reported_file& file : files) {
		clear_directory_for_file(conn, sets, file.path);
		file_node& node = new_file_node(cat);
		node.href = std::move(file.href);
		node.path = std::move(file.path);
		memcpy(node.md5, file.md5.c_str(), 33);
		// Servers that ignore include-props send no properties at all;
		// their files' properties are asked for one by one.
		if (inline_props) {
			node.props_known = 1;
			node.executable = file.executable;
			node.special = file.special;
			node.keyword = file.keyword;
			node.expansion = std::move(file.expansion);
		}
	}
}
