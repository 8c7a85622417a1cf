// Placeholder definitions until this subsystem is written; each is
// removed as the real one lands.
#include "local/local.h"
#include <err.h>

file_node& new_file_node(catalogue& cat) { errx(1, "new_file_node: not written yet"); }
void ensure_directory(const std::string& path) { errx(1, "ensure_directory: not written yet"); }
void load_known_files(connection& conn, known_path_set& known_set) { errx(1, "load_known_files: not written yet"); }
void save_known_files(connection& conn, catalogue& cat, path_sets& sets) { errx(1, "save_known_files: not written yet"); }
void write_revision_stamp(const connection& conn) { errx(1, "write_revision_stamp: not written yet"); }
void install_known_files(const connection& conn) { errx(1, "install_known_files: not written yet"); }
void find_local_files_and_directories(const std::string& base, const std::string& relative, bool collect_files, path_sets& sets) { errx(1, "find_local_files_and_directories: not written yet"); }
void prune(const connection& conn, std::string_view relative_path) { errx(1, "prune: not written yet"); }
void clean_local_tree(connection& conn, path_sets& sets) { errx(1, "clean_local_tree: not written yet"); }
void write_file(const connection& conn, const file_node& node, const std::string& local_path, const char* data, int64_t length) { errx(1, "write_file: not written yet"); }
