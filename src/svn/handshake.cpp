// The svn opening exchange: greetings, anonymous login, the revision, and
// the check that the branch is a directory.

#include "svn/svn.h"

#include "transport/transport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <err.h>

// Formats a command into a string of any length.
template <typename... Args>
static std::string
format(const char* pattern, Args... args)
{
	int length = snprintf(nullptr, 0, pattern, args...);
	std::string text(length, '\0');
	snprintf(text.data(), length + 1, pattern, args...);
	return text;
}

// Sends command, reads its answer of groups groups and judges it; a failure
// ends the run (the reason is already printed).  Returns the command's own
// group, the last.
static svn_group
exchange(connection& conn, const std::string& command, uint32_t groups)
{
	svn_answer answer = process_command_svn(conn, command.c_str(), {groups});
	char* start = answer.text;
	char* end = conn.response.end();
	if (check_svn_response(start, end) != 0)
		exit(1);
	return answer.groups.back();
}

// The client greeting: capabilities, the URL of the branch, the client.
// Texts that come in an update stream then come as svndiff version 2,
// whose lz4 sections halve the bytes of a source tree at little cost to
// the server (zlib, version 1, costs it several times as much); get-file
// answers are plain text whatever is announced.
static std::string
client_greeting(const connection& conn)
{
	std::string url = "svn://" + server_authority(conn) + "/" + *conn.branch;
	return format("( 2 ( edit-pipeline svndiff1 accepts-svndiff2 absent-entries commit-revprops depth log-revprops atomic-revprops partial-replay ) %zu:%s %zu:trelk-%s ( ) )\n",
	    url.size(), url.c_str(), strlen("trelk-") + strlen(trelk_version), trelk_version);
}

// Reads the number of a get-latest-rev answer group: the digits after
// "( success ( " up to the next blank, never past end.
static int32_t
latest_revision(char* group, char* end)
{
	static const char prefix[] = "( success ( ";
	size_t prefix_length = sizeof(prefix) - 1;

	if (group == nullptr || end - group < static_cast<ptrdiff_t>(prefix_length) ||
	    strncmp(group, prefix, prefix_length) != 0)
		errx(1, "Cannot retrieve latest revision.");
	char* digits = group + prefix_length;
	char* blank = static_cast<char*>(memchr(digits, ' ', end - digits));
	if (blank == nullptr || blank == digits || blank - digits > 9)
		errx(1, "Cannot retrieve latest revision.");
	long revision = 0;
	for (char* p = digits; p < blank; p++) {
		if (*p < '0' || *p > '9')
			errx(1, "Cannot retrieve latest revision.");
		revision = revision * 10 + (*p - '0');
	}
	*blank = '\0';
	return static_cast<int32_t>(revision);
}

// The branch must be a directory at the revision: the command's own answer
// group (after the authentication request) must say dir.
static void
check_branch(connection& conn)
{
	svn_group group = exchange(conn, format("( check-path ( 0: ( %d ) ) )\n", conn.revision), 2);
	if (std::string_view(group.start, group.end - group.start) != "( success ( dir ) )")
		errx(1, "Remote path %s is not a repository directory.\n%s", conn.branch->c_str(), group.start);
}

static const char anonymous_login[] = "( ANONYMOUS ( 0: ) )\n";

// The repository's UUID from the answer to the login: ( success ( ) ),
// then ( success ( UUID URL ( caps ) ) ).  Empty when the second group has
// another form.
static std::string
repository_uuid(const svn_answer& login)
{
	if (login.groups.size() < 2)
		return "";
	svn_items items{login.groups[1].start, login.groups[1].end};
	svn_open_list(items);
	if (svn_read_word(items) != "success")
		return "";
	svn_open_list(items);
	std::string_view uuid = svn_read_string(items);
	return items.ok ? std::string(uuid) : "";
}

void
handshake_svn(connection& conn)
{
	process_command_svn(conn, "", {1});
	exchange(conn, client_greeting(conn), 1);
	conn.uuid = repository_uuid(process_command_svn(conn, anonymous_login, {2}));
	if (conn.revision == 0) {
		svn_group group = exchange(conn, "( get-latest-rev ( ) )\n", 2);
		conn.revision = latest_revision(group.start, group.end);
	}
	check_branch(conn);
}

// True when the answer in conn.response begins with a success group.
static bool
answer_succeeds(const connection& conn)
{
	return conn.response.length() >= 9 && strncmp(conn.response.data(), "( success", 9) == 0;
}

bool
reopen_svn(connection& conn, svn_attempt attempt)
{
	std::vector<size_t> group_ends;

	reset_connection(conn);
	return attempt(conn, "", {1}, group_ends) && answer_succeeds(conn) &&
	    attempt(conn, client_greeting(conn).c_str(), {1}, group_ends) && answer_succeeds(conn) &&
	    attempt(conn, anonymous_login, {2}, group_ends) && answer_succeeds(conn);
}

std::string
root_get_dir_command(const connection& conn)
{
	return format("( get-dir ( 0: ( %d ) false true ( kind size ) false ) )\n", conn.revision);
}
