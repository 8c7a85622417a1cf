// The catalogue of repository files.

#include "local/local.h"

#include <err.h>

#include <cerrno>
#include <new>

// Appends a zeroed node and returns it.
file_node&
new_file_node(catalogue& cat)
{
	try {
		return cat.file.emplace_back();
	} catch (const std::bad_alloc&) {
		errno = ENOMEM;
		err(1, "new_file_node node malloc");
	}
}
