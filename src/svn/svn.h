// svn protocol: reading answers, the handshake, the tree listing, and the
// property and content answers of get-file.
#pragma once

#include "run/run.h"

#include <cstdint>
#include <string>

struct catalogue;
struct file_node;
struct path_sets;

// Sends command and reads the answer into conn.response.  expected_bytes 0
// reads until conn.expected_groups top-level groups are complete, each
// followed by a NUL in place of its blank; otherwise reads exactly that many
// bytes (or one more when the answer begins with a leftover blank).  Failed
// reads resend the command, up to six attempts.  Returns conn.response.
char* process_command_svn(connection& conn, const char* command, uint32_t expected_bytes);

// Greets the server, logs in anonymously, learns the latest revision when
// none was asked for, and confirms that the branch is a directory.
void handshake_svn(connection& conn);

// The get-dir command for the branch root at conn.revision.
std::string root_get_dir_command(const connection& conn);

// Lists the directories named by the get-dir commands of one batch and,
// batch by batch, everything below them: files go into the catalogue,
// directories are created under the target and taken out of local_dir_set.
// The caller sets conn.expected_groups to twice the number of commands.
void list_tree_svn(connection& conn, const std::string& commands, catalogue& cat, path_sets& sets);

// Takes the MD5, the executable and special flags and the "$FreeBSD$"
// expansion text from one property answer group (NUL-terminated; changed in
// place).  expansion stays empty when the file gets none.
void read_svn_properties(char* group, file_node& node, const std::string& branch, std::string& expansion);

// The exact byte length of the content answer for a file of size bytes.
int64_t svn_content_size(int64_t size, int32_t revision);

// Finds a file's data in its content answer and joins its 4096-byte strings
// in place.  start and end are the cursors check_response left; region_end
// is where this file's answer ends.  Returns the first data byte.
char* locate_svn_content(char* start, char* end, char* region_end);
