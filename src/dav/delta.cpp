// The WebDAV delta: an update report from the revision a tree is at, read
// with a streaming XML parser into the directories and files that changed.

#include "dav/dav.h"
#include "local/local.h"
#include "transport/transport.h"

#if defined(__FreeBSD__)
#include <bsdxml.h>
#else
#include <expat.h>
#endif

#include <err.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Where the reading of a report stands.
struct delta_reader {
	delta_reader(const std::string& branch_path, tree_delta& out) : trunk(branch_path), delta(out) {}

	const std::string& trunk;
	tree_delta& delta;
	XML_Parser parser = nullptr;
	std::string reason;		// why the reading failed; empty while it has not
	std::vector<std::string> directories;	// the open ones, outermost first
	std::optional<changed_file> file;	// the file being read
	std::string file_revision;	// the revision an opened file was at
	bool in_checked_in = false;
	bool collecting = false;	// the element's text goes to text
	std::string text;
	std::string property;		// the name of the set-prop being read
	bool base64 = false;
	bool ended = false;		// the report's root element closed
	// A name that would leave the target: it ends the run once the parser
	// is freed, never from inside one of its handlers.
	std::optional<std::string> refused_name;
};

} // namespace

// text with & < > and " escaped for an element's text.
static std::string
xml_escaped(std::string_view text)
{
	std::string out;

	for (char c : text) {
		switch (c) {
		case '&': out += "&amp;"; break;
		case '<': out += "&lt;"; break;
		case '>': out += "&gt;"; break;
		case '"': out += "&quot;"; break;
		default: out += c;
		}
	}
	return out;
}

std::string
delta_request(const connection& conn, int32_t from, const std::vector<std::string>& missing)
{
	std::string document = "<S:update-report xmlns:S=\"svn:\"><S:include-props>yes</S:include-props>"
	    "<S:src-path>/" + xml_escaped(conn.branch.value_or("")) +
	    "</S:src-path><S:target-revision>" + std::to_string(conn.revision) +
	    "</S:target-revision><S:depth>unknown</S:depth><S:entry rev=\"" + std::to_string(from) +
	    "\" depth=\"infinity\"></S:entry>";
	for (const std::string& path : missing) {
		std::string_view below = path;
		if (!below.empty() && below.front() == '/')
			below.remove_prefix(1);
		document += "<S:missing>" + xml_escaped(below) + "</S:missing>";
	}
	document += "</S:update-report>\r\n";
	return request_head(conn, "REPORT " + report_target(conn) + " HTTP/1.1\r\n") + one_chunk(document);
}

// The element's name without its namespace prefix.
static std::string_view
local_name(const XML_Char* name)
{
	std::string_view full = name;
	size_t colon = full.rfind(':');
	return colon == std::string_view::npos ? full : full.substr(colon + 1);
}

// The value of attribute name, or null.
static const XML_Char*
attribute(const XML_Char** attributes, std::string_view name)
{
	for (size_t i = 0; attributes[i] != nullptr; i += 2)
		if (local_name(attributes[i]) == name)
			return attributes[i + 1];
	return nullptr;
}

// Stops the parser with reason.
static void
fail(delta_reader& reader, std::string reason)
{
	if (reader.reason.empty())
		reader.reason = std::move(reason);
	XML_StopParser(reader.parser, XML_FALSE);
}

// The path of the entry name in the innermost open directory, its name
// checked; empty when there is no such directory or name (the reader fails).
static std::string
entry_path(delta_reader& reader, const XML_Char* name, std::string_view element)
{
	if (reader.directories.empty() || name == nullptr || reader.file) {
		fail(reader, std::string(element) + " outside a directory or without a name");
		return {};
	}
	if (!is_clean_name(name)) {
		reader.refused_name = name;
		fail(reader, "an unusable name");
		return {};
	}
	return reader.directories.back() + "/" + name;
}

// open-directory and add-directory: the report's first one is the branch.
static void
start_directory(delta_reader& reader, const XML_Char** attributes, bool added)
{
	if (reader.directories.empty()) {
		reader.directories.emplace_back();
		return;
	}
	std::string path = entry_path(reader, attribute(attributes, "name"), "a directory");
	if (path.empty())
		return;
	if (added)
		reader.delta.added_directories.push_back(path);
	reader.directories.push_back(std::move(path));
}

static void
start_file(delta_reader& reader, const XML_Char** attributes, bool added)
{
	std::string path = entry_path(reader, attribute(attributes, "name"), "a file");
	if (path.empty())
		return;
	changed_file& file = reader.file.emplace();
	const XML_Char* revision = attribute(attributes, "rev");
	reader.file_revision = revision != nullptr && !added ? revision : "";
	file.repository_path = reader.trunk.empty() ? path.substr(1) : reader.trunk + path;
	file.path = std::move(path);
	file.added = added;
}

// Begins collecting the text of a property that the file sets.
static void
start_property(delta_reader& reader, const XML_Char** attributes)
{
	const XML_Char* name = attribute(attributes, "name");
	if (name == nullptr)
		return fail(reader, "a property without a name");
	const XML_Char* encoding = attribute(attributes, "encoding");
	reader.property = name;
	reader.base64 = encoding != nullptr && strcmp(encoding, "base64") == 0;
	reader.collecting = true;
}

static void
remove_property(delta_reader& reader, const XML_Char** attributes)
{
	const XML_Char* name = attribute(attributes, "name");
	if (name == nullptr)
		return fail(reader, "a property without a name");
	reader.file->properties.push_back({name, std::nullopt});
}

static void XMLCALL
element_start(void* data, const XML_Char* full_name, const XML_Char** attributes)
{
	delta_reader& reader = *static_cast<delta_reader*>(data);
	std::string_view name = local_name(full_name);

	reader.text.clear();
	if (name == "open-directory" || name == "add-directory")
		start_directory(reader, attributes, name == "add-directory");
	else if (name == "delete-entry") {
		std::string path = entry_path(reader, attribute(attributes, "name"), "delete-entry");
		if (!path.empty())
			reader.delta.deleted.push_back(std::move(path));
	} else if (name == "open-file" || name == "add-file")
		start_file(reader, attributes, name == "add-file");
	else if (!reader.file)
		return;
	else if (name == "checked-in")
		reader.in_checked_in = true;
	else if (name == "href")
		reader.collecting = reader.in_checked_in;
	else if (name == "md5-checksum")
		reader.collecting = true;
	else if (name == "fetch-file") {
		const XML_Char* base = attribute(attributes, "base-checksum");
		reader.file->base_md5 = base != nullptr ? base : "";
	} else if (name == "set-prop")
		start_property(reader, attributes);
	else if (name == "remove-prop")
		remove_property(reader, attributes);
}

// The MD5 as 32 lower-case hexadecimal digits; empty when it is not one.
static std::string
checked_md5(std::string md5)
{
	if (md5.size() != 32)
		return {};
	for (char& c : md5) {
		if (!isxdigit(static_cast<unsigned char>(c)))
			return {};
		c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
	}
	return md5;
}

// href ("/base/!svn/rvr/2/head/x.c") made to name the same path at
// revision, a decimal number; empty when either is not of that form.
static std::string
revision_href(std::string_view href, std::string_view revision)
{
	if (revision.empty() || revision.size() > 10 ||
	    !std::all_of(revision.begin(), revision.end(), [](char c) { return c >= '0' && c <= '9'; }))
		return {};
	size_t special = href.find("/!svn/");
	size_t kind_end = special == std::string_view::npos ? special : href.find('/', special + 6);
	size_t path = kind_end == std::string_view::npos ? kind_end : href.find('/', kind_end + 1);
	if (path == std::string_view::npos)
		return {};
	return std::string(href.substr(0, special)) + "/!svn/rvr/" + std::string(revision) + std::string(href.substr(path));
}

// The base an opened file's delta can apply to: the text it had at the
// revision the tree reported, where the server names its MD5.  Nothing
// when the server names none, or names it in a form not understood.
static void
take_base(changed_file& file, const std::string& revision)
{
	file.base_md5 = checked_md5(std::move(file.base_md5));
	file.base_href = file.base_md5.empty() ? "" : revision_href(file.href, revision);
	if (file.base_href.empty())
		file.base_md5.clear();
}

// Closes the file: its href must name the path its nesting gives, and its
// MD5 must be there.
static void
end_file(delta_reader& reader)
{
	changed_file& file = *reader.file;

	if (file.href.empty())
		return fail(reader, "no href for " + printable_text(file.path));
	file.md5 = checked_md5(std::move(file.md5));
	if (file.md5.empty())
		return fail(reader, "no usable MD5 checksum for " + printable_text(file.path));
	take_base(file, reader.file_revision);
	reader.delta.files.push_back(std::move(file));
	reader.file.reset();
}

// Takes the text collected for the element name that ends in the file.
static void
end_file_part(delta_reader& reader, std::string_view name)
{
	if (name == "checked-in")
		reader.in_checked_in = false;
	else if (name == "href" && reader.collecting)
		reader.file->href = reader.text;
	else if (name == "md5-checksum")
		reader.file->md5 = reader.text;
	else if (name == "set-prop" && reader.collecting)
		reader.file->properties.push_back({reader.property,
		    reader.base64 ? base64_decoded(reader.text) : reader.text});
}

static void XMLCALL
element_end(void* data, const XML_Char* full_name)
{
	delta_reader& reader = *static_cast<delta_reader*>(data);
	std::string_view name = local_name(full_name);

	if (name == "open-directory" || name == "add-directory") {
		if (!reader.directories.empty())
			reader.directories.pop_back();
	} else if (name == "open-file" || name == "add-file") {
		if (reader.file)
			end_file(reader);
	} else if (name == "update-report")
		reader.ended = true;
	else if (reader.file)
		end_file_part(reader, name);
	reader.collecting = false;
	reader.text.clear();
}

static void XMLCALL
element_text(void* data, const XML_Char* text, int length)
{
	delta_reader& reader = *static_cast<delta_reader*>(data);

	if (reader.collecting)
		reader.text.append(text, static_cast<size_t>(length));
}

// Feeds the body to the parser in pieces that an int can measure, then
// ends the document once the report's root has closed: a body that stops
// before that is told apart from malformed XML.  False on an error.
static bool
parse_body(delta_reader& reader, std::string_view body)
{
	bool parsed = true;

	while (parsed && !body.empty()) {
		size_t piece = std::min(body.size(), static_cast<size_t>(1) << 30);
		parsed = XML_Parse(reader.parser, body.data(), static_cast<int>(piece), XML_FALSE) != XML_STATUS_ERROR;
		body.remove_prefix(piece);
	}
	if (!parsed)
		return false;
	if (!reader.ended) {
		reader.reason = "the report ends short";
		return false;
	}
	return XML_Parse(reader.parser, nullptr, 0, XML_TRUE) != XML_STATUS_ERROR;
}

// Each file's href must be usable in a request and name the path its
// nesting gives: a server that names one thing and serves another is not
// believed.  An href outside the branch ends the run.
static void
check_hrefs(const tree_delta& delta, const std::string& trunk, std::string& reason)
{
	for (const changed_file& file : delta.files) {
		check_href(file.href);
		if (relative_path(file.href, trunk) != file.path) {
			reason = "the href " + file.href + " does not name " + printable_text(file.path);
			return;
		}
	}
}

struct parser_free {
	void operator()(XML_ParserStruct* parser) const { XML_ParserFree(parser); }
};

bool
parse_delta_report(std::string_view body, const std::string& trunk, tree_delta& delta, std::string& reason)
{
	delta_reader reader(trunk, delta);

	delta = {};
	std::unique_ptr<XML_ParserStruct, parser_free> parser(XML_ParserCreate(nullptr));
	reader.parser = parser.get();
	if (reader.parser == nullptr)
		errx(1, "Cannot create an XML parser.");
	XML_SetUserData(reader.parser, &reader);
	XML_SetElementHandler(reader.parser, element_start, element_end);
	XML_SetCharacterDataHandler(reader.parser, element_text);
	if (!parse_body(reader, body) && reader.reason.empty())
		reader.reason = std::string("malformed XML: ") + XML_ErrorString(XML_GetErrorCode(reader.parser));
	parser.reset();
	if (reader.refused_name)
		check_repository_name(*reader.refused_name);
	reason = reader.reason;
	if (reason.empty())
		check_hrefs(delta, trunk, reason);
	return reason.empty();
}

// The reason the delta's answer failed, or empty when it did not.  An
// answer cut short under a success status is found by the parser: only
// the report's closing tag proves it whole.
static std::string
answer_failure(const connection& conn)
{
	if (conn.http_answers.empty())
		return "no answer";
	const http_answer& answer = conn.http_answers.front();
	if (answer.status < 200 || answer.status > 299)
		return "the server answered " + answer.status_text;
	return {};
}

bool
read_delta_http(connection& conn, int32_t from, const std::vector<std::string>& missing, tree_delta& delta)
{
	// A server that fails while it writes the report ends the connection
	// inside the body: the full run follows, with no need to ask again.
	std::string reason = exchange_once_http(conn, delta_request(conn, from, missing).c_str(), 1)
	    ? answer_failure(conn) : "the connection ended inside the report";
	if (reason.empty()) {
		const http_answer& answer = conn.http_answers.front();
		std::string_view body(conn.response.data() + answer.body, answer.length);
		parse_delta_report(body, conn.trunk, delta, reason);
	}
	if (reason.empty())
		return true;
	warnx("Error in http delta: %s", reason.c_str());
	delta = {};
	return false;
}
