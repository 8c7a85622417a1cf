// Placeholder definitions until this subsystem is written; each is
// removed as the real one lands.
#include "svn/svn.h"
#include "local/local.h"
#include <err.h>

char* process_command_svn(connection& conn, const char* command, uint32_t expected_bytes) { errx(1, "process_command_svn: not written yet"); }
void handshake_svn(connection& conn) { errx(1, "handshake_svn: not written yet"); }
std::string root_get_dir_command(const connection& conn) { errx(1, "root_get_dir_command: not written yet"); }
void list_tree_svn(connection& conn, const std::string& commands, catalogue& cat, path_sets& sets) { errx(1, "list_tree_svn: not written yet"); }
void read_svn_properties(char* group, file_node& node, const std::string& branch, std::string& expansion) { errx(1, "read_svn_properties: not written yet"); }
int64_t svn_content_size(int64_t size, int32_t revision) { errx(1, "svn_content_size: not written yet"); }
char* locate_svn_content(char* start, char* end, char* region_end) { errx(1, "locate_svn_content: not written yet"); }
