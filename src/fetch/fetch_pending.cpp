// Placeholder definitions until this subsystem is written; each is
// removed as the real one lands.
#include "fetch/fetch.h"
#include "local/local.h"
#include <err.h>

void new_buffer(command_batches& batches) { errx(1, "new_buffer: not written yet"); }
void build_property_batches(connection& conn, catalogue& cat, command_batches& batches) { errx(1, "build_property_batches: not written yet"); }
void get_files(connection& conn, catalogue& cat, command_batches& batches) { errx(1, "get_files: not written yet"); }
void fetch_contents(connection& conn, catalogue& cat, const std::string& content_batch, int32_t batch_start, int32_t last_file) { errx(1, "fetch_contents: not written yet"); }
