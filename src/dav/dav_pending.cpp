// Placeholder definitions until this subsystem is written; each is
// removed as the real one lands.
#include "dav/dav.h"
#include "local/local.h"
#include <err.h>

void process_command_http(connection& conn, const char* request) { errx(1, "process_command_http: not written yet"); }
void discover_http(connection& conn) { errx(1, "discover_http: not written yet"); }
void list_tree_http(connection& conn, catalogue& cat, path_sets& sets) { errx(1, "list_tree_http: not written yet"); }
std::optional<std::string> parse_xml_value(const char* start, const char* end, std::string_view tag) { errx(1, "parse_xml_value: not written yet"); }
void decode_xml_entities(std::string& text) { errx(1, "decode_xml_entities: not written yet"); }
void percent_decode(std::string& text) { errx(1, "percent_decode: not written yet"); }
void read_webdav_properties(const char* part, const char* part_end, file_node& node, std::string& expansion) { errx(1, "read_webdav_properties: not written yet"); }
int64_t size_webdav_answers(const char* response, const char* response_end, catalogue& cat, int32_t first, int32_t last) { errx(1, "size_webdav_answers: not written yet"); }
