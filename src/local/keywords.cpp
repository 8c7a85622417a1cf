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
