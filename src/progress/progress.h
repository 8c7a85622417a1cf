// Progress display: the one-line indicator drawn at verbosity 2 and above.
#pragma once

#include "local/local.h"

#include <cstdint>
#include <string>
#include <string_view>

// The terminal's width on standard error: COLUMNS when set and not empty,
// else the terminal's own; -1 when standard error is not a terminal or the
// width is unknown.
int terminal_columns();

// The progress line for entry index of count, cut from the left to fit
// columns (-1: no cut).
std::string format_progress_line(std::string_view path_target, std::string_view path, int32_t index, int32_t count, int columns);

// Draws the progress line for entry index of count on standard error.
void show_progress(const settings& conn, std::string_view path, int32_t index, int32_t count);
