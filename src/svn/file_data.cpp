// The answers of get-file: the properties of a file, and its content sent
// as a run of strings.

#include "svn/svn.h"

#include "local/local.h"

#include <cstring>
#include <string>
#include <string_view>

// Reads ( success ( ( md5 ) revision ( ( name value ) ... ) ) ).  Returns
// false when the group has another form.
static bool
read_property_group(char* group, char* group_end, file_properties& found, std::string_view& md5)
{
	svn_items items{group, group_end};

	svn_open_list(items);
	if (svn_read_word(items) != "success")
		return false;
	svn_open_list(items);
	svn_open_list(items);
	if (!svn_close_list(items)) {
		md5 = svn_read_string(items);
		while (items.ok && !svn_close_list(items))
			svn_skip_item(items);
	}
	svn_read_word(items);
	svn_open_list(items);
	while (items.ok && !svn_close_list(items)) {
		svn_open_list(items);
		std::string_view name = svn_read_string(items);
		std::string_view value = svn_read_string(items);
		while (items.ok && !svn_close_list(items))
			svn_skip_item(items);
		if (items.ok)
			take_file_property(name, value, found);
	}
	return items.ok;
}

// The path of the branch inside its repository: the text after the first
// "/" ("base/head" is the branch head of repository base).  A branch that
// is a whole repository has none.
static std::string_view
branch_path(const std::string& branch)
{
	size_t slash = branch.find('/');
	return slash == std::string::npos ? std::string_view() : std::string_view(branch).substr(slash + 1);
}

std::string
svn_repository_path(const std::string& path, const std::string& branch)
{
	std::string_view below = branch_path(branch);
	return below.empty() ? path.substr(1) : std::string(below) + path;
}

std::string
svn_expansion_text(const file_properties& found, const std::string& path, const std::string& branch)
{
	return file_expansion_text(found, svn_repository_path(path, branch));
}

void
read_svn_properties(char* group, char* group_end, file_node& node, const std::string& branch, std::string& expansion)
{
	file_properties found;
	std::string_view md5;

	if (!read_property_group(group, group_end, found, md5) || !is_md5_text(md5))
		return;
	memcpy(node.md5, md5.data(), 32);
	node.md5[32] = '\0';
	node.executable = found.executable;
	node.special = found.special;
	node.keyword = found.freebsd_keyword;
	expansion = svn_expansion_text(found, node.path, branch);
}

// The number of decimal digits of n.
static int64_t
digits(int64_t n)
{
	int64_t count = 1;
	while (n >= 10) {
		n /= 10;
		count++;
	}
	return count;
}

int64_t
svn_content_size(int64_t size, int32_t revision)
{
	int64_t rest = size % 4096;
	int64_t raw = size + 103 + digits(revision) + 6 * (size / 4096);
	if (rest > 0)
		raw += digits(rest) + 2;
	return raw;
}

char*
join_svn_content(char* start, char* end, char* region_end, int64_t& length)
{
	static constexpr std::string_view closing = " ( success ( ) ) ";

	length = 0;
	char* close = svn_list_end(start, end);
	if (close == nullptr || close + 1 >= region_end)
		return nullptr;
	svn_items items{close + 1, region_end};
	char* data = nullptr;
	char* joined = nullptr;
	for (;;) {
		std::string_view piece = svn_read_string(items);
		if (!items.ok)
			return nullptr;
		if (data == nullptr)
			data = joined = const_cast<char*>(piece.data());
		if (piece.empty())
			break;
		memmove(joined, piece.data(), piece.size());
		joined += piece.size();
	}
	if (static_cast<size_t>(region_end - items.p) != closing.size() ||
	    std::string_view(items.p, closing.size()) != closing)
		return nullptr;
	length = joined - data;
	return data;
}

