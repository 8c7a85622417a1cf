// The text a "$FreeBSD$" keyword expands to, the same over every protocol.

#include "local/local.h"

// The committed date as the keyword shows it: 2018-10-19T12:34:56.123456Z
// and 2018-10-19T12:34:56Z both become 2018-10-19 12:34:56Z.  Empty for a
// date of any other form, which leaves the keyword unexpanded.
static std::string
keyword_date(std::string_view date)
{
	size_t t = date.find('T');
	if (t == std::string_view::npos)
		return {};
	size_t end = date.find('.', t);
	if (end == std::string_view::npos) {
		if (date.back() != 'Z')
			return {};
		end = date.size() - 1;
	}
	std::string shown(date.substr(0, end));
	shown[t] = ' ';
	return shown + "Z";
}

std::string
keyword_expansion(std::string_view path, std::string_view revision, std::string_view date, std::string_view author)
{
	std::string shown = keyword_date(date);
	if (path.empty() || revision.empty() || author.empty() || shown.empty())
		return {};
	std::string text = ": ";
	text.append(path).append(" ").append(revision).append(" ").append(shown).append(" ").append(author).append(" ");
	return text;
}

void
take_file_property(std::string_view name, std::optional<std::string_view> value, file_properties& found)
{
	if (name == "svn:executable")
		found.executable = value.has_value();
	else if (name == "svn:special")
		found.special = value.has_value();
	else if (name == "svn:keywords")
		found.freebsd_keyword = value == "FreeBSD=%H";
	else if (name == "svn:entry:last-author")
		found.author = value.value_or("");
	else if (name == "svn:entry:committed-rev")
		found.revision = value.value_or("");
	else if (name == "svn:entry:committed-date")
		found.date = value.value_or("");
}

std::string
file_expansion_text(const file_properties& found, std::string_view repository_path)
{
	if (!found.freebsd_keyword)
		return {};
	return keyword_expansion(repository_path, found.revision, found.date, found.author);
}
