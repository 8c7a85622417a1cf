// Placeholder definitions until this subsystem is written; each is
// removed as the real one lands.
#include "run/run.h"
#include <err.h>

void usage(const char* config_file) { errx(1, "usage: not written yet"); }
const char* check_section(int argc, char* argv[], const char* config_file) { errx(1, "check_section: not written yet"); }
void load_configuration(connection& conn, const char* path, const char* section) { errx(1, "load_configuration: not written yet"); }
void set_configuration(connection& conn, char* text, size_t size, const char* section) { errx(1, "set_configuration: not written yet"); }
void apply_options(connection& conn, int argc, char* argv[]) { errx(1, "apply_options: not written yet"); }
void finish_settings(connection& conn, const char* config_file) { errx(1, "finish_settings: not written yet"); }
void make_list_paths(connection& conn, const char* section) { errx(1, "make_list_paths: not written yet"); }
void allocate_response(connection& conn) { errx(1, "allocate_response: not written yet"); }
void print_header(const connection& conn) { errx(1, "print_header: not written yet"); }
long read_number(const char* text) { errx(1, "read_number: not written yet"); }
