// Placeholder definitions until this subsystem is written; each is
// removed as the real one lands.
#include "progress/progress.h"
#include <err.h>

int terminal_columns() { errx(1, "terminal_columns: not written yet"); }
std::string format_progress_line(std::string_view path_target, std::string_view path, int32_t index, int32_t count, int columns) { errx(1, "format_progress_line: not written yet"); }
void show_progress(const connection& conn, std::string_view path, int32_t index, int32_t count) { errx(1, "show_progress: not written yet"); }
